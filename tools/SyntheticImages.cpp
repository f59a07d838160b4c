#include "tools/SyntheticImages.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <span>
#include <stdexcept>

#include "firmware/FX3BootImage.h"
#include "firmware/LittleEndian.h"

namespace {

// splitmix64: tiny, fast and fully defined by its seed, so an image built on
// any machine is byte for byte the same.
class ImageRandom {
public:
    explicit ImageRandom(std::uint64_t seed) : m_state(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

private:
    std::uint64_t m_state;
};

// Section headers, terminator and checksum around the data of n sections.
constexpr std::size_t Overhead(std::size_t sections) { return kBootImageHeaderSize + 8 * sections + 8 + 4; }

// Each section starts on a 4 KB boundary with a free page before it, so a
// loader that ignores the load addresses and copies the data back to back
// puts bytes in the wrong place.
constexpr std::uint32_t kSectionAlignment = 0x1000;

// Fills data with firmware-like words: about half of them repeat from a small
// table, as instructions and constants do in real code, so the chunk files
// compress roughly as real firmware does rather than being stored verbatim.
void FillLikeFirmware(std::vector<std::uint8_t>& data, ImageRandom& random) {
    std::array<std::uint32_t, 64> common{};
    for (auto& word : common) {
        word = static_cast<std::uint32_t>(random.next());
    }
    for (std::size_t offset = 0; offset + 4 <= data.size(); offset += 4) {
        const std::uint64_t r = random.next();
        const auto word = (r & 1) ? common[(r >> 1) % common.size()] : static_cast<std::uint32_t>(r >> 32);
        WriteLittleEndian32(data.data() + offset, word);
    }
}

// Splits an image of the given size over sections in the given proportions,
// places them in system RAM and fills their data.
std::vector<BootImageSection> PlanSections(std::size_t size, std::span<const std::size_t> weights,
                                           ImageRandom& random) {
    if (size < kMinSyntheticImageSize) {
        throw std::invalid_argument("image size is below the smallest synthetic image");
    }
    if (size > kSystemRamSize) {
        throw std::invalid_argument("image sections do not fit in the FX3's system RAM");
    }
    size = (size + 3) & ~std::size_t{3};
    const std::size_t words = (size - Overhead(weights.size())) / 4;
    const std::size_t totalWeight = std::accumulate(weights.begin(), weights.end(), std::size_t{0});
    const auto largest = static_cast<std::size_t>(std::max_element(weights.begin(), weights.end()) - weights.begin());

    std::vector<std::size_t> sectionWords(weights.size());
    for (std::size_t i = 0; i < weights.size(); ++i) {
        sectionWords[i] = words * weights[i] / totalWeight;
    }
    // Rounding leftovers go to the largest section, so the image has exactly
    // the requested size.
    sectionWords[largest] += words - std::accumulate(sectionWords.begin(), sectionWords.end(), std::size_t{0});

    // Place every section before allocating any, so an oversized request is
    // refused without building it.
    std::vector<BootImageSection> sections(weights.size());
    std::uint64_t address = kSystemRamBase;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        sections[i].loadAddress = static_cast<std::uint32_t>(address);
        const std::uint64_t end = address + std::uint64_t{sectionWords[i]} * 4;
        if (end > std::uint64_t{kSystemRamBase} + kSystemRamSize) {
            throw std::invalid_argument("image sections do not fit in the FX3's system RAM");
        }
        address = (end + kSectionAlignment - 1) / kSectionAlignment * kSectionAlignment + kSectionAlignment;
    }
    for (std::size_t i = 0; i < sections.size(); ++i) {
        sections[i].data.resize(sectionWords[i] * 4);
        FillLikeFirmware(sections[i].data, random);
    }
    return sections;
}

void Place(std::vector<std::uint8_t>& data, std::size_t offset, std::span<const std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
}

void Place(std::vector<std::uint8_t>& data, std::size_t offset, std::string_view text) {
    std::copy(text.begin(), text.end(), data.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace

FirmwareImage AssembleBootImage(const std::vector<BootImageSection>& sections, std::uint32_t entryAddress,
                                std::uint8_t controlByte, std::uint8_t imageType) {
    FirmwareImage image{'C', 'Y', controlByte, imageType};
    std::uint32_t checksum = 0;
    const auto append32 = [&image](std::uint32_t value) {
        image.resize(image.size() + 4);
        WriteLittleEndian32(image.data() + image.size() - 4, value);
    };
    for (const BootImageSection& section : sections) {
        if (section.data.empty() || section.data.size() % 4 != 0) {
            throw std::invalid_argument("a section must hold a whole, non-zero number of words");
        }
        append32(static_cast<std::uint32_t>(section.data.size() / 4));
        append32(section.loadAddress);
        for (std::size_t offset = 0; offset < section.data.size(); offset += 4) {
            checksum += ReadLittleEndian32(section.data.data() + offset);
        }
        image.insert(image.end(), section.data.begin(), section.data.end());
    }
    append32(0);
    append32(entryAddress);
    append32(checksum);
    return image;
}

FirmwareImage MakeBootProgrammerImage(const BootProgrammerOptions& options) {
    // Start-up data, the code (entered at its first word), and a small tail.
    constexpr std::array<std::size_t, 3> kWeights{3, 12, 1};
    constexpr std::size_t kEntrySection = 1;
    ImageRandom random(options.seed);
    std::vector<BootImageSection> sections = PlanSections(options.size, kWeights, random);
    Place(sections[kEntrySection].data, 0, kBootProgrammerMagic);
    return AssembleBootImage(sections, sections[kEntrySection].loadAddress);
}

FirmwareImage MakeControllerImage(const ControllerImageOptions& options) {
    // Vectors, code (the entry), initialised data with the identity area, and
    // a small tail.
    constexpr std::array<std::size_t, 4> kWeights{1, 10, 4, 1};
    constexpr std::size_t kEntrySection = 1;
    constexpr std::size_t kIdentitySection = 2;
    constexpr std::size_t kMarkerOffset = 32;
    constexpr std::size_t kVersionTagOffset = kMarkerOffset + 128;
    ImageRandom random(options.seed);
    std::vector<BootImageSection> sections = PlanSections(options.size, kWeights, random);

    std::vector<std::uint8_t>& identity = sections[kIdentitySection].data;
    Place(identity, kMarkerOffset, SerialMarker);
    identity[kMarkerOffset + kModelFlagsOffset] = kUnpersonalisedModelFlags;
    Place(identity, kVersionTagOffset, kFirmwareVersionTag);
    const std::array<std::uint8_t, 2> version{static_cast<std::uint8_t>(options.firmwareVersion & 0xFF),
                                              static_cast<std::uint8_t>(options.firmwareVersion >> 8)};
    Place(identity, kVersionTagOffset + kFirmwareVersionTag.size(), version);
    return AssembleBootImage(sections, sections[kEntrySection].loadAddress);
}
