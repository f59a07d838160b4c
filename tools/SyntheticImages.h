#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "firmware/FirmwareImage.h"

// Synthetic FX3 boot images for the emulated hardware, the demo and the tests.
// They have the real layout (see firmware/FX3BootImage.h) and carry the few
// things the emulated devices and the tool look for; their data is otherwise
// pseudo-random, drawn from a seed, so the same options give the same bytes.

// The FX3's system RAM, where the images' sections are loaded.
inline constexpr std::uint32_t kSystemRamBase = 0x40000000;
inline constexpr std::uint32_t kSystemRamSize = 512 * 1024;

inline constexpr std::uint8_t kDefaultImageControlByte = 0x1C;

// The emulated FX3 accepts a jump only to a boot programmer whose entry
// section begins with these 16 bytes.
inline constexpr std::string_view kBootProgrammerMagic = "TYVO-BOOTPROG-01";

// Controller images carry this tag followed by their firmware version as a
// u16, little-endian; the emulated controller reports that version.
inline constexpr std::string_view kFirmwareVersionTag = "TYVO-FWVER";

// The model-flags byte of an image that has not been personalised yet.
inline constexpr std::uint8_t kUnpersonalisedModelFlags = 0xFF;

struct BootImageSection {
    std::uint32_t loadAddress = 0;
    std::vector<std::uint8_t> data;  // a whole number of 32-bit words
};

// "CY", control byte, image type, the sections, the terminator with the entry
// address and the checksum of the data words. Throws std::invalid_argument for
// an empty section or one whose size is not a multiple of 4.
FirmwareImage AssembleBootImage(const std::vector<BootImageSection>& sections, std::uint32_t entryAddress,
                                std::uint8_t controlByte = kDefaultImageControlByte, std::uint8_t imageType = 0xB0);

struct BootProgrammerOptions {
    std::size_t size = 100 * 1024;  // whole image, rounded up to 4 bytes
    std::uint64_t seed = 0;
};

struct ControllerImageOptions {
    std::size_t size = 300 * 1024;  // whole image, rounded up to 4 bytes
    std::uint16_t firmwareVersion = 17;
    std::uint64_t seed = 1;
};

// The smallest size the builders accept.
inline constexpr std::size_t kMinSyntheticImageSize = 1024;

// A boot programmer for app0.dat: several sections in system RAM; the entry
// address is the start of the section whose data begins with
// kBootProgrammerMagic. Throws std::invalid_argument when the size is below
// kMinSyntheticImageSize or the sections would not fit in system RAM.
FirmwareImage MakeBootProgrammerImage(const BootProgrammerOptions& options);

// A controller image for app1.dat or app2.dat: several sections whose data
// carry the serial marker once, the model-flags byte 97 bytes after the
// marker's first byte, and kFirmwareVersionTag with the version. Throws like
// MakeBootProgrammerImage.
FirmwareImage MakeControllerImage(const ControllerImageOptions& options);
