#pragma once

#include <memory>
#include <string>

#include "context/ContextMember.h"
#include "devices/core/DeviceModel.h"

// Stands for one attached controller before and while its device object
// exists: it carries the device name (the device path the attach monitor
// built) and the device model that recognised it. The capture layer finds the
// camera by asking the factory of its context for the name.
class TyvoCameraFactory : public ContextMember {
public:
    TyvoCameraFactory() : ContextMember("Tyvo Device") {}

    virtual bool lessThan(const TyvoCameraFactory& other) const = 0;

    // Neither orders before the other.
    virtual bool sameCamera(const TyvoCameraFactory& other) const { return !lessThan(other) && !other.lessThan(*this); }

    virtual std::shared_ptr<DeviceModelBase> deviceModel() const = 0;

    // The device name as the attach monitor built it (lower case, '#' for
    // every backslash of the instance identifier).
    virtual const std::wstring& deviceName() const = 0;
};

template <class Name>
class DefaultCameraFactory : public TyvoCameraFactory {
public:
    DefaultCameraFactory(Name name, std::shared_ptr<DeviceModelBase> model)
        : m_name(std::move(name)), m_model(std::move(model)) {}

    // Plain lexicographic comparison of the names.
    bool lessThan(const TyvoCameraFactory& other) const override { return m_name < other.deviceName(); }

    std::shared_ptr<DeviceModelBase> deviceModel() const override { return m_model; }

    const std::wstring& deviceName() const override { return m_name; }

private:
    Name m_name;
    std::shared_ptr<DeviceModelBase> m_model;
};

using DeviceCameraFactory = DefaultCameraFactory<std::wstring>;
