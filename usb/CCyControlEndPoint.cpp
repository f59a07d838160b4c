#include "usb/CCyControlEndPoint.h"

#include <cstring>

CCyControlEndPoint::CCyControlEndPoint(DriverHandle* handle, const uint8_t* endpointDescriptor)
    : CCyUSBEndPoint(handle, endpointDescriptor) {
    // Control data always travels in the block.
    m_mode = CCyTransferMode::Buffered;
}

uint8_t CCyControlEndPoint::RequestTypeByte() const {
    return static_cast<uint8_t>(static_cast<uint32_t>(m_direction) * 128 + (static_cast<uint32_t>(m_reqType) & 3) * 32 +
                                (static_cast<uint32_t>(m_target) & 0x1F));
}

uint32_t CCyControlEndPoint::BlockTimeoutSeconds() const {
    if (m_timeout > 0 && m_timeout < 1000) return 1;
    return m_timeout / 1000;
}

std::unique_ptr<DriverTransferBlock> CCyControlEndPoint::StartTransfer(uint8_t* buffer, int32_t length,
                                                                       DriverOverlapped* overlapped) {
    if (!m_handle || length < 0 || (length > 0 && !buffer)) return nullptr;
    m_in = m_direction == CCyDirection::DeviceToHost;
    const auto n = static_cast<uint32_t>(length);
    auto block = std::make_unique<DriverTransferBlock>(n);
    block->setRequestType(RequestTypeByte());
    block->setRequest(m_reqCode);
    block->setValue(m_value);
    block->setIndex(m_index);
    block->setLength(static_cast<uint16_t>(n));
    block->setTimeoutSeconds(BlockTimeoutSeconds());
    block->setEndpointAddress(0);
    block->setPacketTable(0, 0);
    block->setBuffer(DriverTransferBlock::kHeaderSize, n);
    if (n) std::memcpy(block->bytes() + DriverTransferBlock::kHeaderSize, buffer, n);
    uint8_t* bytes = block->bytes();
    const auto size = static_cast<uint32_t>(block->size());
    return Issue(DriverIoControl::kEndpointZeroTransfer, std::move(block), bytes, size, overlapped);
}
