// Chunk files from arbitrary bytes: the reader must never crash, read out of
// bounds or allocate beyond its cap, and must give either nothing or exactly
// the image the header announces. Inputs are also turned into well-formed
// chunks and damaged, so the zlib path is reached without a seed corpus.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "firmware/ChunkFile.h"
#include "firmware/LittleEndian.h"
#include "firmware/SyntheticImage.h"
#include "fuzz/firmware/QuietConsole.h"
#include "tools/ChunkWriter.h"

namespace {

constexpr std::uint32_t kCap = 256 * 1024;

FirmwareImage ReadMemory(std::span<const std::uint8_t> file) {
    FirmwareImage image{0xEE};  // a stale byte the reader must clear
    ReadFirmwareImageFromMemory(file, image, kCap);
    return image;
}

// The same bytes through the file reader, from a memory-backed file.
FirmwareImage ReadThroughFile(std::span<const std::uint8_t> file) {
    static const int fd = memfd_create("chunk", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, file.data(), file.size(), 0) != static_cast<ssize_t>(file.size())) {
        std::abort();
    }
    FirmwareImage image{0xEE};
    ReadFirmwareImage("/proc/self/fd/" + std::to_string(fd), image, kCap);
    return image;
}

// A chunk followed by the synthetic-image mark ends the process through the
// file reader (status 6, not on an emulated bus); tests/firmware covers that.
bool CarriesSyntheticMark(std::span<const std::uint8_t> file) {
    if (file.size() < kChunkHeaderSize) return false;
    const std::uint64_t end = kChunkHeaderSize + std::uint64_t{ReadLittleEndian32(file.data() + 4)};
    return end <= file.size() && StartsWithSyntheticImageMark(file.subspan(static_cast<std::size_t>(end)));
}

void CheckRead(std::span<const std::uint8_t> file) {
    const FirmwareImage image = ReadMemory(file);
    if (!image.empty() && (file.size() < kChunkHeaderSize || image.size() != ReadLittleEndian32(file.data()))) {
        std::abort();
    }
    if (CarriesSyntheticMark(file)) return;
    if (ReadThroughFile(file) != image) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietConsole();
    const std::span<const std::uint8_t> input(data, size);

    // The input as a whole chunk file.
    CheckRead(input);

    // The input as an image: its chunk reads back exactly.
    if (size > kCap) {
        return 0;
    }
    std::vector<std::uint8_t> chunk = MakeChunkFile(input);
    if (ReadMemory(chunk) != FirmwareImage(input.begin(), input.end()) && size != 0) {
        std::abort();
    }

    // The same chunk damaged where the input's first bytes say: one byte
    // flipped, the header's sizes changed, or the file cut short.
    if (size >= 4) {
        const std::uint32_t where = ReadLittleEndian32(data);
        switch (where % 4) {
            case 0: chunk[where % chunk.size()] ^= static_cast<std::uint8_t>(1u << (where >> 29)); break;
            case 1: WriteLittleEndian32(chunk.data(), ReadLittleEndian32(chunk.data()) + (where >> 2) % 9 - 4); break;
            case 2:
                WriteLittleEndian32(chunk.data() + 4, ReadLittleEndian32(chunk.data() + 4) + (where >> 2) % 9 - 4);
                break;
            default: chunk.resize((where >> 2) % chunk.size()); break;
        }
        CheckRead(chunk);
    }
    return 0;
}
