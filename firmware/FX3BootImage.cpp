#include "firmware/FX3BootImage.h"

#include <algorithm>
#include <iostream>

#include "firmware/LittleEndian.h"
#include "logging/ConsoleLine.h"

namespace {

constexpr std::string_view kSupportMessage =
    "There is something wrong with your device. Please contact Tyvo for support, and include "
    "your device ID.";

std::uint32_t ReadU32(const FirmwareImage& image, std::size_t offset) {
    return ReadLittleEndian32(image.data() + offset);
}

}  // namespace

std::optional<BootImageWalk> WalkBootImage(const FirmwareImage& image) {
    // Offsets are 64-bit so that a length word near 2^32 cannot wrap them.
    const std::uint64_t size = image.size();
    BootImageWalk walk;
    std::uint64_t header = kBootImageHeaderSize;
    for (;;) {
        // Length and address (or entry address) of this header.
        if (header + 8 > size) {
            return std::nullopt;
        }
        const std::uint64_t words = ReadU32(image, header);
        const std::uint64_t data = header + 8;
        if (words == 0) {
            if (data + 4 > size) {
                return std::nullopt;
            }
            walk.checksumOffset = static_cast<std::size_t>(data);
            return walk;
        }
        // A section that claims more data than the image holds (this includes
        // every length of 0x3FFFFFF words or more) ends the walk as invalid.
        if (words * 4 > size - data) {
            return std::nullopt;
        }
        for (std::uint64_t w = 0; w < words; ++w) {
            walk.sum += ReadU32(image, static_cast<std::size_t>(data + 4 * w));
        }
        header = data + words * 4;
    }
}

bool IsValidBootImage(const FirmwareImage& image) {
    if (image.size() < kBootImageHeaderSize || image[1] != 'Y' || image[3] != kBootImageType) {
        return false;
    }
    const std::optional<BootImageWalk> walk = WalkBootImage(image);
    return walk && ReadU32(image, walk->checksumOffset) == walk->sum;
}

std::uint8_t ModelFlags(std::string_view serial) {
    const auto contains = [serial](std::string_view text) { return serial.find(text) != std::string_view::npos; };
    std::uint8_t flags = 0;
    if (!contains("MKT-21")) {
        flags |= 0x01;
        if (!contains("MKT-36")) {
            flags |= 0x08;
        }
    }
    if (contains("MKT-48")) {
        flags |= 0x06;
    } else if (contains("MKT-57")) {
        flags |= 0x02;
    }
    return flags;
}

bool PersonaliseImage(FirmwareImage& image, const std::string& serial) {
    if (serial.empty()) {
        WriteConsoleLine(std::cout, kSupportMessage);
        return false;
    }
    if (!IsValidBootImage(image)) {
        return false;
    }
    const auto marker = std::search(image.begin(), image.end(), SerialMarker.begin(), SerialMarker.end());
    if (marker == image.end()) {
        return false;
    }
    const auto markerOffset = static_cast<std::size_t>(marker - image.begin());
    if (markerOffset + kModelFlagsOffset >= image.size()) {
        return false;
    }

    // Patch a copy and walk it again: the marker is searched for in the whole
    // image, headers included, so the image is replaced only once the patched
    // bytes are known to walk.
    FirmwareImage patched = image;
    const std::size_t serialBytes = std::min(serial.size(), kSerialBytesInMarker);
    std::fill_n(patched.begin() + static_cast<std::ptrdiff_t>(markerOffset), SerialMarker.size(), std::uint8_t{0});
    std::copy_n(serial.begin(), serialBytes, patched.begin() + static_cast<std::ptrdiff_t>(markerOffset));
    patched[markerOffset + kModelFlagsOffset] = ModelFlags(serial);

    const std::optional<BootImageWalk> walk = WalkBootImage(patched);
    if (!walk) {
        return false;
    }
    WriteLittleEndian32(patched.data() + walk->checksumOffset, walk->sum);
    image = std::move(patched);
    return true;
}
