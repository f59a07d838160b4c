#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

class ProgressSink;

// Reading the SPI flash back after stage 2 and comparing it with what was
// written: the image, padded to whole pages with 0xFF as the writer pads it.
// Where they differ, the sectors concerned are erased and written once more
// and the whole range is compared again.

// The flash behind the boot programmer, as verification reaches it.
class FlashAccess {
public:
    enum class ReadResult {
        Read,
        NotSupported,  // the programmer stalled the read request: it has none
        Failed,        // the request failed otherwise (a cable, a device gone)
    };
    virtual ~FlashAccess() = default;
    // Up to 2048 bytes from the start of the page.
    virtual ReadResult readPages(uint16_t page, uint8_t* into, int32_t length) = 0;
    // Erases one 64 KB sector and waits until the flash is ready.
    virtual bool eraseSector(uint16_t sector) = 0;
    // Programs up to 2048 bytes from the start of the page.
    virtual bool writePages(uint16_t page, const uint8_t* data, int32_t length) = 0;
};

struct FlashVerifyResult {
    enum class Outcome {
        Verified,       // the flash held what was written (perhaps after rewriting)
        Unverifiable,   // the programmer cannot read the flash back
        Differs,        // still different after one rewrite
        ReadFailed,     // a read-back request failed
        RewriteFailed,  // erasing or writing a sector again failed
    };
    Outcome outcome = Outcome::Verified;
    // The first differing byte address of the first comparison (and, for
    // Differs, of the last one).
    uint32_t firstDifference = 0;
    uint32_t lastFirstDifference = 0;
    // The sectors written again, in order; empty when the first comparison
    // found nothing.
    std::vector<uint16_t> rewrittenSectors;
    // For RewriteFailed: true when the erase failed (else a write).
    bool eraseFailed = false;
    uint64_t bytesCompared = 0;
};

inline constexpr uint32_t kVerifyPageSize = 256;
inline constexpr uint32_t kVerifySectorSize = 65536;
inline constexpr int32_t kVerifyPieceSize = 2048;

// The bytes stage 2 writes for an image: the image, then 0xFF to the end of
// its last page.
std::vector<uint8_t> WrittenFlashRange(std::span<const uint8_t> image);

// Reads the written range back in 2048-byte pieces, compares, rewrites the
// differing sectors once and compares again. The progress sink, when given,
// is told of every piece read and written.
FlashVerifyResult VerifyFlash(FlashAccess& flash, std::span<const uint8_t> image, ProgressSink* progress = nullptr);

// "0x0001F400"
std::string FormatFlashAddress(uint32_t address);
