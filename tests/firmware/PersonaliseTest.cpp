#include <gtest/gtest.h>

#include <algorithm>

#include "firmware/FX3BootImage.h"
#include "firmware/LittleEndian.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tools/SyntheticImages.h"

namespace {

constexpr char kSupportLine[] =
    "There is something wrong with your device. Please contact Tyvo for support, and include "
    "your device ID.\n";

std::size_t MarkerOffset(const FirmwareImage& image) {
    const auto found = std::search(image.begin(), image.end(), SerialMarker.begin(), SerialMarker.end());
    return static_cast<std::size_t>(found - image.begin());
}

std::vector<std::size_t> DifferingOffsets(const FirmwareImage& a, const FirmwareImage& b) {
    std::vector<std::size_t> offsets;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) {
        if (a[i] != b[i]) {
            offsets.push_back(i);
        }
    }
    return offsets;
}

class PersonaliseTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_image = new FirmwareImage(MakeControllerImage({.size = 64 * 1024}));
        s_marker = MarkerOffset(*s_image);
        s_checksumOffset = WalkBootImage(*s_image)->checksumOffset;
    }
    static void TearDownTestSuite() { delete s_image; }

    struct Outcome {
        bool personalised = false;
        FirmwareImage image;
        std::string out;
    };
    static Outcome Personalise(FirmwareImage image, const std::string& serial) {
        ConsoleCapture console;
        const bool personalised = PersonaliseImage(image, serial);
        return {personalised, std::move(image), console.out()};
    }
    static std::string MarkerBytes(const FirmwareImage& image) {
        return {image.begin() + static_cast<std::ptrdiff_t>(s_marker),
                image.begin() + static_cast<std::ptrdiff_t>(s_marker + SerialMarker.size())};
    }

    static inline FirmwareImage* s_image = nullptr;
    static inline std::size_t s_marker = 0;
    static inline std::size_t s_checksumOffset = 0;
};

TEST_F(PersonaliseTest, ThirteenCharacterSerialFillsTheMarkerAndSetsFlagsAndChecksum) {
    ASSERT_LT(s_marker, s_image->size());
    const Outcome result = Personalise(*s_image, "QK90352817466");
    ASSERT_TRUE(result.personalised);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(MarkerBytes(result.image), std::string("QK90352817466\0", 14));
    EXPECT_EQ(result.image[s_marker + kModelFlagsOffset], 0x09);
    EXPECT_TRUE(IsValidBootImage(result.image));

    // Nothing else moves: only the marker, the flags byte and the checksum.
    for (const std::size_t offset : DifferingOffsets(*s_image, result.image)) {
        const bool inMarker = offset >= s_marker && offset < s_marker + SerialMarker.size();
        const bool isFlags = offset == s_marker + kModelFlagsOffset;
        const bool inChecksum = offset >= s_checksumOffset && offset < s_checksumOffset + 4;
        EXPECT_TRUE(inMarker || isFlags || inChecksum) << "byte " << offset << " changed";
    }
    EXPECT_NE(ReadLittleEndian32(result.image.data() + s_checksumOffset),
              ReadLittleEndian32(s_image->data() + s_checksumOffset));
}

TEST_F(PersonaliseTest, SerialIsCutToThirteenOrZeroFilled) {
    const Outcome longSerial = Personalise(*s_image, "ABCDEFGHIJKLMNOPQRST");
    ASSERT_TRUE(longSerial.personalised);
    EXPECT_EQ(MarkerBytes(longSerial.image), std::string("ABCDEFGHIJKLM\0", 14));
    EXPECT_TRUE(IsValidBootImage(longSerial.image));

    const Outcome shortSerial = Personalise(*s_image, "AB");
    ASSERT_TRUE(shortSerial.personalised);
    EXPECT_EQ(MarkerBytes(shortSerial.image), std::string("AB\0\0\0\0\0\0\0\0\0\0\0\0", 14));
}

