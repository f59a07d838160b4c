// The chip's own check of an FX3 boot image in flash.

#include "sim/Fx3BootImageCheck.h"

#include <gtest/gtest.h>

#include <cstring>

namespace tyvo::sim {
namespace {

void put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// "CY", control, 0xB0, sections, terminator with entry, checksum.
Bytes image(const std::vector<std::pair<uint32_t, Bytes>>& sections, uint32_t entry) {
    Bytes b{'C', 'Y', 0x1C, 0xB0};
    uint32_t sum = 0;
    for (const auto& [address, data] : sections) {
        put32(b, static_cast<uint32_t>(data.size() / 4));
        put32(b, address);
        b.insert(b.end(), data.begin(), data.end());
        for (std::size_t i = 0; i < data.size(); i += 4) {
            uint32_t w = 0;
            std::memcpy(&w, &data[i], 4);
            sum += w;
        }
    }
    put32(b, 0);
    put32(b, entry);
    put32(b, sum);
    return b;
}

TEST(Fx3BootImageCheck, AcceptsAWellFormedImageAndFindsItsVersionTag) {
    Bytes firmware(64, 0x11);
    const char tag[] = "TYVO-FWVER";
    std::memcpy(&firmware[8], tag, 10);
    firmware[18] = 17;
    firmware[19] = 0;
    const Bytes b = image({{0x40000000, firmware}, {0x40010000, Bytes(8, 0xAB)}}, 0x40000100);
    Bytes withTail = b;
    withTail.resize(b.size() + 100, 0xFF);  // erased flash after the image
    const auto info = parseFx3BootImage(withTail);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->entry, 0x40000100u);
    ASSERT_EQ(info->sections.size(), 2u);
    EXPECT_EQ(info->sections[1].address, 0x40010000u);
    EXPECT_EQ(info->totalLength, b.size());
    EXPECT_EQ(info->firmwareVersion, 17);
}

TEST(Fx3BootImageCheck, RejectsWrongSignatureTypeChecksumAndTruncation) {
    const Bytes good = image({{0x40000000, Bytes(16, 1)}}, 0x40000000);
    ASSERT_TRUE(parseFx3BootImage(good));

    Bytes b = good;
    b[1] = 'X';
    EXPECT_FALSE(parseFx3BootImage(b));
    b = good;
    b[3] = 0xB2;
    EXPECT_FALSE(parseFx3BootImage(b));
    b = good;
    b.back() ^= 1;
    EXPECT_FALSE(parseFx3BootImage(b));
    for (std::size_t n = 0; n < good.size(); ++n) EXPECT_FALSE(parseFx3BootImage(std::span(good).first(n))) << n;
    // Erased flash: section length 0xFFFFFFFF words runs far past the end.
    EXPECT_FALSE(parseFx3BootImage(Bytes(4096, 0xFF)));
    Bytes huge{'C', 'Y', 0, 0xB0, 0xFF, 0xFF, 0xFF, 0x3F, 0, 0, 0, 0x40};
    EXPECT_FALSE(parseFx3BootImage(huge));
}

}  // namespace
}  // namespace tyvo::sim
