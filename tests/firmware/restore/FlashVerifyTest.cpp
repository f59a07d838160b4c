// Reading the flash back after stage 2, against a flash in memory whose
// faults the tests choose: a byte that programs wrong once or always, a
// programmer without the read request, reads and rewrites that fail.

#include "firmware/restore/FlashVerify.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <vector>

namespace {

class MemoryFlash : public FlashAccess {
public:
    explicit MemoryFlash(std::size_t size) : bytes(size, 0xFF) {}

    ReadResult readPages(uint16_t page, uint8_t* into, int32_t length) override {
        reads.emplace_back(page, length);
        if (noReadRequest) return ReadResult::NotSupported;
        if (failReadAt && reads.size() == *failReadAt) return ReadResult::Failed;
        const std::size_t at = std::size_t{page} * 256;
        for (int32_t i = 0; i < length; ++i) into[i] = bytes.at(at + static_cast<std::size_t>(i));
        return ReadResult::Read;
    }
    bool eraseSector(uint16_t sector) override {
        erased.push_back(sector);
        if (failErase) return false;
        std::fill(bytes.begin() + sector * 65536, bytes.begin() + (sector + 1) * 65536, 0xFF);
        return true;
    }
    bool writePages(uint16_t page, const uint8_t* data, int32_t length) override {
        writes.emplace_back(page, length);
        for (int32_t i = 0; i < length; ++i) {
            const std::size_t at = std::size_t{page} * 256 + static_cast<std::size_t>(i);
            if (weak && weak->first == at && weak->second > 0) {
                --weak->second;  // this cell keeps its erased value
                continue;
            }
            bytes.at(at) &= data[i];
        }
        return true;
    }

    // Writes the image the way stage 2 does (the cell may fail here too).
    void program(const std::vector<uint8_t>& image) {
        const auto range = WrittenFlashRange(image);
        for (std::size_t a = 0; a < range.size(); a += 2048)
            writePages(static_cast<uint16_t>(a / 256), range.data() + a,
                       static_cast<int32_t>(std::min<std::size_t>(2048, range.size() - a)));
        writes.clear();
    }

    std::vector<uint8_t> bytes;
    std::vector<std::pair<uint16_t, int32_t>> reads, writes;
    std::vector<uint16_t> erased;
    bool noReadRequest = false;
    bool failErase = false;
    std::optional<std::size_t> failReadAt;            // 1-based read that fails
    std::optional<std::pair<std::size_t, int>> weak;  // address, how many writes it misses
};

// 70 000 bytes: two sectors, the last page part image and part filler.
std::vector<uint8_t> Image() {
    std::vector<uint8_t> image(70000);
    for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 7 + 1) & 0x7F;
    return image;
}

TEST(FlashVerify, TheWrittenRangeIsTheImagePaddedToWholePagesWithTheErasedValue) {
    const auto range = WrittenFlashRange(Image());
    ASSERT_EQ(range.size(), 70144u);
    EXPECT_EQ(range[69999], Image()[69999]);
    for (std::size_t i = 70000; i < range.size(); ++i) ASSERT_EQ(range[i], 0xFF) << i;
    EXPECT_EQ(WrittenFlashRange(std::vector<uint8_t>(512, 0)).size(), 512u) << "whole pages gain nothing";
}

TEST(FlashVerify, ACleanFlashIsReadOnceInPiecesAndVerifiedWithoutWriting) {
    MemoryFlash flash(4 * 65536);
    flash.program(Image());
    const auto result = VerifyFlash(flash, Image());
    EXPECT_EQ(result.outcome, FlashVerifyResult::Outcome::Verified);
    EXPECT_TRUE(result.rewrittenSectors.empty());
    EXPECT_EQ(result.bytesCompared, 70144u);
    ASSERT_EQ(flash.reads.size(), 35u) << "34 pieces of 2048 bytes and one of 512";
    EXPECT_EQ(flash.reads[1], (std::pair<uint16_t, int32_t>{8, 2048}));
    EXPECT_EQ(flash.reads.back(), (std::pair<uint16_t, int32_t>{272, 512}));
    EXPECT_TRUE(flash.erased.empty());
    EXPECT_TRUE(flash.writes.empty());
}

