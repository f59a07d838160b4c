#pragma once
// An endpoint of the current interface setting and its transfers in the
// driver's overlapped shape: start (returns the request block), await with
// the endpoint's time-out (aborting the pipe when it runs out), complete.
// One thread at a time uses an endpoint.

#include "usb/DriverHandle.h"
#include "usb/DriverTransferBlock.h"

#include <cstdint>
#include <memory>

enum class CCyTransferMode : uint32_t { Buffered = 0, Direct = 1 };

class CCyUSBEndPoint {
public:
    static constexpr uint32_t kDefaultTimeoutMs = 10000;

    // From a 7-byte endpoint descriptor and, when one follows it, a 6-byte
    // SuperSpeed endpoint companion (either may be null).
    CCyUSBEndPoint(DriverHandle* handle, const uint8_t* endpointDescriptor,
                   const uint8_t* companionDescriptor = nullptr);
    virtual ~CCyUSBEndPoint() = default;
    CCyUSBEndPoint(const CCyUSBEndPoint&) = delete;
    CCyUSBEndPoint& operator=(const CCyUSBEndPoint&) = delete;

    virtual std::unique_ptr<DriverTransferBlock> StartDirectTransfer(uint8_t* buffer, int32_t length,
                                                                     DriverOverlapped* overlapped);
    virtual std::unique_ptr<DriverTransferBlock> StartBufferedTransfer(uint8_t* buffer, int32_t length,
                                                                       DriverOverlapped* overlapped);
    virtual std::unique_ptr<DriverTransferBlock> StartTransfer(uint8_t* buffer, int32_t length,
                                                               DriverOverlapped* overlapped) = 0;
    // Collects a finished transfer; length is in/out (the buffer's size in,
    // the bytes moved out). Releases the block.
    virtual bool CompleteTransfer(uint8_t* buffer, int32_t& length, DriverOverlapped* overlapped,
                                  std::unique_ptr<DriverTransferBlock> block, uint8_t* packetRecords = nullptr);

    // Synchronous transfer: start, await, complete.
    bool Transfer(uint8_t* buffer, int32_t& length, uint8_t* packetRecords = nullptr);
    bool AwaitTransfer(DriverOverlapped& overlapped);
    bool AbortPipe();

    DriverHandle* Handle() const { return m_handle; }
    uint8_t DscLength() const { return m_bLength; }
    uint8_t DscType() const { return m_bDescriptorType; }
    uint8_t Address() const { return m_bEndpointAddress; }
    uint8_t Attributes() const { return m_bmAttributes; }
    uint16_t MaxPacketSize() const { return m_maxPacketSize; }
    uint16_t Multiplier() const { return m_multiplier; }
    uint8_t Interval() const { return m_bInterval; }
    uint8_t CompanionLength() const { return m_ssLength; }
    uint8_t CompanionType() const { return m_ssDescriptorType; }
    uint8_t MaxBurst() const { return m_ssMaxBurst; }
    uint8_t CompanionAttributes() const { return m_ssAttributes; }
    uint16_t BytesPerInterval() const { return m_ssBytesPerInterval; }

    uint32_t TimeOut() const { return m_timeout; }
    void SetTimeOut(uint32_t milliseconds) { m_timeout = milliseconds; }
    uint32_t UsbdStatus() const { return m_usbdStatus; }
    uint32_t NtStatus() const { return m_ntStatus; }
    uint32_t BytesTransferred() const { return m_bytesTransferred; }
    uint32_t LastError() const { return m_lastError; }
    bool IsIn() const { return m_in; }
    CCyTransferMode TransferMode() const { return m_mode; }
    void SetTransferMode(CCyTransferMode mode) { m_mode = mode; }
    // Transfer type from bmAttributes: 0 control, 1 isochronous, 2 bulk, 3 interrupt.
    uint8_t TransferType() const { return m_bmAttributes & 3; }

    // Endpoints of the device's tree drop their handle when the device closes.
    void Detach() { m_handle = nullptr; }

protected:
    // Starts a request the driver carries in the block: records the start's
    // result as the last error and copies the block's statuses.
    std::unique_ptr<DriverTransferBlock> Issue(uint32_t code, std::unique_ptr<DriverTransferBlock> block, void* output,
                                               uint32_t outputSize, DriverOverlapped* overlapped);
    // The direct or the buffered start, as the transfer mode says.
    std::unique_ptr<DriverTransferBlock> StartInTransferMode(uint8_t* buffer, int32_t length,
                                                             DriverOverlapped* overlapped);
    std::unique_ptr<DriverTransferBlock> StartIsochronous(uint8_t* buffer, int32_t length, DriverOverlapped* overlapped,
                                                          bool buffered);

    DriverHandle* m_handle;
    uint8_t m_bLength = 0;
    uint8_t m_bDescriptorType = 0;
    uint8_t m_bEndpointAddress = 0;
    uint8_t m_bmAttributes = 0;
    uint16_t m_maxPacketSize = 0;
    uint16_t m_multiplier = 0;
    uint8_t m_bInterval = 0;
    uint8_t m_ssLength = 0;
    uint8_t m_ssDescriptorType = 0;
    uint8_t m_ssMaxBurst = 0;
    uint8_t m_ssAttributes = 0;
    uint16_t m_ssBytesPerInterval = 0;

    uint32_t m_timeout = kDefaultTimeoutMs;
    uint32_t m_usbdStatus = 0;
    uint32_t m_ntStatus = 0;
    uint32_t m_bytesTransferred = 0;
    uint32_t m_lastError = 0;
    bool m_in = false;
    CCyTransferMode m_mode = CCyTransferMode::Direct;
};
