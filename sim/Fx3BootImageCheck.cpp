#include "sim/Fx3BootImageCheck.h"

#include <algorithm>
#include <cstring>

namespace tyvo::sim {
namespace {

uint32_t le32(std::span<const uint8_t> b, std::size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

std::optional<uint16_t> findVersionTag(const std::vector<Fx3ImageSection>& sections) {
    static constexpr char kTag[] = "TYVO-FWVER";
    const std::size_t tagLength = sizeof(kTag) - 1;
    for (const auto& s : sections) {
        auto it = std::search(s.data.begin(), s.data.end(), kTag, kTag + tagLength);
        const std::size_t at = static_cast<std::size_t>(it - s.data.begin());
        if (it != s.data.end() && at + tagLength + 2 <= s.data.size())
            return static_cast<uint16_t>(s.data[at + tagLength] | s.data[at + tagLength + 1] << 8);
    }
    return std::nullopt;
}

}  // namespace

std::optional<Fx3BootImageInfo> parseFx3BootImage(std::span<const uint8_t> b) {
    if (b.size() < 4 || b[0] != 'C' || b[1] != 'Y' || b[3] != 0xB0) return std::nullopt;
    Fx3BootImageInfo info;
    info.control = b[2];
    std::size_t p = 4;
    uint32_t sum = 0;
    for (;;) {
        if (b.size() - p < 8) return std::nullopt;
        const uint32_t words = le32(b, p);
        const uint32_t address = le32(b, p + 4);
        p += 8;
        if (words == 0) {
            info.entry = address;
            break;
        }
        // Check the length against what is there before copying anything.
        if (words > (b.size() - p) / 4) return std::nullopt;
        const std::size_t n = static_cast<std::size_t>(words) * 4;
        for (std::size_t i = 0; i < n; i += 4) sum += le32(b, p + i);
        info.sections.push_back(Fx3ImageSection{address, Bytes(b.begin() + p, b.begin() + p + n)});
        p += n;
    }
    if (b.size() - p < 4 || le32(b, p) != sum) return std::nullopt;
    info.totalLength = p + 4;
    info.firmwareVersion = findVersionTag(info.sections);
    return info;
}

}  // namespace tyvo::sim