TEST_F(PersonaliseTest, ModelFlagsFollowTheSerial) {
    struct Row {
        const char* serial;
        std::uint8_t flags;
    };
    const Row rows[] = {
        {"QK90352817466", 0x09}, {"MKT-21-0001", 0x00},   {"MKT-36-0001", 0x01},   {"MKT-21MKT-36", 0x00},
        {"MKT-48", 0x0F},        {"MKT-21 MKT-48", 0x06}, {"MKT-36 MKT-48", 0x07}, {"MKT-57", 0x0B},
        {"MKT-21 MKT-57", 0x02}, {"MKT-36 MKT-57", 0x03}, {"MKT-48 MKT-57", 0x0F}, {"mkt-21", 0x09},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.serial);
        EXPECT_EQ(ModelFlags(row.serial), row.flags);
        const Outcome result = Personalise(*s_image, row.serial);
        ASSERT_TRUE(result.personalised);
        EXPECT_EQ(result.image[s_marker + kModelFlagsOffset], row.flags);
        EXPECT_TRUE(IsValidBootImage(result.image));
    }
    // The flags come from the whole serial, also the part cut from the marker.
    EXPECT_EQ(Personalise(*s_image, "0123456789ABCDMKT-21").image[s_marker + kModelFlagsOffset], 0x00);
}

TEST_F(PersonaliseTest, EmptySerialPrintsTheSupportMessageAndChangesNothing) {
    const Outcome result = Personalise(*s_image, "");
    EXPECT_FALSE(result.personalised);
    EXPECT_EQ(result.out, kSupportLine);
    EXPECT_EQ(result.image, *s_image);
}

TEST_F(PersonaliseTest, ImagesThatCannotBePersonalisedAreLeftAlone) {
    // Already personalised: the marker is gone.
    const Outcome once = Personalise(*s_image, "QK90352817466");
    ASSERT_TRUE(once.personalised);
    const Outcome twice = Personalise(once.image, "MKT-21-0002");
    EXPECT_FALSE(twice.personalised);
    EXPECT_EQ(twice.image, once.image);

    // A wrong checksum.
    FirmwareImage broken = *s_image;
    broken[s_checksumOffset] ^= 1;
    const Outcome invalid = Personalise(broken, "QK90352817466");
    EXPECT_FALSE(invalid.personalised);
    EXPECT_EQ(invalid.image, broken);
    EXPECT_EQ(invalid.out, "");

    // A boot programmer has no marker.
    const FirmwareImage programmer = MakeBootProgrammerImage({.size = 4096});
    const Outcome noMarker = Personalise(programmer, "QK90352817466");
    EXPECT_FALSE(noMarker.personalised);
    EXPECT_EQ(noMarker.image, programmer);
}

TEST_F(PersonaliseTest, MarkerTooCloseToTheEndForTheFlagsByteIsNotPatched) {
    // The marker in the last section, with fewer than 97 bytes after it.
    BootImageSection tail{0x40000000, std::vector<std::uint8_t>(40, 0x00)};
    std::copy(SerialMarker.begin(), SerialMarker.end(), tail.data.begin() + 8);
    const FirmwareImage image = AssembleBootImage({tail}, 0x40000000);
    ASSERT_TRUE(IsValidBootImage(image));
    const Outcome result = Personalise(image, "QK90352817466");
    EXPECT_FALSE(result.personalised);
    EXPECT_EQ(result.image, image);
}

TEST_F(PersonaliseTest, OnlyTheFirstMarkerIsReplaced) {
    BootImageSection data{0x40000000, std::vector<std::uint8_t>(512, 0x00)};
    std::copy(SerialMarker.begin(), SerialMarker.end(), data.data.begin() + 16);
    std::copy(SerialMarker.begin(), SerialMarker.end(), data.data.begin() + 300);
    const FirmwareImage image = AssembleBootImage({data}, 0x40000000);
    const Outcome result = Personalise(image, "QK90352817466");
    ASSERT_TRUE(result.personalised);
    const std::size_t first = 12 + 16;
    const std::size_t second = 12 + 300;
    EXPECT_EQ(std::string(result.image.begin() + first, result.image.begin() + first + 14),
              std::string("QK90352817466\0", 14));
    EXPECT_TRUE(std::equal(SerialMarker.begin(), SerialMarker.end(), result.image.begin() + second));
    EXPECT_EQ(result.image[first + kModelFlagsOffset], 0x09);
    EXPECT_TRUE(IsValidBootImage(result.image));
}

}  // namespace
