#pragma once
// The FX3 flavour of the driver device: vendor requests on endpoint zero.
// The image loaders of the restore stages live beside it, in files of
// their own.

#include "usb/CCyDriverDevice.h"
#include "usb/LoadResult.h"

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string>

class CCyFX3DriverDevice : public CCyDriverDevice {
public:
    static constexpr int32_t kMaxVendorPiece = 65535;

    using CCyDriverDevice::CCyDriverDevice;

    // A vendor request to the device: value's low half is wValue, its high
    // half wIndex; longer requests go in pieces of at most 65 535 bytes with
    // the same wValue and wIndex. For device-to-host requests the bytes
    // received land in buffer. A piece that moves nothing ends the request
    // as a failure.
    bool SendVendorRequest(uint8_t* buffer, uint8_t request, uint32_t value, int32_t length, bool deviceToHost);

    // Image loading (CCyFX3ImageLoader.cpp). The vendor requests of the FX3
    // boot loader (RAM), the boot programmer (SPI flash) and the EEPROM
    // programmer.
    static constexpr uint8_t kRamRequest = 0xA0;
    static constexpr uint8_t kEepromRequest = 0xBA;
    static constexpr uint8_t kEepromReadBackRequest = 0xBB;
    static constexpr uint8_t kFlashWriteRequest = 0xC2;
    static constexpr uint8_t kFlashEraseRequest = 0xC4;
    // The read form of 0xC2: device to host, page number in wIndex. Not
    // every boot programmer has it; one without it stalls.
    static constexpr uint8_t kFlashReadRequest = 0xC3;
    static constexpr int32_t kRamBlockSize = 2048;
    static constexpr int kRamPasses = 3;
    static constexpr uint32_t kFlashPageSize = 256;
    static constexpr uint32_t kFlashSectorSize = 65536;
    static constexpr int32_t kFlashPieceSize = 2048;
    static constexpr int32_t kEepromPieceSize = 2048;
    // A sector erase takes about a second on the flashes we meet; one that
    // is still busy after this long will not finish.
    static constexpr std::chrono::milliseconds kDefaultFlashEraseTimeout{10000};

    // Loads an image to the target: RAM through request 0xA0, the I2C
    // EEPROM through 0xBA, the SPI flash through 0xC4 (erase) and 0xC2.
    LoadResult LoadImage(std::span<const uint8_t> image, ImageTarget target);
    // Writes every section of an FX3 boot image into RAM in blocks of up to
    // 2048 bytes, each written and read back three times (only the last
    // pass must succeed), then starts it with a write of no data to the
    // entry address.
    LoadResult LoadImageToRam(const uint8_t* image, std::size_t size, uint8_t request = kRamRequest);
    // Erases the sectors the image needs, then writes it page-aligned in
    // pieces of 2048 bytes; the last page is padded with 0xFF, the erased
    // state, so the filler programs nothing.
    LoadResult LoadImageToSpiFlash(const uint8_t* image, std::size_t size, uint8_t eraseRequest = kFlashEraseRequest);
    // Starts erasing a 64 KB sector and polls the flash status until it is
    // ready: 0, or 1 when a request fails or the flash stays busy beyond the
    // erase time-out.
    int EraseFlashSector(uint16_t sector, uint8_t request = kFlashEraseRequest);
    // Writes the image to an I2C EEPROM in 2048-byte pieces, the EEPROM
    // addressing taken from the size code in the image control byte.
    LoadResult LoadImageToI2cEeprom(const uint8_t* image, std::size_t size, uint8_t request = kEepromRequest);

    // Told as a RAM or flash load goes: what it is doing, the bytes done and
    // the bytes in all. Called on the loading thread, between requests.
    using LoadProgress = std::function<void(const char* what, uint64_t done, uint64_t total)>;
    void SetLoadProgress(LoadProgress progress) { m_loadProgress = std::move(progress); }

    std::chrono::milliseconds FlashEraseTimeout() const { return m_flashEraseTimeout; }
    void SetFlashEraseTimeout(std::chrono::milliseconds timeout) { m_flashEraseTimeout = timeout; }

    // The vendor request that failed last, kept so that a failed load can
    // say which request on which device, beside the load result the user
    // sees as a number.
    struct FailedRequest {
        uint8_t request = 0;
        uint16_t value = 0;
        uint16_t index = 0;
        int32_t length = 0;
        bool deviceToHost = false;
        uint32_t error = 0;  // the errno value; 0 when the device moved no data
    };
    const std::optional<FailedRequest>& LastFailedRequest() const { return m_failedRequest; }
    // "vendor request 0xC2 (wValue 0x0000, wIndex 0x0012, 2048 bytes to the
    // device) on usb#vid_04b4&pid_4720#1-2: Broken pipe", or "" when none
    // failed.
    std::string DescribeFailedRequest() const;

private:
    bool SendVendorRequestPieces(uint8_t* buffer, uint8_t request, uint32_t value, int32_t length, bool deviceToHost);
    // One block of a RAM load: three passes of write and read-back.
    bool WriteRamBlock(uint32_t address, const uint8_t* data, int32_t length, uint8_t request);

    void ReportProgress(const char* what, uint64_t done, uint64_t total) const {
        if (m_loadProgress) m_loadProgress(what, done, total);
    }

    std::chrono::milliseconds m_flashEraseTimeout = kDefaultFlashEraseTimeout;
    LoadProgress m_loadProgress;
    std::optional<FailedRequest> m_failedRequest;
};
