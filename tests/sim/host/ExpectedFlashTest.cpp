// The host's own idea of the restored flash, and how it compares a flash
// with it.

#include "firmware/FX3BootImage.h"
#include "sim/host/ExpectedFlash.h"
#include "tools/SyntheticImages.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace tyvo::sim::host {
namespace {

TEST(ExpectedFlash, AgreesWithTheToolsPersonalisationWrittenApart) {
    for (const char* serial : {"QK90352817466", "MKT-48-0001", "a serial longer than thirteen", "Q"}) {
        SCOPED_TRACE(serial);
        const FirmwareImage image = MakeControllerImage({20000, 17, 3});
        FirmwareImage theTools = image;
        ASSERT_TRUE(PersonaliseImage(theTools, serial));
        std::string why;
        const auto ours = PersonalisedImage(image, serial, why);
        ASSERT_TRUE(ours.has_value()) << why;
        EXPECT_EQ(*ours, theTools);
        EXPECT_TRUE(IsValidBootImage(*ours)) << "the checksum is recomputed";
    }
}

TEST(ExpectedFlash, TheRestoredSerialFillsTheMarkerAndSetsFlags0x09) {
    const FirmwareImage image = MakeControllerImage({8000, 17, 4});
    const auto marker = std::search(image.begin(), image.end(), SerialMarker.begin(), SerialMarker.end());
    ASSERT_NE(marker, image.end());
    const std::size_t at = static_cast<std::size_t>(marker - image.begin());
    std::string why;
    const auto out = PersonalisedImage(image, kRestoredSerial, why);
    ASSERT_TRUE(out.has_value()) << why;
    EXPECT_EQ(std::string(out->begin() + static_cast<std::ptrdiff_t>(at),
                          out->begin() + static_cast<std::ptrdiff_t>(at + 13)),
              "QK90352817466");
    EXPECT_EQ((*out)[at + 13], 0);
    EXPECT_EQ((*out)[at + 97], 0x09);
}

TEST(ExpectedFlash, ModelFlagsFollowTheModelsNamedInTheSerial) {
    EXPECT_EQ(ModelFlagsFor("QK90352817466"), 0x09);
    EXPECT_EQ(ModelFlagsFor("MKT-21"), 0x00);
    EXPECT_EQ(ModelFlagsFor("MKT-36"), 0x01);
    EXPECT_EQ(ModelFlagsFor("MKT-36 MKT-21"), 0x00);
    EXPECT_EQ(ModelFlagsFor("MKT-48"), 0x0F);
    EXPECT_EQ(ModelFlagsFor("MKT-57"), 0x0B);
    EXPECT_EQ(ModelFlagsFor("MKT-21 MKT-48 MKT-57"), 0x06);
}

TEST(ExpectedFlash, AnImageWithoutMarkerOrChecksumFieldIsRefusedWithTheReason) {
    std::string why;
    EXPECT_FALSE(PersonalisedImage(Bytes(4000, 0x11), kRestoredSerial, why).has_value());
    EXPECT_NE(why.find("marker"), std::string::npos) << why;
    FirmwareImage cut = MakeControllerImage({8000, 17, 5});
    cut.resize(cut.size() - 4);
    EXPECT_FALSE(PersonalisedImage(cut, kRestoredSerial, why).has_value());
    EXPECT_NE(why.find("checksum"), std::string::npos) << why;
}

TEST(ExpectedFlash, PaddingFillsTheLastPageWithTheErasedValue) {
    const Bytes padded = PaddedToPages(Bytes(300, 0x5A));
    ASSERT_EQ(padded.size(), 512u);
    EXPECT_TRUE(std::all_of(padded.begin() + 300, padded.end(), [](uint8_t b) { return b == 0xFF; }));
    EXPECT_EQ(PaddedToPages(Bytes(256, 1)).size(), 256u);
}

TEST(ExpectedFlash, ComparisonFindsTheFirstDifferenceAndAnythingLeftInTheErasedSectors) {
    const Bytes image(70000, 0x42);
    const Bytes padded = PaddedToPages(image);
    Bytes flash(4 * kFlashSector, 0xFF);
    std::copy(image.begin(), image.end(), flash.begin());
    flash[3 * kFlashSector] = 0x00;  // beyond the image's sectors: not ours
    EXPECT_EQ(CompareFlash(flash, padded, image.size()), "");

    Bytes differs = flash;
    differs[12345] = 0x43;
    EXPECT_EQ(CompareFlash(differs, padded, image.size()),
              "the flash differs from the expected image at offset 12345 (expected 0x42, found 0x43)");
    Bytes padNotErased = flash;
    padNotErased[70100] = 0x00;
    EXPECT_NE(CompareFlash(padNotErased, padded, image.size()).find("offset 70100"), std::string::npos);
    Bytes sectorNotErased = flash;
    sectorNotErased[2 * kFlashSector - 1] = 0x7F;
    EXPECT_EQ(CompareFlash(sectorNotErased, padded, image.size()),
              "the flash is not erased after the image, at offset 131071");
}

}  // namespace
}  // namespace tyvo::sim::host
