// Image loading on the FX3: into RAM through the boot loader, into the SPI
// flash through the boot programmer, and into an I2C EEPROM. Each loader
// returns a LoadResult, which the restore stages show to the user as a
// number.

#include "usb/CCyFX3DriverDevice.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

uint32_t ReadLittle32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// The value of a vendor request carries wIndex in its high half.
uint32_t RequestValue(uint16_t wValue, uint16_t wIndex) { return static_cast<uint32_t>(wIndex) << 16 | wValue; }

// Bytes per EEPROM block for the size code in bits 1-3 of the image control
// byte; 0 for a code we do not know.
uint32_t EepromBlockSize(unsigned sizeCode) {
    switch (sizeCode) {
        case 2: return 4 * 1024;
        case 3: return 8 * 1024;
        case 4: return 16 * 1024;
        case 5: return 32 * 1024;
        case 6:
        case 7: return 64 * 1024;
        default: return 0;
    }
}

constexpr unsigned kLargeEepromSizeCode = 7;
constexpr uint8_t kErasedFlashByte = 0xFF;

}  // namespace

LoadResult CCyFX3DriverDevice::LoadImage(std::span<const uint8_t> image, ImageTarget target) {
    m_failedRequest.reset();
    if (image.empty()) return LoadResult::EmptyImage;
    switch (target) {
        case ImageTarget::Ram: return LoadImageToRam(image.data(), image.size(), kRamRequest);
        case ImageTarget::I2cEeprom: return LoadImageToI2cEeprom(image.data(), image.size(), kEepromRequest);
        case ImageTarget::SpiFlash: return LoadImageToSpiFlash(image.data(), image.size(), kFlashEraseRequest);
    }
    return LoadResult::UnknownTarget;
}

bool CCyFX3DriverDevice::WriteRamBlock(uint32_t address, const uint8_t* data, int32_t length, uint8_t request) {
    std::vector<uint8_t> written(data, data + length);
    std::vector<uint8_t> readBack(static_cast<std::size_t>(length));
    for (int pass = 1; pass <= kRamPasses; ++pass) {
        // A request that failed in an earlier pass is forgiven by a later one.
        m_failedRequest.reset();
        bool ok = SendVendorRequest(written.data(), request, address, length, false);
        if (ok) {
            std::fill(readBack.begin(), readBack.end(), 0);
            ok = SendVendorRequest(readBack.data(), request, address, length, true);
        }
        ok = ok && readBack == written;
        // The boot loader sometimes loses the first writes after it starts;
        // only the last pass has to come back intact.
        if (!ok && pass == kRamPasses) return false;
    }
    return true;
}

LoadResult CCyFX3DriverDevice::LoadImageToRam(const uint8_t* image, std::size_t size, uint8_t request) {
    if (size < 2 || !image || image[0] != 'C' || image[1] != 'Y') return LoadResult::NotBootImage;
    std::size_t p = 4;
    constexpr const char* kLoading = "Loading the boot programmer";
    ReportProgress(kLoading, 0, size);
    for (;;) {
        if (p + 4 > size) return LoadResult::Truncated;
        const uint32_t words = ReadLittle32(image + p);
        p += 4;
        if (words == 0) break;  // the terminator
        if (p + 4 > size) return LoadResult::Truncated;
        uint32_t address = ReadLittle32(image + p);
        p += 4;
        // A byte count that is not positive as a signed number has no data:
        // the next section header follows at once.
        const int32_t bytes = static_cast<int32_t>(words * 4u);
        int32_t remaining = bytes > 0 ? bytes : 0;
        while (remaining > 0) {
            const int32_t n = std::min(remaining, kRamBlockSize);
            if (static_cast<std::size_t>(n) > size) return LoadResult::BlockTooLong;
            if (static_cast<std::size_t>(n) > size - p) return LoadResult::Truncated;
            if (!WriteRamBlock(address, image + p, n, request)) return LoadResult::RequestFailed;
            address += static_cast<uint32_t>(n);
            remaining -= n;
            p += static_cast<std::size_t>(n);
            ReportProgress(kLoading, p, size);
        }
    }
    if (p + 4 > size) return LoadResult::Truncated;
    const uint32_t entry = ReadLittle32(image + p);
    // The jump: the boot loader may leave the bus before it answers, so
    // whatever the request reports means nothing.
    SendVendorRequest(nullptr, request, entry, 0, false);
    return LoadResult::Loaded;
}

int CCyFX3DriverDevice::EraseFlashSector(uint16_t sector, uint8_t request) {
    if (!SendVendorRequest(nullptr, request, RequestValue(1, sector), 0, false)) return 1;
    // Polled back to back: each status request is itself a bus round trip.
    // A flash still busy after the time-out will not finish.
    const auto deadline = std::chrono::steady_clock::now() + m_flashEraseTimeout;
    for (;;) {
        uint8_t status = 0xFF;
        if (!SendVendorRequest(&status, request, RequestValue(0, sector), 1, true)) return 1;
        if (status == 0) return 0;
        if (std::chrono::steady_clock::now() >= deadline) return 1;
    }
}

