#pragma once
// The 38-byte request block that every transfer carries to the driver port,
// little-endian at fixed offsets, followed by the data area (and, for
// isochronous transfers, the packet table) when those travel in the block.

#include <cstddef>
#include <cstdint>
#include <vector>

// USBD and NT status values the driver port writes back into a block.
namespace DriverStatus {
inline constexpr uint32_t kSuccess = 0;
inline constexpr uint32_t kUsbdStallPid = 0xC0000004;
inline constexpr uint32_t kUsbdDevNotResponding = 0xC0000005;
inline constexpr uint32_t kUsbdBufferOverrun = 0xC000000C;
inline constexpr uint32_t kUsbdTimeout = 0xC0006000;
inline constexpr uint32_t kUsbdDeviceGone = 0xC0007000;
inline constexpr uint32_t kUsbdCanceled = 0xC0010000;
inline constexpr uint32_t kNtUnsuccessful = 0xC0000001;
inline constexpr uint32_t kNtNoSuchDevice = 0xC000000E;
inline constexpr uint32_t kNtDeviceDataError = 0xC000009C;
inline constexpr uint32_t kNtIoTimeout = 0xC00000B5;
inline constexpr uint32_t kNtCancelled = 0xC0000120;
}  // namespace DriverStatus

class DriverTransferBlock {
public:
    static constexpr std::size_t kHeaderSize = 38;

    // Offsets of the fields.
    static constexpr std::size_t kRequestType = 0;
    static constexpr std::size_t kRequest = 1;
    static constexpr std::size_t kValue = 2;
    static constexpr std::size_t kIndex = 4;
    static constexpr std::size_t kLength = 6;
    static constexpr std::size_t kTimeout = 8;
    static constexpr std::size_t kReserved = 12;
    static constexpr std::size_t kEndpointAddress = 13;
    static constexpr std::size_t kNtStatus = 14;
    static constexpr std::size_t kUsbdStatus = 18;
    static constexpr std::size_t kPacketTableOffset = 22;
    static constexpr std::size_t kPacketTableLength = 26;
    static constexpr std::size_t kBufferOffset = 30;
    static constexpr std::size_t kBufferLength = 34;

    // A zeroed block with this many bytes after the header.
    explicit DriverTransferBlock(std::size_t trailingBytes = 0);

    uint8_t* bytes() { return m_bytes.data(); }
    const uint8_t* bytes() const { return m_bytes.data(); }
    std::size_t size() const { return m_bytes.size(); }

    uint8_t requestType() const { return m_bytes[kRequestType]; }
    uint8_t request() const { return m_bytes[kRequest]; }
    uint16_t value() const { return get16(kValue); }
    uint16_t index() const { return get16(kIndex); }
    uint16_t length() const { return get16(kLength); }
    uint32_t timeoutSeconds() const { return get32(kTimeout); }
    uint8_t endpointAddress() const { return m_bytes[kEndpointAddress]; }
    uint32_t ntStatus() const { return get32(kNtStatus); }
    uint32_t usbdStatus() const { return get32(kUsbdStatus); }
    uint32_t packetTableOffset() const { return get32(kPacketTableOffset); }
    uint32_t packetTableLength() const { return get32(kPacketTableLength); }
    uint32_t bufferOffset() const { return get32(kBufferOffset); }
    uint32_t bufferLength() const { return get32(kBufferLength); }

    void setRequestType(uint8_t v) { m_bytes[kRequestType] = v; }
    void setRequest(uint8_t v) { m_bytes[kRequest] = v; }
    void setValue(uint16_t v) { put16(kValue, v); }
    void setIndex(uint16_t v) { put16(kIndex, v); }
    void setLength(uint16_t v) { put16(kLength, v); }
    void setTimeoutSeconds(uint32_t v) { put32(kTimeout, v); }
    void setEndpointAddress(uint8_t v) { m_bytes[kEndpointAddress] = v; }
    void setNtStatus(uint32_t v) { put32(kNtStatus, v); }
    void setUsbdStatus(uint32_t v) { put32(kUsbdStatus, v); }
    void setPacketTable(uint32_t offset, uint32_t length) {
        put32(kPacketTableOffset, offset);
        put32(kPacketTableLength, length);
    }
    void setBuffer(uint32_t offset, uint32_t length) {
        put32(kBufferOffset, offset);
        put32(kBufferLength, length);
    }

    // Little-endian access to any block in memory (the driver port works on
    // caller-owned bytes).
    static uint16_t read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
    static uint32_t read32(const uint8_t* p) {
        return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
               static_cast<uint32_t>(p[3]) << 24;
    }
    static void write16(uint8_t* p, uint16_t v) {
        p[0] = static_cast<uint8_t>(v);
        p[1] = static_cast<uint8_t>(v >> 8);
    }
    static void write32(uint8_t* p, uint32_t v) {
        for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
    }

private:
    uint16_t get16(std::size_t at) const { return read16(&m_bytes[at]); }
    uint32_t get32(std::size_t at) const { return read32(&m_bytes[at]); }
    void put16(std::size_t at, uint16_t v) { write16(&m_bytes[at], v); }
    void put32(std::size_t at, uint32_t v) { write32(&m_bytes[at], v); }

    std::vector<uint8_t> m_bytes;
};
