#pragma once
// The device side of the emulated bus. A model answers transfers as the
// device would; the bus (EmulatedUsbBus) carries them from the host's
// usbdevfs calls. StandardUsbDevice answers the standard requests from its
// descriptors, applies injected faults, keeps the transfer log and the
// modelled time, and leaves class, vendor and endpoint traffic to subclasses.

#include "sim/FaultPlan.h"
#include "sim/TimingModel.h"
#include "sim/UsbDescriptors.h"
#include "sim/UsbTransfer.h"

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace tyvo::sim {

class UsbDeviceModel;

// What a plugged device may ask of its bus. Calls return at once; the bus
// carries them out on its own thread once the current transfer is answered.
class BusAttachment {
public:
    virtual ~BusAttachment() = default;
    virtual std::string portChain() const = 0;
    // The device drops off the bus.
    virtual void leaveBus() = 0;
    // The device drops off and, after the delay, a device comes up on the
    // same port with the given model (how a chip restarting into another
    // program re-enumerates).
    virtual void reenumerate(std::shared_ptr<UsbDeviceModel> next, std::chrono::milliseconds delay) = 0;
};

// What a model may add beside its USB device while the bus shows it: child
// devices in sysfs with device nodes of their own (a camera's video node
// below its Video-class interface). Valid only during the call it is passed
// to.
class SysfsChildSink {
public:
    virtual ~SysfsChildSink() = default;
    virtual UMockdevTestbed* testbed() const = 0;
    // Attaches an ioctl handler to a device node; the bus takes over the
    // reference and keeps the handler attached until the bus goes, as it
    // does with its own (a client may hold the node open after an unplug).
    virtual void attachIoctl(const std::string& devNode, UMockdevIoctlBase* handler) = 0;
};

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;
    virtual std::string name() const = 0;
    virtual DeviceDescriptors descriptors() const = 0;
    // Called on the emulation thread, one transfer at a time per device.
    virtual TransferReply transfer(const TransferRequest& request) = 0;
    virtual void attached(std::shared_ptr<BusAttachment> attachment) = 0;
    virtual void detached() = 0;
    // Called with the bus's lock held once the device is in sysfs at
    // sysfsPath ("/sys/devices/..."), and before it leaves sysfs (also when
    // the bus goes): a model adds and removes its child devices here.
    virtual void publishChildren(SysfsChildSink&, const std::string& /*sysfsPath*/) {}
    virtual void withdrawChildren(SysfsChildSink&, const std::string& /*sysfsPath*/) {}
};

struct TransferRecord {
    TransferType type = TransferType::Control;
    uint8_t endpoint = 0;
    SetupPacket setup;
    Bytes data;  // host-to-device data, or the device-to-host data sent
    TransferStatus status = TransferStatus::Completed;
    std::optional<FaultKind> fault;
};

class StandardUsbDevice : public UsbDeviceModel {
public:
    StandardUsbDevice(std::string name, DeviceDescriptors descriptors);

    std::string name() const override;
    DeviceDescriptors descriptors() const override;
    TransferReply transfer(const TransferRequest& request) final;
    void attached(std::shared_ptr<BusAttachment> attachment) override;
    void detached() override;

    void injectFault(FaultRule rule);
    void clearFaults();
    void setTiming(TimingModel timing);

    // Inspection, from any thread.
    std::vector<TransferRecord> transferLog() const;
    std::vector<TransferRecord> vendorRequests() const;  // control transfers of type vendor
    std::size_t transferCount() const;
    std::chrono::nanoseconds modelledTime() const;
    bool isAttached() const;
    uint8_t alternateSetting(uint8_t interfaceNumber) const;

protected:
    // Handlers run with m_stateLock held.
    virtual TransferReply classRequest(const SetupPacket& setup, const Bytes& out);
    virtual TransferReply vendorRequest(const SetupPacket& setup, const Bytes& out);
    virtual TransferReply endpointTransfer(const TransferRequest& request);
    // Told the modelled time of every transfer (with m_stateLock held).
    virtual void accounted(std::chrono::nanoseconds) {}

    // For handlers: the attachment of the current plug, or null.
    std::shared_ptr<BusAttachment> attachmentLocked() const { return m_attachment; }
    const TimingModel& timingLocked() const { return m_timing; }
    uint16_t maxPacket0Locked() const;

    mutable std::mutex m_stateLock;

private:
    TransferReply standardRequest(const SetupPacket& setup, const Bytes& out);
    TransferReply dispatch(const TransferRequest& request);
    TransferReply applyFault(FaultKind kind, const TransferRequest& request);

    std::string m_name;
    DeviceDescriptors m_descriptors;
    FaultPlan m_faults;
    TimingModel m_timing;
    std::vector<TransferRecord> m_log;
    std::chrono::nanoseconds m_modelled{0};
    std::shared_ptr<BusAttachment> m_attachment;
    std::map<uint8_t, uint8_t> m_alternates;
    uint32_t m_noise = 0x2545F491;
};

}  // namespace tyvo::sim
