#include "tools/ChunkWriter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include "firmware/ScrambleKey.h"
#include "tests/firmware/FirmwareTestSupport.h"

namespace {

std::uint32_t Le32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return static_cast<std::uint32_t>(bytes[offset]) | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

// Undoes the writer's work with zlib directly, without the tool's reader.
FirmwareImage Unpack(const std::vector<std::uint8_t>& chunk) {
    std::vector<std::uint8_t> stored(chunk.begin() + 8, chunk.end());
    const ChunkScrambleKey key = BuildScrambleKey(0x5A17C0DE);
    for (std::size_t i = 0; i < stored.size(); ++i) {
        stored[i] ^= key[i % 128];
    }
    FirmwareImage image(Le32(chunk, 0));
    uLongf size = image.size();
    EXPECT_EQ(uncompress(image.data(), &size, stored.data(), stored.size()), Z_OK);
    EXPECT_EQ(size, image.size());
    return image;
}

TEST(ChunkWriter, HeaderDescribesTheScrambledZlibStream) {
    for (const std::size_t size : {0u, 1u, 128u, 129u, 70000u}) {
        SCOPED_TRACE(size);
        const FirmwareImage image = NoiseBytes(size, 3);
        const std::vector<std::uint8_t> chunk = MakeChunkFile(image);
        ASSERT_GE(chunk.size(), 8u);
        EXPECT_EQ(Le32(chunk, 0), size);
        EXPECT_EQ(Le32(chunk, 4), chunk.size() - 8);
        EXPECT_EQ(Unpack(chunk), image);
    }
}

TEST(ChunkWriter, StoredBytesAreScrambledNotPlainZlib) {
    const std::vector<std::uint8_t> chunk = MakeChunkFile(FirmwareImage(4096, 0));
    const ChunkScrambleKey key = BuildScrambleKey();
    // A zlib stream starts with 0x78; compression level 9 gives 0x78 0xDA.
    EXPECT_EQ(chunk[8] ^ key[0], 0x78);
    EXPECT_EQ(chunk[9] ^ key[1], 0xDA);
    EXPECT_NE(chunk[8], 0x78);
    // Zeros compress well: the writer really compresses.
    EXPECT_LT(chunk.size(), 100u);
    EXPECT_EQ(MakeChunkFile(FirmwareImage(4096, 0)), chunk);
}

TEST(ChunkWriter, WritesAtomicallyAndReportsFailures) {
    TempFolder folder;
    const FirmwareImage image = NoiseBytes(5000);
    std::string error;
    const std::string path = folder.file("app1.dat");
    ASSERT_TRUE(WriteChunkFile(image, path, error)) << error;
    EXPECT_EQ(ReadBytes(path), MakeChunkFile(image));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    const std::string unreachable = folder.file("no/such/folder/app1.dat");
    EXPECT_FALSE(WriteChunkFile(image, unreachable, error));
    EXPECT_NE(error.find("no/such/folder"), std::string::npos) << error;

    // A failed rename leaves the old file alone and no temporary behind.
    const std::string blocked = folder.file("taken");
    std::filesystem::create_directories(blocked + "/inside");
    EXPECT_FALSE(WriteChunkFile(image, blocked, error));
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/inside"));
    EXPECT_FALSE(std::filesystem::exists(blocked + ".tmp"));
}

}  // namespace
