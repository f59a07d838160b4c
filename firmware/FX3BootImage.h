#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "firmware/FirmwareImage.h"

// FX3 boot image layout (little-endian):
//   0  "CY", image control byte, image type byte (0xB0 for our images)
//   4  sections: u32 length in 32-bit words, u32 load address, the data
//   .. terminator: u32 length 0, u32 entry address
//   .. u32 checksum: the sum modulo 2^32 of every data word of every section
inline constexpr std::uint8_t kBootImageType = 0xB0;
inline constexpr std::size_t kBootImageHeaderSize = 4;

// Controller images carry this marker inside their data. Personalisation
// overwrites it with the serial number; the model-flags byte lies
// kModelFlagsOffset bytes after the marker's first byte.
inline constexpr std::array<std::uint8_t, 14> SerialMarker = {0xDE, 0xAD, 0xBE, 0xEF, 0xDE, 0xAD, 0xBE,
                                                              0xEF, 0xDE, 0xAD, 0xBE, 0xEF, 0xDE, 0xAD};
inline constexpr std::size_t kModelFlagsOffset = 97;
// At most this many serial characters fit into the marker; the rest of the
// marker is zero-filled.
inline constexpr std::size_t kSerialBytesInMarker = 13;

// Result of walking an image's sections.
struct BootImageWalk {
    std::uint32_t sum = 0;           // of every data word
    std::size_t checksumOffset = 0;  // the checksum field after the terminator
};

// Walks the sections from offset 4 to the terminator. Empty when a header,
// a section's data, the terminator or the checksum field would lie beyond the
// end of the image. Bytes 0 to 3 are not examined here.
std::optional<BootImageWalk> WalkBootImage(const FirmwareImage& image);

// Byte 1 is 'Y' and byte 3 is 0xB0 (byte 0 is not examined), the walk stays
// inside the image, and the checksum field equals the sum of the data words.
bool IsValidBootImage(const FirmwareImage& image);

// The model-flags byte for a serial number:
//   not "MKT-21": bit 0, and not "MKT-36" either: bit 3;
//   then "MKT-48": bits 1 and 2, or else "MKT-57": bit 1.
std::uint8_t ModelFlags(std::string_view serial);

// Writes the serial (its first 13 bytes, zero-filled to 14) over the first
// SerialMarker, the model-flags byte 97 bytes after it, and a fresh checksum.
// Returns false and leaves the image as it was when the serial is empty (after
// printing the support message), the image is not a valid boot image, it has
// no marker, or the model-flags byte would lie beyond the end of the image.
bool PersonaliseImage(FirmwareImage& image, const std::string& serial);
