#pragma once
// The chip's own view of an FX3 boot image in flash: what the ROM checks at
// power-up before it runs the image instead of the boot loader. Written
// independently of the tool's image code on purpose.

#include "sim/UsbDescriptors.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace tyvo::sim {

struct Fx3ImageSection {
    uint32_t address = 0;
    Bytes data;
};

struct Fx3BootImageInfo {
    uint8_t control = 0;
    uint32_t entry = 0;
    std::vector<Fx3ImageSection> sections;
    std::size_t totalLength = 0;              // bytes up to and including the checksum
    std::optional<uint16_t> firmwareVersion;  // from the "TYVO-FWVER" tag, when present
};

// nullopt unless the bytes start with a well-formed image ("CY", type 0xB0,
// sections ending in a zero length and an entry address, and a checksum
// equal to the sum of the data words). Bytes after the checksum are ignored.
std::optional<Fx3BootImageInfo> parseFx3BootImage(std::span<const uint8_t> bytes);

}  // namespace tyvo::sim
