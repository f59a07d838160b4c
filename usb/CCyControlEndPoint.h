#pragma once
// Endpoint zero: every transfer is a control request carried whole in the
// request block (set-up fields, then the data area).

#include "usb/CCyUSBEndPoint.h"

enum class CCyTarget : uint32_t { Device = 0, Interface = 1, Endpoint = 2, Other = 3 };
enum class CCyRequestType : uint32_t { Standard = 0, Class = 1, Vendor = 2 };
enum class CCyDirection : uint32_t { HostToDevice = 0, DeviceToHost = 1 };

class CCyControlEndPoint : public CCyUSBEndPoint {
public:
    CCyControlEndPoint(DriverHandle* handle, const uint8_t* endpointDescriptor);

    std::unique_ptr<DriverTransferBlock> StartTransfer(uint8_t* buffer, int32_t length,
                                                       DriverOverlapped* overlapped) override;

    CCyTarget Target() const { return m_target; }
    CCyRequestType ReqType() const { return m_reqType; }
    CCyDirection Direction() const { return m_direction; }
    uint8_t ReqCode() const { return m_reqCode; }
    uint16_t Value() const { return m_value; }
    uint16_t Index() const { return m_index; }
    void SetTarget(CCyTarget target) { m_target = target; }
    void SetReqType(CCyRequestType type) { m_reqType = type; }
    void SetDirection(CCyDirection direction) { m_direction = direction; }
    void SetReqCode(uint8_t code) { m_reqCode = code; }
    void SetValue(uint16_t value) { m_value = value; }
    void SetIndex(uint16_t index) { m_index = index; }

    // bmRequestType from target, request type and direction.
    uint8_t RequestTypeByte() const;
    // The time-out the driver gets in the block: whole seconds, at least one
    // for any non-zero endpoint time-out.
    uint32_t BlockTimeoutSeconds() const;

private:
    CCyTarget m_target = CCyTarget::Device;
    CCyRequestType m_reqType = CCyRequestType::Vendor;
    CCyDirection m_direction = CCyDirection::HostToDevice;
    uint8_t m_reqCode = 0;
    uint16_t m_value = 0;
    uint16_t m_index = 0;
};
