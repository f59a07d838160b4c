#pragma once
// A second transport for the device models: instead of the emulated bus
// under umockdev, the kernel's own USB gadget side. The model's interface is
// a FunctionFS function of a configfs gadget; the kernel (dummy_hcd in the
// test machine) carries the host's control requests to ep0, where this bus
// hands them to UsbDeviceModel::transfer and answers with what the model
// says. What a model asks of its bus maps onto the gadget: leaving the bus
// unbinds the device controller, re-enumerating unbinds, takes the next
// model's identity and binds again after the delay.
//
// Single-threaded: the owner polls ep0Fd() and calls serveEp0() when it is
// readable, and calls tick() at nextDeadline(). The kernel answers the
// standard requests itself, so models see only class and vendor requests.

#include "sim/UsbDeviceModel.h"
#include "sim/gadget/ConfigfsGadget.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace tyvo::sim::gadget {

struct FunctionFsBusOptions {
    std::filesystem::path configfsRoot = "/sys/kernel/config/usb_gadget";
    std::string gadgetName = "tyvo";
    // Empty: the first device controller the kernel offers.
    std::string udc;
    std::filesystem::path mountPoint = "/dev/ffs-tyvo";
    // Off the bus at least this long when re-enumerating: the host's hub
    // driver polls the port, and a device that is back before it looked is
    // never seen to leave.
    std::chrono::milliseconds minimumTimeOff{100};
    // Every event and request told on standard error.
    bool verbose = false;
};

// One answered request, for whoever measures the traffic.
struct Ep0Exchange {
    SetupPacket setup;
    TransferStatus status = TransferStatus::Completed;
    std::size_t bytes = 0;  // the data stage, either way
    std::chrono::steady_clock::time_point answered;
};

class FunctionFsBus {
public:
    using Clock = std::chrono::steady_clock;

    // Makes the gadget and the function with the identity and interfaces of
    // shape (the first model to be plugged), mounts FunctionFS and writes
    // the function's descriptors: the device is then ready, off the bus.
    // Throws std::runtime_error when the kernel refuses.
    FunctionFsBus(FunctionFsBusOptions options, const DeviceDescriptors& shape);
    // Off the bus, and everything made undone.
    ~FunctionFsBus();
    FunctionFsBus(const FunctionFsBus&) = delete;
    FunctionFsBus& operator=(const FunctionFsBus&) = delete;

    // Binds the device with model's identity; a plugged device is unplugged
    // first.
    void plug(std::shared_ptr<UsbDeviceModel> model);
    void unplug();
    bool plugged() const { return m_model != nullptr; }
    // A re-enumeration under way: the device is off the bus and comes back.
    bool reenumerating() const { return m_next != nullptr; }

    int ep0Fd() const { return m_ep0; }
    // Reads the pending events on ep0 and answers the requests among them.
    void serveEp0();
    // When tick() is due next (a device coming back on the bus), if ever.
    std::optional<Clock::time_point> nextDeadline() const;
    void tick();

    void onExchange(std::function<void(const Ep0Exchange&)> observer) { m_observer = std::move(observer); }

private:
    class Attachment;
    struct Pending {
        bool leave = false;
        std::shared_ptr<UsbDeviceModel> next;
        std::chrono::milliseconds delay{0};
    };

    void serveSetup(const SetupPacket& setup);
    void carryOutPending();
    void tell(const std::string& text) const;

    FunctionFsBusOptions m_options;
    ConfigfsGadget m_gadget;
    std::string m_udc;
    Bytes m_descriptorBlock;
    bool m_mounted = false;
    int m_ep0 = -1;
    std::shared_ptr<UsbDeviceModel> m_model;
    std::shared_ptr<Attachment> m_attachment;
    std::optional<Pending> m_pending;
    std::shared_ptr<UsbDeviceModel> m_next;
    Clock::time_point m_nextAt;
    std::function<void(const Ep0Exchange&)> m_observer;
};

}  // namespace tyvo::sim::gadget
