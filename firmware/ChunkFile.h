#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "firmware/FirmwareImage.h"

// A firmware chunk file holds one image, compressed with zlib and scrambled
// with the chunk key (firmware/ScrambleKey.h). Layout, little-endian:
//   0  u32  expanded size: length of the image after expansion
//   4  u32  stored size: length of the stored data that follows
//   8  ...  stored data: the zlib stream, each byte XOR-ed with the key
// Anything after the stored data is ignored.
inline constexpr std::size_t kChunkHeaderSize = 8;

// Caps on the expanded size, checked before anything is allocated from the
// header. app0.dat is the boot programmer, loaded into the FX3's 512 KB of
// system RAM; app1.dat and app2.dat are controller images written to the
// controller's 2 MB SPI flash. No real image can be larger.
inline constexpr std::uint32_t kBootProgrammerImageMaxSize = 512 * 1024;
inline constexpr std::uint32_t kControllerImageMaxSize = 2 * 1024 * 1024;

struct ChunkHeader {
    std::uint32_t expandedSize = 0;
    std::uint32_t storedSize = 0;
};

// Reads the chunk file at path into image.
// - The file cannot be opened: prints "cannot open firmware file" and leaves
//   image unchanged.
// - The chunk is not usable (shorter than its header plus its stored size,
//   expanded size above maxExpandedSize, stored data that does not expand to
//   exactly the expanded size): prints "error decompressing chunk." and leaves
//   image empty, so that nothing half-expanded is passed on as firmware.
// - The file carries the synthetic-image mark after its stored data and the
//   tool does not run on an emulated bus: refuses it on standard error and
//   ends the process with status 6 (firmware/SyntheticImage.h).
// Console lines go to standard output; a line naming the file and the reason
// goes to standard error (and, for a file that cannot be opened in the folder
// the firmware files are looked up in, a line naming the folders searched).
void ReadFirmwareImage(const std::string& path, FirmwareImage& image, std::uint32_t maxExpandedSize);

// The same for the bytes of a whole chunk file already in memory; a synthetic
// image is read like any other (the caller is a development tool, not a
// restore).
void ReadFirmwareImageFromMemory(std::span<const std::uint8_t> fileBytes, FirmwareImage& image,
                                 std::uint32_t maxExpandedSize);

// Expands the descrambled stored data into image. True only when the zlib
// stream is intact and yields exactly expandedSize bytes; image is empty
// otherwise. Prints nothing.
bool ExpandChunk(std::span<const std::uint8_t> descrambled, std::uint32_t expandedSize, FirmwareImage& image);
