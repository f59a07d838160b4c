#pragma once
// Where an image goes and how its load ended. The load result is shown to
// the user as a plain number ("Error 7 when restoring firmware (2/2)"), so
// the values are fixed.

#include <cstdint>

enum class ImageTarget : int32_t {
    Ram = 1,        // the FX3's RAM, through the boot loader
    I2cEeprom = 2,  // an I2C EEPROM behind the FX3
    SpiFlash = 3,   // the SPI flash behind the FX3, through the boot programmer
};

enum class LoadResult : int32_t {
    Loaded = 0,
    // A vendor request failed, or a RAM read-back still differed in the last
    // pass; for flash and EEPROM: a write failed.
    RequestFailed = 1,
    UnknownTarget = 2,
    // A RAM image must begin with "CY".
    NotBootImage = 3,
    // A RAM image that ends inside a section or before its terminator.
    Truncated = 5,
    EmptyImage = 6,
    // A flash sector could not be erased (or stayed busy too long).
    EraseFailed = 7,
    // A RAM image block longer than the whole image.
    BlockTooLong = 8,
    // The EEPROM size code in the image control byte is not one we know.
    UnknownEepromSize = 9,
};

// The number the user sees.
constexpr int32_t LoadResultCode(LoadResult result) { return static_cast<int32_t>(result); }
