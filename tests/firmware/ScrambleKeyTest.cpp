#include "firmware/ScrambleKey.h"

#include <gtest/gtest.h>

#include <bit>

namespace {

TEST(ScrambleKey, RepeatsEveryKPlusOneBytesForHighestBitK) {
    for (const std::uint32_t seed : {1u, 2u, 3u, 0x2Du, 0xFFu, 0x100u, 0x12345u, 0x7FFFFFFFu, kScrambleSeed}) {
        SCOPED_TRACE(seed);
        const std::size_t period = static_cast<std::size_t>(std::bit_width(seed));
        const ChunkScrambleKey key = BuildScrambleKey(seed);
        for (std::size_t i = 0; i + period < key.size(); ++i) {
            ASSERT_EQ(key[i], key[i + period]) << "at byte " << i;
        }
        // The byte before each restart is the value 1, halved from the top bit.
        EXPECT_EQ(key[period - 1], 1);
    }
}

TEST(ScrambleKey, KnownBytesForSmallSeeds) {
    const ChunkScrambleKey small = BuildScrambleKey(0x2D);
    const std::uint8_t expectedSmall[] = {0x2D, 0x16, 0x0B, 0x05, 0x02, 0x01, 0x2D, 0x16};
    for (std::size_t i = 0; i < std::size(expectedSmall); ++i) {
        EXPECT_EQ(small[i], expectedSmall[i]) << "byte " << i;
    }
    // A seed wider than a byte: each key byte is the low byte of the halved value.
    const ChunkScrambleKey wide = BuildScrambleKey(0x1234);
    const std::uint8_t expectedWide[] = {0x34, 0x1A, 0x8D, 0x46, 0x23, 0x91, 0x48,
                                         0x24, 0x12, 0x09, 0x04, 0x02, 0x01, 0x34};
    for (std::size_t i = 0; i < std::size(expectedWide); ++i) {
        EXPECT_EQ(wide[i], expectedWide[i]) << "byte " << i;
    }
}

// Chunk files and calibration files already written depend on the seed: a
// changed seed would make every one of them unreadable.
TEST(ScrambleKey, DefaultKeyComesFromTheFileSeed) {
    EXPECT_EQ(kScrambleSeed, 0x5A17C0DEu);
    const ChunkScrambleKey key = BuildScrambleKey();
    EXPECT_EQ(key, BuildScrambleKey(0x5A17C0DE));
    EXPECT_EQ(key[0], 0xDE);
    EXPECT_EQ(key[1], 0x6F);
    EXPECT_EQ(key[2], 0x37);
    EXPECT_EQ(key[3], 0x1B);
}

TEST(ScrambleKey, DescrambleUsesKeyByteIndexModulo128AndIsItsOwnInverse) {
    const ChunkScrambleKey key = BuildScrambleKey(0x12345);
    std::vector<std::uint8_t> data(300, 0);
    std::vector<std::uint8_t> scrambled(data.size());
    DescrambleChunk(data.data(), scrambled.data(), data.size(), key);
    for (std::size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(scrambled[i], key[i % 128]) << "byte " << i;
    }
    // In place, twice: back to the start.
    DescrambleChunk(scrambled.data(), scrambled.data(), scrambled.size(), key);
    EXPECT_EQ(scrambled, data);
}

}  // namespace
