#include "firmware/restore/FlashVerify.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>

#include "firmware/ProgressSink.h"

namespace {

constexpr uint8_t kErasedByte = 0xFF;

struct Comparison {
    FlashAccess::ReadResult read = FlashAccess::ReadResult::Read;
    std::optional<uint32_t> firstDifference;
    std::set<uint16_t> sectors;  // every sector with a difference
};

Comparison Compare(FlashAccess& flash, const std::vector<uint8_t>& expected, ProgressSink* progress,
                   const std::string& what) {
    Comparison result;
    std::vector<uint8_t> piece(static_cast<std::size_t>(kVerifyPieceSize));
    if (progress) progress->begin(what, expected.size());
    for (std::size_t address = 0; address < expected.size(); address += kVerifyPieceSize) {
        const auto length = static_cast<int32_t>(std::min<std::size_t>(kVerifyPieceSize, expected.size() - address));
        std::fill(piece.begin(), piece.end(), 0);
        const auto page = static_cast<uint16_t>(address / kVerifyPageSize);
        result.read = flash.readPages(page, piece.data(), length);
        if (result.read != FlashAccess::ReadResult::Read) break;
        for (int32_t i = 0; i < length; ++i) {
            if (piece[static_cast<std::size_t>(i)] == expected[address + static_cast<std::size_t>(i)]) continue;
            const auto at = static_cast<uint32_t>(address + static_cast<std::size_t>(i));
            if (!result.firstDifference) result.firstDifference = at;
            result.sectors.insert(static_cast<uint16_t>(at / kVerifySectorSize));
        }
        if (progress) progress->advance(what, address + static_cast<std::size_t>(length));
    }
    if (progress) progress->end();
    return result;
}

// Erases the sector and writes its part of the range again, piece by piece
// as stage 2 did.
bool Rewrite(FlashAccess& flash, const std::vector<uint8_t>& expected, uint16_t sector, bool& eraseFailed) {
    if (!flash.eraseSector(sector)) {
        eraseFailed = true;
        return false;
    }
    const std::size_t begin = std::size_t{sector} * kVerifySectorSize;
    const std::size_t end = std::min(expected.size(), begin + kVerifySectorSize);
    for (std::size_t address = begin; address < end; address += kVerifyPieceSize) {
        const auto length = static_cast<int32_t>(std::min<std::size_t>(kVerifyPieceSize, end - address));
        if (!flash.writePages(static_cast<uint16_t>(address / kVerifyPageSize), expected.data() + address, length))
            return false;
    }
    return true;
}

FlashVerifyResult::Outcome Unread(FlashAccess::ReadResult read) {
    return read == FlashAccess::ReadResult::NotSupported ? FlashVerifyResult::Outcome::Unverifiable
                                                         : FlashVerifyResult::Outcome::ReadFailed;
}

}  // namespace

std::vector<uint8_t> WrittenFlashRange(std::span<const uint8_t> image) {
    std::vector<uint8_t> range(image.begin(), image.end());
    range.resize((range.size() + kVerifyPageSize - 1) / kVerifyPageSize * kVerifyPageSize, kErasedByte);
    return range;
}

FlashVerifyResult VerifyFlash(FlashAccess& flash, std::span<const uint8_t> image, ProgressSink* progress) {
    FlashVerifyResult result;
    const std::vector<uint8_t> expected = WrittenFlashRange(image);
    result.bytesCompared = expected.size();

    const Comparison first = Compare(flash, expected, progress, "Reading the flash back");
    if (first.read != FlashAccess::ReadResult::Read) {
        result.outcome = Unread(first.read);
        return result;
    }
    if (!first.firstDifference) return result;
    result.firstDifference = *first.firstDifference;

    for (const uint16_t sector : first.sectors) {
        result.rewrittenSectors.push_back(sector);
        if (!Rewrite(flash, expected, sector, result.eraseFailed)) {
            result.outcome = FlashVerifyResult::Outcome::RewriteFailed;
            return result;
        }
    }
    const Comparison second = Compare(flash, expected, progress, "Reading the flash back again");
    if (second.read != FlashAccess::ReadResult::Read) {
        // The programmer read the first time; a failure now is not a
        // missing request.
        result.outcome = FlashVerifyResult::Outcome::ReadFailed;
        return result;
    }
    if (second.firstDifference) {
        result.outcome = FlashVerifyResult::Outcome::Differs;
        result.lastFirstDifference = *second.firstDifference;
    }
    return result;
}

std::string FormatFlashAddress(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", address);
    return text;
}
