#include "sim/host/ExpectedFlash.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace tyvo::sim::host {
namespace {

constexpr std::array<uint8_t, 14> kMarker = {0xDE, 0xAD, 0xBE, 0xEF, 0xDE, 0xAD, 0xBE,
                                             0xEF, 0xDE, 0xAD, 0xBE, 0xEF, 0xDE, 0xAD};
constexpr std::size_t kFlagsAfterMarker = 97;
constexpr std::size_t kSerialRoom = 13;

uint32_t word(const Bytes& b, std::size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

std::string hexByte(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFF);
    return text;
}

}  // namespace

uint8_t ModelFlagsFor(std::string_view serial) {
    auto has = [&](std::string_view model) { return serial.find(model) != std::string_view::npos; };
    uint8_t flags = 0;
    if (!has("MKT-21")) {
        flags |= 0x01;
        if (!has("MKT-36")) flags |= 0x08;
    }
    if (has("MKT-48"))
        flags |= 0x06;
    else if (has("MKT-57"))
        flags |= 0x02;
    return flags;
}

std::optional<Bytes> PersonalisedImage(const Bytes& image, std::string_view serial, std::string& why) {
    Bytes out = image;
    const auto marker = std::search(out.begin(), out.end(), kMarker.begin(), kMarker.end());
    if (marker == out.end()) {
        why = "the controller image has no serial marker";
        return std::nullopt;
    }
    const std::size_t at = static_cast<std::size_t>(marker - out.begin());
    if (at + kFlagsAfterMarker >= out.size()) {
        why = "the model-flags byte lies beyond the controller image";
        return std::nullopt;
    }
    std::fill_n(marker, kMarker.size(), uint8_t{0});
    std::copy_n(serial.begin(), std::min(serial.size(), kSerialRoom), marker);
    out[at + kFlagsAfterMarker] = ModelFlagsFor(serial);

    // Sum the data words section by section up to the terminator; the
    // checksum follows its entry address.
    uint32_t sum = 0;
    std::size_t p = 4;
    for (;;) {
        if (p + 8 > out.size()) {
            why = "the controller image ends inside its sections";
            return std::nullopt;
        }
        const uint32_t words = word(out, p);
        p += 8;
        if (words == 0) break;
        if (words > (out.size() - p) / 4) {
            why = "a section of the controller image runs past its end";
            return std::nullopt;
        }
        for (uint32_t i = 0; i < words; ++i, p += 4) sum += word(out, p);
    }
    if (p + 4 > out.size()) {
        why = "the controller image has no checksum field";
        return std::nullopt;
    }
    for (int i = 0; i < 4; ++i) out[p + static_cast<std::size_t>(i)] = static_cast<uint8_t>(sum >> (8 * i));
    return out;
}

Bytes PaddedToPages(const Bytes& image) {
    Bytes padded = image;
    padded.resize((image.size() + kFlashPage - 1) / kFlashPage * kFlashPage, kErased);
    return padded;
}

std::string CompareFlash(std::span<const uint8_t> flash, const Bytes& padded, std::size_t imageSize) {
    const std::size_t sectorsEnd = (imageSize + kFlashSector - 1) / kFlashSector * kFlashSector;
    if (flash.size() < sectorsEnd) return "the flash is smaller than the image";
    const auto diff = std::mismatch(padded.begin(), padded.end(), flash.begin());
    if (diff.first != padded.end()) {
        const std::size_t at = static_cast<std::size_t>(diff.first - padded.begin());
        return "the flash differs from the expected image at offset " + std::to_string(at) + " (expected " +
               hexByte(*diff.first) + ", found " + hexByte(*diff.second) + ")";
    }
    const auto dirty =
        std::find_if(flash.begin() + static_cast<std::ptrdiff_t>(padded.size()),
                     flash.begin() + static_cast<std::ptrdiff_t>(sectorsEnd), [](uint8_t b) { return b != kErased; });
    if (dirty != flash.begin() + static_cast<std::ptrdiff_t>(sectorsEnd)) {
        return "the flash is not erased after the image, at offset " + std::to_string(dirty - flash.begin());
    }
    return {};
}

std::optional<Bytes> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return std::nullopt;
    return bytes;
}

}  // namespace tyvo::sim::host