LoadResult CCyFX3DriverDevice::LoadImageToSpiFlash(const uint8_t* image, std::size_t size, uint8_t eraseRequest) {
    if (size == 0 || !image) return LoadResult::EmptyImage;
    uint64_t total = (uint64_t{size} + kFlashPageSize - 1) / kFlashPageSize * kFlashPageSize;
    const uint64_t sectors = (uint64_t{size} + kFlashSectorSize - 1) / kFlashSectorSize;
    // Pages and sectors are 16-bit request fields: a larger image cannot be
    // written, and nothing is erased for it.
    if (total > uint64_t{0x10000} * kFlashPageSize) return LoadResult::RequestFailed;

    // Erasing moves no bytes: the line says which sector, at 0 of the bytes
    // to write.
    const uint64_t toWrite = total;
    for (uint64_t s = 0; s < sectors; ++s) {
        const std::string what =
            "Erasing the flash (sector " + std::to_string(s + 1) + " of " + std::to_string(sectors) + ")";
        ReportProgress(what.c_str(), 0, toWrite);
        if (EraseFlashSector(static_cast<uint16_t>(s), eraseRequest) != 0) return LoadResult::EraseFailed;
    }

    std::vector<uint8_t> piece(static_cast<std::size_t>(kFlashPieceSize));
    uint64_t address = 0;
    while (total > 0) {
        const int32_t m = static_cast<int32_t>(std::min<uint64_t>(kFlashPieceSize, total));
        // Past the end of the image the last page is filled with the
        // erased value, which programs nothing.
        const std::size_t imageBytes =
            address < size ? std::min<std::size_t>(static_cast<std::size_t>(m), size - address) : 0;
        std::memcpy(piece.data(), image + address, imageBytes);
        std::fill(piece.begin() + static_cast<std::ptrdiff_t>(imageBytes), piece.begin() + m, kErasedFlashByte);
        const uint16_t page = static_cast<uint16_t>(address / kFlashPageSize);
        if (!SendVendorRequest(piece.data(), kFlashWriteRequest, RequestValue(0, page), m, false))
            return LoadResult::RequestFailed;
        address += static_cast<uint64_t>(m);
        total -= static_cast<uint64_t>(m);
        ReportProgress("Writing the flash", address, toWrite);
    }
    return LoadResult::Loaded;
}

LoadResult CCyFX3DriverDevice::LoadImageToI2cEeprom(const uint8_t* image, std::size_t size, uint8_t request) {
    if (size == 0 || !image) return LoadResult::EmptyImage;
    // No control byte, no size code.
    if (size < 3) return LoadResult::UnknownEepromSize;
    const unsigned sizeCode = (image[2] >> 1) & 7;
    const uint32_t blockSize = EepromBlockSize(sizeCode);
    if (blockSize == 0) return LoadResult::UnknownEepromSize;

    CCyControlEndPoint* ep = ControlEndPoint();
    if (!ep) return LoadResult::RequestFailed;
    ep->SetTarget(CCyTarget::Device);
    ep->SetReqType(CCyRequestType::Vendor);
    ep->SetDirection(CCyDirection::HostToDevice);
    ep->SetReqCode(request);
    ep->SetValue(0);
    ep->SetIndex(0);

    std::vector<uint8_t> piece(static_cast<std::size_t>(kEepromPieceSize));
    std::size_t position = 0;
    while (size - position >= static_cast<std::size_t>(kEepromPieceSize)) {
        std::memcpy(piece.data(), image + position, piece.size());
        int32_t sent = kEepromPieceSize;
        if (!ep->Transfer(piece.data(), sent)) return LoadResult::RequestFailed;
        ep->SetIndex(static_cast<uint16_t>(ep->Index() + sent));
        position += static_cast<std::size_t>(kEepromPieceSize);
        if (sizeCode != kLargeEepromSizeCode) {
            // Each block of the EEPROM is its own I2C device address.
            if (position % blockSize == 0) {
                ep->SetValue(static_cast<uint16_t>((ep->Value() + 1) % 8));
                ep->SetIndex(0);
            }
        } else if (position % blockSize == 0) {
            // The large devices: the first 128 KB as device 4, then the
            // addresses alternate between 1 and 5.
            ep->SetValue(position < 2 * blockSize ? 4 : (ep->Value() == 4 ? 1 : 5));
            ep->SetIndex(0);
        }
    }

    const std::size_t rest = size - position;
    if (rest > 0) {
        const std::size_t packet = std::max<std::size_t>(ep->MaxPacketSize(), 1);
        std::vector<uint8_t> tail((rest + packet - 1) / packet * packet, 0);
        std::memcpy(tail.data(), image + position, rest);
        int32_t length = static_cast<int32_t>(tail.size());
        if (!ep->Transfer(tail.data(), length)) return LoadResult::RequestFailed;
        // Read back so the write has finished before the caller goes on;
        // the bytes themselves are not compared.
        ep->SetReqCode(kEepromReadBackRequest);
        ep->SetDirection(CCyDirection::DeviceToHost);
        length = static_cast<int32_t>(tail.size());
        if (!ep->Transfer(tail.data(), length)) return LoadResult::RequestFailed;
    }
    return LoadResult::Loaded;
}