TEST(FlashVerify, AByteThatProgrammedWrongOnceIsFoundAndOnlyItsSectorIsWrittenAgain) {
    MemoryFlash flash(4 * 65536);
    flash.weak = {{66000, 1}};  // in sector 1
    flash.program(Image());
    const auto result = VerifyFlash(flash, Image());
    EXPECT_EQ(result.outcome, FlashVerifyResult::Outcome::Verified);
    EXPECT_EQ(result.firstDifference, 66000u);
    EXPECT_EQ(result.rewrittenSectors, std::vector<uint16_t>{1});
    EXPECT_EQ(flash.erased, std::vector<uint16_t>{1});
    // Sector 1 holds bytes 65536..70143 of the range: pages 256.. in two
    // pieces of 2048 and one of 512.
    ASSERT_EQ(flash.writes.size(), 3u);
    EXPECT_EQ(flash.writes.front(), (std::pair<uint16_t, int32_t>{256, 2048}));
    EXPECT_EQ(flash.writes.back(), (std::pair<uint16_t, int32_t>{272, 512}));
    EXPECT_EQ(flash.reads.size(), 70u) << "compared twice";
    const auto range = WrittenFlashRange(Image());
    EXPECT_TRUE(std::equal(range.begin(), range.end(), flash.bytes.begin()));
}

TEST(FlashVerify, ADifferenceThatARewriteDoesNotMendFailsWithItsAddress) {
    MemoryFlash flash(4 * 65536);
    flash.weak = {{1234, 1000}};
    flash.program(Image());
    const auto result = VerifyFlash(flash, Image());
    EXPECT_EQ(result.outcome, FlashVerifyResult::Outcome::Differs);
    EXPECT_EQ(result.firstDifference, 1234u);
    EXPECT_EQ(result.lastFirstDifference, 1234u);
    EXPECT_EQ(flash.erased, std::vector<uint16_t>{0}) << "written again once, not in a loop";
    EXPECT_EQ(FormatFlashAddress(result.lastFirstDifference), "0x000004D2");
}

TEST(FlashVerify, DifferencesInTwoSectorsRewriteBothInOrder) {
    MemoryFlash flash(4 * 65536);
    flash.program(Image());
    flash.bytes[69000] ^= 0x01;  // flipped bits after the fact
    flash.bytes[10] ^= 0x01;
    const auto result = VerifyFlash(flash, Image());
    EXPECT_EQ(result.outcome, FlashVerifyResult::Outcome::Verified);
    EXPECT_EQ(result.firstDifference, 10u);
    EXPECT_EQ(result.rewrittenSectors, (std::vector<uint16_t>{0, 1}));
}

TEST(FlashVerify, AProgrammerWithoutTheReadRequestIsUnverifiableNotAFailure) {
    MemoryFlash flash(4 * 65536);
    flash.program(Image());
    flash.noReadRequest = true;
    const auto result = VerifyFlash(flash, Image());
    EXPECT_EQ(result.outcome, FlashVerifyResult::Outcome::Unverifiable);
    EXPECT_EQ(flash.reads.size(), 1u) << "one refusal is enough";
    EXPECT_TRUE(flash.erased.empty());
}

TEST(FlashVerify, FailedRequestsEndTheVerificationAsSuch) {
    {
        MemoryFlash flash(4 * 65536);
        flash.program(Image());
        flash.failReadAt = 5;
        EXPECT_EQ(VerifyFlash(flash, Image()).outcome, FlashVerifyResult::Outcome::ReadFailed);
        EXPECT_EQ(flash.reads.size(), 5u);
    }
    {
        MemoryFlash flash(4 * 65536);
        flash.program(Image());
        flash.bytes[3] ^= 0x10;
        flash.failErase = true;
        const auto result = VerifyFlash(flash, Image());
        EXPECT_EQ(result.outcome, FlashVerifyResult::Outcome::RewriteFailed);
        EXPECT_TRUE(result.eraseFailed);
        EXPECT_TRUE(flash.writes.empty()) << "nothing written into a sector that was not erased";
    }
}

}  // namespace
