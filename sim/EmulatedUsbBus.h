#pragma once
// An emulated USB bus under umockdev: device models are plugged into ports,
// appear in the fake sysfs and /dev with the udev events that libusb's
// hot-plug follows, and leave or re-enumerate as a real device would. The
// process that owns the bus must run under umockdev-wrapper.
//
// Before the code under test calls libusb_exit, stop the bus's timers
// (stopTimers) or let them run out (waitIdle): umockdev 0.17 aborts when a
// listener goes away while an event is being sent to it.

#include "sim/UsbDeviceModel.h"
#include "sim/UsbdevfsNode.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tyvo::sim {

struct BusOptions {
    uint8_t busNumber = 1;
    // How long an idle REAP waits before answering EAGAIN (see UsbdevfsNode).
    std::chrono::microseconds reapPacing{1000};
};

struct PluggedDevice {
    std::string portChain;  // "1-2", "1-2.3"
    uint8_t busNumber = 0;
    uint8_t deviceNumber = 0;
    std::string devNode;    // /dev/bus/usb/001/002
    std::string sysfsPath;  // /sys/devices/...
    std::shared_ptr<UsbDeviceModel> model;
};

struct BusEvent {
    enum class Kind { Plugged, Unplugged } kind;
    std::string portChain;
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::chrono::steady_clock::time_point when;
};

class EmulatedUsbBus {
public:
    explicit EmulatedUsbBus(BusOptions options = {});
    ~EmulatedUsbBus();
    EmulatedUsbBus(const EmulatedUsbBus&) = delete;
    EmulatedUsbBus& operator=(const EmulatedUsbBus&) = delete;

    // Plugs a model into a port (the next free "B-N" when none is given) and
    // returns the port chain; a null model plugs nothing and returns "".
    // Throws std::runtime_error when the port is taken or umockdev refuses.
    std::string plug(const std::shared_ptr<UsbDeviceModel>& model, std::string portChain = {});
    // False when nothing is plugged there.
    bool unplug(const std::string& portChain);

    // Scheduled changes, carried out on the bus's own thread.
    void plugAfter(std::chrono::milliseconds delay, std::shared_ptr<UsbDeviceModel> model, std::string portChain);
    void unplugAfter(std::chrono::milliseconds delay, std::string portChain);
    void runAfter(std::chrono::milliseconds delay, std::function<void(EmulatedUsbBus&)> action);
    // Drops every scheduled change not yet carried out.
    void stopTimers();
    // Waits until no scheduled change remains; false on time-out.
    bool waitIdle(std::chrono::milliseconds timeout);

    std::vector<PluggedDevice> devices() const;
    std::shared_ptr<UsbDeviceModel> modelAt(const std::string& portChain) const;
    // Statistics of the node currently at the port (zero when none).
    NodeStats nodeStats(const std::string& portChain) const;
    std::vector<BusEvent> history() const;
    // Waits until a device with this product id is plugged; false on time-out.
    bool waitForProduct(uint16_t productId, std::chrono::milliseconds timeout) const;

    struct Core;

private:
    std::shared_ptr<Core> m_core;
};

}  // namespace tyvo::sim
