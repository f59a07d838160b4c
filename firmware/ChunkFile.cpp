#include "firmware/ChunkFile.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <limits>
#include <string_view>
#include <vector>

#include "firmware/EmulatedBus.h"
#include "firmware/FirmwareLocation.h"
#include "firmware/LittleEndian.h"
#include "firmware/ScrambleKey.h"
#include "firmware/SyntheticImage.h"
#include "logging/ConsoleLine.h"

namespace {

constexpr std::string_view kCannotOpen = "cannot open firmware file";
constexpr std::string_view kCannotExpand = "error decompressing chunk.";

ChunkHeader ParseHeader(const std::uint8_t* bytes) {
    return ChunkHeader{ReadLittleEndian32(bytes), ReadLittleEndian32(bytes + 4)};
}

void RefuseChunk(std::string_view source, std::string_view reason, FirmwareImage& image) {
    image.clear();
    WriteConsoleLine(std::cout, kCannotExpand);
    std::cerr << "firmware file " << source << ": " << reason << std::endl;
}

// Returns the reason a chunk with this header cannot be used, or an empty view
// when its sizes are plausible. available is the number of bytes that follow
// the header (unknown for a stream that cannot seek: the maximum).
std::string_view CheckHeader(const ChunkHeader& header, std::uint64_t available, std::uint32_t maxExpandedSize) {
    if (header.expandedSize > maxExpandedSize) {
        return "expanded size is larger than any image of this kind";
    }
    // No zlib stream of an image within the cap can be longer than this; the
    // check keeps a damaged stored size from allocating gigabytes.
    if (header.storedSize > compressBound(maxExpandedSize)) {
        return "stored size is larger than any image of this kind";
    }
    if (header.storedSize > available) {
        return "file is shorter than its stored size";
    }
    return {};
}

// Descrambles the stored data in place and expands it.
void DecodeStored(std::string_view source, const ChunkHeader& header, std::vector<std::uint8_t>& stored,
                  FirmwareImage& image) {
    const ChunkScrambleKey key = BuildScrambleKey();
    DescrambleChunk(stored.data(), stored.data(), stored.size(), key);
    if (!ExpandChunk(stored, header.expandedSize, image)) {
        RefuseChunk(source, "stored data does not expand to the image", image);
    }
}

}  // namespace

bool ExpandChunk(std::span<const std::uint8_t> descrambled, std::uint32_t expandedSize, FirmwareImage& image) {
    FirmwareImage expanded(expandedSize);
    uLongf written = expandedSize;
    const int result =
        uncompress(expanded.data(), &written, descrambled.data(), static_cast<uLong>(descrambled.size()));
    // A stream that ends early is as unusable as a broken one: the header
    // promised more, and a truncated image must not reach the device.
    if (result != Z_OK || written != expandedSize) {
        image.clear();
        return false;
    }
    image = std::move(expanded);
    return true;
}

void ReadFirmwareImage(const std::string& path, FirmwareImage& image, std::uint32_t maxExpandedSize) {
    // A folder opens like a file on Linux and only fails at the first read;
    // for the user it is a file that cannot be opened.
    std::error_code folderCheck;
    const bool isFolder = std::filesystem::is_directory(path, folderCheck);
    std::ifstream file;
    if (!isFolder) {
        file.open(path, std::ios::binary);
    }
    if (isFolder || !file) {
        const int error = isFolder ? EISDIR : errno;
        WriteConsoleLine(std::cout, kCannotOpen);
        std::cerr << "firmware file " << path << ": " << std::strerror(error) << std::endl;
        // For a file the tool looked up (not one a caller named elsewhere),
        // say where it looked: a user who installed the files in the wrong
        // place learns where they belong.
        if (std::filesystem::path(path).parent_path() == std::filesystem::path(FirmwareFolder()))
            std::cerr << FirmwareSearchNote() << std::endl;
        return;
    }

    std::uint8_t headerBytes[kChunkHeaderSize];
    if (!file.read(reinterpret_cast<char*>(headerBytes), kChunkHeaderSize)) {
        RefuseChunk(path, "file is shorter than the chunk header", image);
        return;
    }
    const ChunkHeader header = ParseHeader(headerBytes);

    std::uint64_t available = std::numeric_limits<std::uint64_t>::max();
    file.seekg(0, std::ios::end);
    const std::streamoff end = file.tellg();
    if (end >= static_cast<std::streamoff>(kChunkHeaderSize)) {
        available = static_cast<std::uint64_t>(end) - kChunkHeaderSize;
        file.seekg(static_cast<std::streamoff>(kChunkHeaderSize), std::ios::beg);
    } else {
        file.clear();  // not seekable (a pipe): the read below finds the end
    }

    if (const std::string_view reason = CheckHeader(header, available, maxExpandedSize); !reason.empty()) {
        RefuseChunk(path, reason, image);
        return;
    }

    std::vector<std::uint8_t> stored(header.storedSize);
    file.read(reinterpret_cast<char*>(stored.data()), static_cast<std::streamsize>(stored.size()));
    if (static_cast<std::uint64_t>(file.gcount()) != stored.size()) {
        RefuseChunk(path, "file is shorter than its stored size", image);
        return;
    }
    std::vector<std::uint8_t> trailing(kSyntheticImageMark.size());
    file.read(reinterpret_cast<char*>(trailing.data()), static_cast<std::streamsize>(trailing.size()));
    trailing.resize(static_cast<std::size_t>(file.gcount()));
    if (StartsWithSyntheticImageMark(trailing) && !RunsOnEmulatedBus()) {
        RefuseSyntheticImage(path);
    }
    DecodeStored(path, header, stored, image);
}

void ReadFirmwareImageFromMemory(std::span<const std::uint8_t> fileBytes, FirmwareImage& image,
                                 std::uint32_t maxExpandedSize) {
    constexpr std::string_view source = "in memory";
    if (fileBytes.size() < kChunkHeaderSize) {
        RefuseChunk(source, "file is shorter than the chunk header", image);
        return;
    }
    const ChunkHeader header = ParseHeader(fileBytes.data());
    if (const std::string_view reason = CheckHeader(header, fileBytes.size() - kChunkHeaderSize, maxExpandedSize);
        !reason.empty()) {
        RefuseChunk(source, reason, image);
        return;
    }
    const auto storedBegin = fileBytes.begin() + kChunkHeaderSize;
    std::vector<std::uint8_t> stored(storedBegin, storedBegin + header.storedSize);
    DecodeStored(source, header, stored, image);
}
