#pragma once

#include <cstdint>

#include "devices/core/IdentifiableDevice.h"

// The setup class a device is found in.
enum DeviceKind : uint32_t {
    kImageClassDevice = 0,  // has a Video-class interface
    kUsbClassDevice = 1,    // any other USB device
};

// One supported USB identity.
class IdentifiableDeviceType {
public:
    IdentifiableDeviceType(uint32_t kind_, uint32_t vendorId_, uint32_t productId_)
        : kind(kind_), vendorId(vendorId_), productId(productId_) {}
    virtual ~IdentifiableDeviceType() = default;

    bool Matches(uint32_t kind_, uint32_t vendorId_, uint32_t productId_) const {
        return kind == kind_ && vendorId == vendorId_ && productId == productId_;
    }

    uint32_t kind;
    uint32_t vendorId;
    uint32_t productId;
};

// A supported identity and the device class to build for it.
class DeviceModelBase : public IdentifiableDeviceType {
public:
    using IdentifiableDeviceType::IdentifiableDeviceType;

    // Builds a new device object; the caller owns it. The constructor may
    // throw (a restore stage always ends by throwing or by ending the
    // process).
    virtual IdentifiableDevice* Create() const = 0;
};

template <class T>
class DeviceModel : public DeviceModelBase {
public:
    using DeviceModelBase::DeviceModelBase;

    IdentifiableDevice* Create() const override { return new T(); }
};
