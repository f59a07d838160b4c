#include "tools/ChunkWriter.h"

#include <zlib.h>

#include <limits>
#include <stdexcept>

#include "firmware/ChunkFile.h"
#include "firmware/LittleEndian.h"
#include "firmware/ScrambleKey.h"
#include "firmware/SyntheticImage.h"
#include "tools/FileBytes.h"

std::vector<std::uint8_t> MakeChunkFile(std::span<const std::uint8_t> image, ChunkMark mark) {
    if (image.size() > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("image is too large for a chunk file");
    }
    const auto imageSize = static_cast<uLong>(image.size());
    std::vector<std::uint8_t> file(kChunkHeaderSize + compressBound(imageSize));
    uLongf stored = compressBound(imageSize);
    const int result = compress2(file.data() + kChunkHeaderSize, &stored, image.data(), imageSize, Z_BEST_COMPRESSION);
    if (result != Z_OK) {
        // Only a lack of memory can make compress2 fail with a bound-sized buffer.
        throw std::runtime_error("zlib could not compress the image");
    }
    if (stored > std::numeric_limits<std::uint32_t>::max()) {
        throw std::length_error("compressed image is too large for a chunk file");
    }
    file.resize(kChunkHeaderSize + stored);
    std::uint8_t* data = file.data() + kChunkHeaderSize;
    // The key XOR is its own inverse: descrambling is scrambling.
    DescrambleChunk(data, data, stored, BuildScrambleKey());
    WriteLittleEndian32(file.data(), static_cast<std::uint32_t>(image.size()));
    WriteLittleEndian32(file.data() + 4, static_cast<std::uint32_t>(stored));
    if (mark == ChunkMark::Synthetic) {
        file.insert(file.end(), kSyntheticImageMark.begin(), kSyntheticImageMark.end());
    }
    return file;
}

bool WriteChunkFile(std::span<const std::uint8_t> image, const std::string& path, std::string& error, ChunkMark mark) {
    try {
        return WriteFileBytes(path, MakeChunkFile(image, mark), error);
    } catch (const std::exception& e) {
        error = path + ": " + e.what();
        return false;
    }
}
