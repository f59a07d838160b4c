#include "firmware/FX3BootImage.h"

#include <gtest/gtest.h>

#include "firmware/LittleEndian.h"
#include "tools/SyntheticImages.h"

namespace {

std::uint32_t U32At(const FirmwareImage& image, std::size_t offset) {
    return ReadLittleEndian32(image.data() + offset);
}

void SetU32(FirmwareImage& image, std::size_t offset, std::uint32_t value) {
    WriteLittleEndian32(image.data() + offset, value);
}

BootImageSection Words(std::uint32_t address, std::initializer_list<std::uint32_t> words) {
    BootImageSection section{address, {}};
    section.data.resize(words.size() * 4);
    std::size_t offset = 0;
    for (const std::uint32_t word : words) {
        WriteLittleEndian32(section.data.data() + offset, word);
        offset += 4;
    }
    return section;
}

// Two sections of 3 and 2 words: header 4, section headers at 4 and 24,
// terminator at 40, checksum at 48, 52 bytes in all.
FirmwareImage SmallImage() {
    return AssembleBootImage({Words(0x40000000, {1, 2, 3}), Words(0x40001000, {10, 20})}, 0x40001000);
}

TEST(BootImageValidity, SyntheticImagesAreValid) {
    EXPECT_TRUE(IsValidBootImage(MakeBootProgrammerImage({})));
    EXPECT_TRUE(IsValidBootImage(MakeControllerImage({})));
    const FirmwareImage small = SmallImage();
    ASSERT_EQ(small.size(), 52u);
    EXPECT_TRUE(IsValidBootImage(small));
    const auto walk = WalkBootImage(small);
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->checksumOffset, 48u);
    EXPECT_EQ(walk->sum, 36u);
}

TEST(BootImageValidity, OnlyBytesOneAndThreeOfTheHeaderAreChecked) {
    FirmwareImage image = SmallImage();
    image[0] = 'X';
    image[2] = 0x00;
    EXPECT_TRUE(IsValidBootImage(image));

    FirmwareImage wrongY = SmallImage();
    wrongY[1] = 'Z';
    EXPECT_FALSE(IsValidBootImage(wrongY));

    FirmwareImage wrongType = SmallImage();
    wrongType[3] = 0xB2;
    EXPECT_FALSE(IsValidBootImage(wrongType));

    EXPECT_FALSE(IsValidBootImage({}));
    EXPECT_FALSE(IsValidBootImage({'C', 'Y', 0x1C}));
}

TEST(BootImageValidity, FirstSectionLengthZeroPutsTheChecksumAtOffset12) {
    FirmwareImage image = {'C', 'Y', 0x1C, 0xB0, 0, 0, 0, 0, 0, 0, 0, 0x40, 0, 0, 0, 0};
    const auto walk = WalkBootImage(image);
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->checksumOffset, 12u);
    EXPECT_EQ(walk->sum, 0u);
    EXPECT_TRUE(IsValidBootImage(image));
    image[12] = 1;
    EXPECT_FALSE(IsValidBootImage(image));
}

TEST(BootImageValidity, ChecksumIsTheWordSumModulo2To32) {
    const FirmwareImage image = AssembleBootImage(
        {Words(0x40000000, {0xFFFFFFFF, 0x00000002}), Words(0x40002000, {0x80000000, 0x80000000})}, 0x40000000);
    const auto walk = WalkBootImage(image);
    ASSERT_TRUE(walk);
    EXPECT_EQ(walk->sum, 1u);
    EXPECT_EQ(U32At(image, walk->checksumOffset), 1u);
    EXPECT_TRUE(IsValidBootImage(image));

    for (const std::uint32_t wrong : {0u, 2u, 0xFFFFFFFFu}) {
        FirmwareImage off = image;
        SetU32(off, walk->checksumOffset, wrong);
        EXPECT_FALSE(IsValidBootImage(off)) << wrong;
    }
}

TEST(BootImageValidity, BytesAfterTheChecksumAreAllowed) {
    FirmwareImage image = SmallImage();
    image.resize(image.size() + 100, 0xFF);
    EXPECT_TRUE(IsValidBootImage(image));
}

TEST(BootImageValidity, WalksThatWouldLeaveTheImageAreInvalid) {
    const FirmwareImage image = SmallImage();
    // Every cut ends the walk inside a header, a section, the terminator or
    // the checksum.
    for (std::size_t length = 0; length < image.size(); ++length) {
        const FirmwareImage cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
        EXPECT_FALSE(WalkBootImage(cut).has_value()) << length;
        EXPECT_FALSE(IsValidBootImage(cut)) << length;
    }
    // Section lengths that overrun the image, down to one word too many, and
    // lengths so large that byte offsets computed in 32 bits would wrap.
    for (const std::uint32_t words : {4u, 12u, 0x3FFFFFEu, 0x3FFFFFFu, 0x40000000u, 0xC0000000u, 0xFFFFFFFFu}) {
        FirmwareImage bad = image;
        SetU32(bad, 24, words);
        EXPECT_FALSE(WalkBootImage(bad).has_value()) << words;
        EXPECT_FALSE(IsValidBootImage(bad)) << words;
    }
}

}  // namespace
