#pragma once
// A device model wrapped so that the host gets hold of the model the device
// re-enumerates as (an FX3 restarting into the boot programmer) before that
// model reaches the bus: faults can then be set up on it without racing the
// program under test.

#include "sim/UsbDeviceModel.h"

#include <functional>
#include <memory>

namespace tyvo::sim::host {

class ReenumerationHook : public UsbDeviceModel {
public:
    using Hook = std::function<void(const std::shared_ptr<UsbDeviceModel>& next)>;

    ReenumerationHook(std::shared_ptr<UsbDeviceModel> inner, Hook hook);

    std::string name() const override;
    DeviceDescriptors descriptors() const override;
    TransferReply transfer(const TransferRequest& request) override;
    void attached(std::shared_ptr<BusAttachment> attachment) override;
    void detached() override;
    void publishChildren(SysfsChildSink& sink, const std::string& sysfsPath) override;
    void withdrawChildren(SysfsChildSink& sink, const std::string& sysfsPath) override;

private:
    std::shared_ptr<UsbDeviceModel> m_inner;
    Hook m_hook;
};

}  // namespace tyvo::sim::host
