#include "usb/CCyUSBEndPoint.h"

#include <algorithm>
#include <cstring>

namespace {
// After a time-out and two aborts the driver has always finished a request;
// should it not, the transfer is given up after this long instead of waiting
// for ever (its overlapped record detaches it).
constexpr uint32_t kLastAbortWaitMs = 5000;
constexpr uint32_t kAbortGraceMs = 50;
}  // namespace

CCyUSBEndPoint::CCyUSBEndPoint(DriverHandle* handle, const uint8_t* d, const uint8_t* companion) : m_handle(handle) {
    uint32_t maxPacket = 0;
    if (d) {
        m_bLength = d[0];
        m_bDescriptorType = d[1];
        m_bEndpointAddress = d[2];
        m_bmAttributes = d[3];
        const uint16_t wMaxPacketSize = static_cast<uint16_t>(d[4] | d[5] << 8);
        m_bInterval = d[6];
        m_multiplier = static_cast<uint16_t>(((wMaxPacketSize >> 11) & 3) + 1);
        maxPacket = (wMaxPacketSize & 0x7FFu) * m_multiplier;
    }
    if (companion) {
        m_ssLength = companion[0];
        m_ssDescriptorType = companion[1];
        m_ssMaxBurst = companion[2];
        m_ssAttributes = companion[3];
        m_ssBytesPerInterval = static_cast<uint16_t>(companion[4] | companion[5] << 8);
        maxPacket *= m_ssMaxBurst + 1u;
        if ((m_bmAttributes & 3) == 1) maxPacket *= (m_ssAttributes & 3) + 1u;
    }
    // The field is 16 bits wide; a nonsense descriptor must not wrap it.
    m_maxPacketSize = static_cast<uint16_t>(std::min<uint32_t>(maxPacket, 0xFFFF));
    m_in = (m_bEndpointAddress & 0x80) != 0;
}

std::unique_ptr<DriverTransferBlock> CCyUSBEndPoint::Issue(uint32_t code, std::unique_ptr<DriverTransferBlock> block,
                                                           void* output, uint32_t outputSize,
                                                           DriverOverlapped* overlapped) {
    uint32_t bytes = 0;
    m_lastError = m_handle->ioControl(code, block->bytes(), static_cast<uint32_t>(block->size()), output, outputSize,
                                      bytes, overlapped);
    m_usbdStatus = block->usbdStatus();
    m_ntStatus = block->ntStatus();
    return block;
}

std::unique_ptr<DriverTransferBlock> CCyUSBEndPoint::StartDirectTransfer(uint8_t* buffer, int32_t length,
                                                                         DriverOverlapped* overlapped) {
    if (!m_handle || length < 0 || (length > 0 && !buffer)) return nullptr;
    auto block = std::make_unique<DriverTransferBlock>();
    block->setEndpointAddress(m_bEndpointAddress);
    block->setBuffer(0, 0);
    return Issue(DriverIoControl::kDirectTransfer, std::move(block), buffer, static_cast<uint32_t>(length), overlapped);
}

std::unique_ptr<DriverTransferBlock> CCyUSBEndPoint::StartBufferedTransfer(uint8_t* buffer, int32_t length,
                                                                           DriverOverlapped* overlapped) {
    if (!m_handle || length < 0 || (length > 0 && !buffer)) return nullptr;
    const auto n = static_cast<uint32_t>(length);
    auto block = std::make_unique<DriverTransferBlock>(n);
    block->setEndpointAddress(m_bEndpointAddress);
    block->setBuffer(DriverTransferBlock::kHeaderSize, n);
    if (n) std::memcpy(block->bytes() + DriverTransferBlock::kHeaderSize, buffer, n);
    uint8_t* bytes = block->bytes();
    const auto size = static_cast<uint32_t>(block->size());
    return Issue(DriverIoControl::kBufferedTransfer, std::move(block), bytes, size, overlapped);
}

