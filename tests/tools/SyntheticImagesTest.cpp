#include "tools/SyntheticImages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "firmware/FX3BootImage.h"

namespace {

// A section list read back from an image, written here independently of the
// tool's own reader so the two cannot share a mistake.
struct ParsedSection {
    std::uint32_t address;
    std::size_t offset;  // of the data in the image
    std::size_t bytes;
};

struct ParsedImage {
    std::vector<ParsedSection> sections;
    std::uint32_t entry = 0;
    std::uint32_t storedChecksum = 0;
    std::uint32_t computedChecksum = 0;
    std::size_t end = 0;  // one past the checksum
};

std::uint32_t Le32(const FirmwareImage& image, std::size_t offset) {
    std::uint32_t value = 0;
    std::memcpy(&value, image.data() + offset, 4);  // the tests run little-endian
    return value;
}

ParsedImage Parse(const FirmwareImage& image) {
    ParsedImage parsed;
    std::size_t p = 4;
    while (true) {
        if (p + 8 > image.size()) {
            throw std::runtime_error("image ends inside a header");
        }
        const std::uint32_t words = Le32(image, p);
        const std::uint32_t address = Le32(image, p + 4);
        p += 8;
        if (words == 0) {
            parsed.entry = address;
            break;
        }
        if (p + std::size_t{words} * 4 > image.size()) {
            throw std::runtime_error("image ends inside a section");
        }
        parsed.sections.push_back({address, p, std::size_t{words} * 4});
        for (std::uint32_t w = 0; w < words; ++w) {
            parsed.computedChecksum += Le32(image, p + 4 * w);
        }
        p += std::size_t{words} * 4;
    }
    parsed.storedChecksum = Le32(image, p);
    parsed.end = p + 4;
    return parsed;
}

std::size_t Occurrences(const FirmwareImage& image, const std::uint8_t* bytes, std::size_t n) {
    std::size_t count = 0;
    for (auto it = image.begin(); (it = std::search(it, image.end(), bytes, bytes + n)) != image.end(); ++it) {
        ++count;
    }
    return count;
}

std::size_t Occurrences(const FirmwareImage& image, std::string_view text) {
    return Occurrences(image, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::size_t Find(const FirmwareImage& image, std::string_view text) {
    return static_cast<std::size_t>(std::search(image.begin(), image.end(), text.begin(), text.end()) - image.begin());
}

// Common to both kinds: header bytes, exact size, sections inside system RAM
// without overlap, data filling the image up to a correct checksum.
void ExpectWellFormed(const FirmwareImage& image, std::size_t size, std::size_t minSections) {
    ASSERT_EQ(image.size(), size);
    EXPECT_EQ(image[0], 'C');
    EXPECT_EQ(image[1], 'Y');
    EXPECT_EQ(image[2], 0x1C);
    EXPECT_EQ(image[3], 0xB0);
    const ParsedImage parsed = Parse(image);
    EXPECT_EQ(parsed.end, image.size());
    EXPECT_EQ(parsed.storedChecksum, parsed.computedChecksum);
    ASSERT_GE(parsed.sections.size(), minSections);
    std::uint64_t previousEnd = kSystemRamBase;
    for (const ParsedSection& section : parsed.sections) {
        EXPECT_GE(section.address, previousEnd) << "sections overlap or are out of order";
        previousEnd = std::uint64_t{section.address} + section.bytes;
        EXPECT_LE(previousEnd, std::uint64_t{kSystemRamBase} + kSystemRamSize);
    }
}

TEST(BootProgrammerImage, HasTheFX3LayoutAndStartsAtTheMarkedSection) {
    const FirmwareImage image = MakeBootProgrammerImage({});
    ExpectWellFormed(image, 100 * 1024, 3);
    const ParsedImage parsed = Parse(image);
    const auto entry = std::find_if(parsed.sections.begin(), parsed.sections.end(),
                                    [&](const ParsedSection& s) { return s.address == parsed.entry; });
    ASSERT_NE(entry, parsed.sections.end()) << "entry is not the start of a section";
    EXPECT_EQ(Find(image, kBootProgrammerMagic), entry->offset);
    EXPECT_EQ(Occurrences(image, kBootProgrammerMagic), 1u);
    // A loader that jumps to the first section would miss the programmer.
    EXPECT_NE(entry, parsed.sections.begin());
    EXPECT_EQ(Occurrences(image, SerialMarker.data(), SerialMarker.size()), 0u);
}

TEST(ControllerImage, CarriesMarkerFlagsAndVersion) {
    const FirmwareImage image = MakeControllerImage({});
    ExpectWellFormed(image, 300 * 1024, 3);
    ASSERT_EQ(Occurrences(image, SerialMarker.data(), SerialMarker.size()), 1u);
    const auto marker = static_cast<std::size_t>(
        std::search(image.begin(), image.end(), SerialMarker.begin(), SerialMarker.end()) - image.begin());
    EXPECT_EQ(image[marker + 97], kUnpersonalisedModelFlags);

    ASSERT_EQ(Occurrences(image, kFirmwareVersionTag), 1u);
    const std::size_t tag = Find(image, kFirmwareVersionTag) + kFirmwareVersionTag.size();
    EXPECT_EQ(image[tag], 17);
    EXPECT_EQ(image[tag + 1], 0);

    // Marker, flags and tag lie inside one section's data.
    const ParsedImage parsed = Parse(image);
    EXPECT_TRUE(std::any_of(parsed.sections.begin(), parsed.sections.end(), [&](const ParsedSection& s) {
        return marker >= s.offset && tag + 2 <= s.offset + s.bytes;
    }));
    EXPECT_EQ(Occurrences(image, kBootProgrammerMagic), 0u);

    const FirmwareImage other = MakeControllerImage({.firmwareVersion = 0x1234});
    const std::size_t otherTag = Find(other, kFirmwareVersionTag) + kFirmwareVersionTag.size();
    EXPECT_EQ(other[otherTag], 0x34);
    EXPECT_EQ(other[otherTag + 1], 0x12);
}

TEST(SyntheticImages, SameOptionsSameBytesOtherSeedOtherBytes) {
    EXPECT_EQ(MakeBootProgrammerImage({}), MakeBootProgrammerImage({}));
    EXPECT_NE(MakeBootProgrammerImage({}), MakeBootProgrammerImage({.seed = 7}));
    EXPECT_EQ(MakeControllerImage({.seed = 2}), MakeControllerImage({.seed = 2}));
    EXPECT_NE(MakeControllerImage({.seed = 1}), MakeControllerImage({.seed = 2}));
}

TEST(SyntheticImages, SizeIsSelectableWithinTheFX3Ram) {
    ExpectWellFormed(MakeBootProgrammerImage({.size = kMinSyntheticImageSize}), kMinSyntheticImageSize, 3);
    ExpectWellFormed(MakeControllerImage({.size = kMinSyntheticImageSize}), kMinSyntheticImageSize, 3);
    ExpectWellFormed(MakeControllerImage({.size = 1025}), 1028, 3);
    ExpectWellFormed(MakeControllerImage({.size = 400 * 1024}), 400 * 1024, 3);
    FirmwareImage smallest = MakeControllerImage({.size = kMinSyntheticImageSize});
    EXPECT_TRUE(PersonaliseImage(smallest, "QK90352817466"));

    EXPECT_THROW(MakeBootProgrammerImage({.size = kMinSyntheticImageSize - 1}), std::invalid_argument);
    EXPECT_THROW(MakeControllerImage({.size = kSystemRamSize}), std::invalid_argument);
    EXPECT_THROW(MakeControllerImage({.size = SIZE_MAX}), std::invalid_argument);
}

TEST(AssembleBootImage, RefusesSectionsThatAreNotWholeWords) {
    EXPECT_THROW(AssembleBootImage({BootImageSection{0x40000000, {1, 2, 3}}}, 0x40000000), std::invalid_argument);
    EXPECT_THROW(AssembleBootImage({BootImageSection{0x40000000, {}}}, 0x40000000), std::invalid_argument);
    const FirmwareImage empty = AssembleBootImage({}, 0x40000000);
    EXPECT_EQ(empty.size(), 16u);
    EXPECT_EQ(Parse(empty).entry, 0x40000000u);
}

}  // namespace