std::unique_ptr<DriverTransferBlock> CCyUSBEndPoint::StartIsochronous(uint8_t* buffer, int32_t length,
                                                                      DriverOverlapped* overlapped, bool buffered) {
    if (!m_handle || length < 0 || (length > 0 && !buffer) || m_maxPacketSize == 0) return nullptr;
    const auto n = static_cast<uint32_t>(length);
    const uint32_t packets = (n + m_maxPacketSize - 1) / m_maxPacketSize;
    if (packets == 0) return nullptr;
    const uint32_t table = 8 * packets;
    auto block = std::make_unique<DriverTransferBlock>(table + (buffered ? n : 0));
    block->setEndpointAddress(m_bEndpointAddress);
    block->setPacketTable(DriverTransferBlock::kHeaderSize, table);
    if (!buffered) {
        block->setBuffer(0, 0);
        return Issue(DriverIoControl::kDirectTransfer, std::move(block), buffer, n, overlapped);
    }
    const uint32_t dataAt = static_cast<uint32_t>(DriverTransferBlock::kHeaderSize) + table;
    block->setBuffer(dataAt, n);
    std::memcpy(block->bytes() + dataAt, buffer, n);
    uint8_t* bytes = block->bytes();
    const auto size = static_cast<uint32_t>(block->size());
    return Issue(DriverIoControl::kBufferedTransfer, std::move(block), bytes, size, overlapped);
}

std::unique_ptr<DriverTransferBlock> CCyUSBEndPoint::StartInTransferMode(uint8_t* buffer, int32_t length,
                                                                         DriverOverlapped* overlapped) {
    return m_mode == CCyTransferMode::Direct ? StartDirectTransfer(buffer, length, overlapped)
                                             : StartBufferedTransfer(buffer, length, overlapped);
}

bool CCyUSBEndPoint::CompleteTransfer(uint8_t* buffer, int32_t& length, DriverOverlapped* overlapped,
                                      std::unique_ptr<DriverTransferBlock> block, uint8_t* packetRecords) {
    if (!block) return false;
    const uint32_t room = length > 0 ? static_cast<uint32_t>(length) : 0;
    uint32_t bytes = 0;
    uint32_t result = EBADF;
    if (m_handle && overlapped) result = m_handle->overlappedResult(*overlapped, bytes);
    // The driver counts the bytes before the data area too.
    const uint32_t moved = bytes > block->bufferOffset() ? bytes - block->bufferOffset() : 0;
    m_bytesTransferred = moved;
    length = static_cast<int32_t>(moved);
    m_usbdStatus = block->usbdStatus();
    m_ntStatus = block->ntStatus();
    if (m_in && m_mode == CCyTransferMode::Buffered && moved > 0 && buffer) {
        // Never more than the caller's buffer holds or the block carries.
        const uint64_t available = block->size() > block->bufferOffset() ? block->size() - block->bufferOffset() : 0;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>({moved, room, available}));
        std::memcpy(buffer, block->bytes() + block->bufferOffset(), n);
    }
    if (packetRecords && moved > 0) {
        const uint64_t offset = block->packetTableOffset();
        const uint64_t tableLength = block->packetTableLength();
        if (offset + tableLength <= block->size()) {
            std::memset(packetRecords, 0, tableLength);
            std::memcpy(packetRecords, block->bytes() + offset, tableLength);
        }
    }
    if (result != 0) m_lastError = result;
    return result == 0 && m_usbdStatus == 0 && m_ntStatus == 0;
}

bool CCyUSBEndPoint::Transfer(uint8_t* buffer, int32_t& length, uint8_t* packetRecords) {
    DriverOverlapped overlapped;
    auto block = StartTransfer(buffer, length, &overlapped);
    const bool waited = block && AwaitTransfer(overlapped);
    const bool completed = CompleteTransfer(buffer, length, &overlapped, std::move(block), packetRecords);
    return waited && completed;
}

bool CCyUSBEndPoint::AwaitTransfer(DriverOverlapped& overlapped) {
    const uint32_t started = m_lastError;
    if (started == 0) return true;
    if (started != kIoPending || !m_handle) return false;
    const uint32_t waited = m_handle->wait(overlapped, m_timeout);
    if (waited == 0) return true;
    if (waited != ETIMEDOUT) {
        m_lastError = waited;
        return false;
    }
    m_lastError = ETIMEDOUT;
    AbortPipe();
    if (m_handle->wait(overlapped, kAbortGraceMs) != 0) {
        AbortPipe();
        m_handle->wait(overlapped, kLastAbortWaitMs);
    }
    return false;
}

bool CCyUSBEndPoint::AbortPipe() {
    if (!m_handle) return true;
    DriverOverlapped overlapped;
    uint32_t bytes = 0;
    const uint8_t address = m_bEndpointAddress;
    if (m_handle->ioControl(DriverIoControl::kAbortPipe, &address, 1, nullptr, 0, bytes, &overlapped) == kIoPending)
        m_handle->wait(overlapped, kLastAbortWaitMs);
    return true;
}
