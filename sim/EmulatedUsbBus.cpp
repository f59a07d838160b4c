#include "sim/EmulatedUsbBus.h"

#include <umockdev.h>

#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace tyvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

// sysfs places emulated devices below a made-up host controller; there is no
// root hub device, as on the machines this runs on.
constexpr const char* kControllerPath = "/devices/pci0000:00/0000:00:14.0";

std::string hex(const Bytes& bytes) {
    // umockdev's parser takes upper-case hexadecimal only.
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(bytes.size() * 2);
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

const char* speedText(UsbSpeed speed) {
    switch (speed) {
        case UsbSpeed::Low: return "1.5";
        case UsbSpeed::Full: return "12";
        case UsbSpeed::High: return "480";
        case UsbSpeed::Super: return "5000";
    }
    return "480";
}

uint8_t speedCode(UsbSpeed speed) {
    // Values of the kernel's enum usb_device_speed.
    switch (speed) {
        case UsbSpeed::Low: return 1;
        case UsbSpeed::Full: return 2;
        case UsbSpeed::High: return 3;
        case UsbSpeed::Super: return 5;
    }
    return 3;
}

// "1-2.3" -> ".../usb1/1-2/1-2.3"
std::string sysfsPathFor(uint8_t bus, const std::string& chain) {
    std::string path = kControllerPath;
    path.append("/usb").append(std::to_string(bus));
    std::string::size_type cut = chain.find('.');
    while (cut != std::string::npos) {
        path.append("/").append(chain, 0, cut);
        cut = chain.find('.', cut + 1);
    }
    path.append("/").append(chain);
    return path;
}

gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    (*static_cast<std::shared_ptr<UsbdevfsNode>*>(userData))->handleIoctl(client);
    return TRUE;
}

void releaseNode(gpointer userData, GClosure*) { delete static_cast<std::shared_ptr<UsbdevfsNode>*>(userData); }

}  // namespace

struct EmulatedUsbBus::Core : std::enable_shared_from_this<EmulatedUsbBus::Core> {
    struct Port {
        PluggedDevice device;
        std::shared_ptr<UsbdevfsNode> node;
        UMockdevIoctlBase* handler = nullptr;
        uint64_t generation = 0;
    };
    struct Handler {
        std::string devNode;
        UMockdevIoctlBase* handler;
    };

    // A device's view of its port; stale once the device has gone.
    class Attachment : public BusAttachment {
    public:
        Attachment(std::weak_ptr<Core> core, std::string chain, uint64_t generation)
            : m_core(std::move(core)), m_chain(std::move(chain)), m_generation(generation) {}
        std::string portChain() const override { return m_chain; }
        void leaveBus() override {
            if (auto core = m_core.lock())
                core->schedule(std::chrono::milliseconds(0),
                               [chain = m_chain, g = m_generation](Core& c) { c.unplugGeneration(chain, g); });
        }
        void reenumerate(std::shared_ptr<UsbDeviceModel> next, std::chrono::milliseconds delay) override {
            auto core = m_core.lock();
            if (!core) return;
            core->schedule(std::chrono::milliseconds(0),
                           [chain = m_chain, g = m_generation](Core& c) { c.unplugGeneration(chain, g); });
            core->schedule(delay, [chain = m_chain, next = std::move(next)](Core& c) { c.plug(next, chain); });
        }

    private:
        std::weak_ptr<Core> m_core;
        std::string m_chain;
        uint64_t m_generation;
    };

    // Lets models add child devices; used with m_busLock held.
    class ChildSink : public SysfsChildSink {
    public:
        explicit ChildSink(Core& core) : m_core(core) {}
        UMockdevTestbed* testbed() const override { return m_core.testbed; }
        void attachIoctl(const std::string& devNode, UMockdevIoctlBase* handler) override {
            GError* error = nullptr;
            if (!umockdev_testbed_attach_ioctl(m_core.testbed, devNode.c_str(), handler, &error)) {
                std::string why = error ? error->message : "attach failed";
                if (error) g_error_free(error);
                g_object_unref(handler);
                throw std::runtime_error("cannot emulate " + devNode + ": " + why);
            }
            m_core.handlers.push_back(Handler{devNode, handler});
        }

    private:
        Core& m_core;
    };

    BusOptions options;
    UMockdevTestbed* testbed = nullptr;

    mutable std::mutex m_busLock;  // ports, handlers, history, testbed calls
    mutable std::condition_variable m_busChanged;
    std::map<std::string, Port> ports;
    std::vector<Handler> handlers;  // every handler ever attached, kept until the end
    std::vector<BusEvent> events;
    uint8_t nextDeviceNumber = 2;  // 1 would be the root hub
    unsigned nextPort = 1;
    uint64_t nextGeneration = 1;

    std::mutex m_timerLock;  // scheduled actions
    std::condition_variable m_timerWake;
    std::multimap<Clock::time_point, std::function<void(Core&)>> timers;
    bool running = false;  // an action is being carried out
    bool stopping = false;
    std::thread timerThread;

    void schedule(std::chrono::milliseconds delay, std::function<void(Core&)> action) {
        std::lock_guard lock(m_timerLock);
        if (stopping) return;
        timers.emplace(Clock::now() + delay, std::move(action));
        m_timerWake.notify_all();
    }

    void timerLoop() {
        std::unique_lock lock(m_timerLock);
        while (!stopping) {
            if (timers.empty()) {
                m_timerWake.wait(lock);
                continue;
            }
            auto first = timers.begin();
            // A copy: the entry may be dropped (stopTimers) while we wait.
            const Clock::time_point due = first->first;
            if (due > Clock::now()) {
                m_timerWake.wait_until(lock, due);
                continue;
            }
            auto action = std::move(first->second);
            timers.erase(first);
            running = true;
            lock.unlock();
            try {
                action(*this);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "emulated bus: %s\n", e.what());
            }
            lock.lock();
            running = false;
            m_timerWake.notify_all();
        }
    }

    std::string plug(const std::shared_ptr<UsbDeviceModel>& model, std::string chain) {
        if (!model) return {};
        std::lock_guard lock(m_busLock);
        if (chain.empty()) {
            while (ports.count(std::to_string(options.busNumber) + "-" + std::to_string(nextPort))) ++nextPort;
            chain = std::to_string(options.busNumber) + "-" + std::to_string(nextPort);
        }
        if (ports.count(chain)) throw std::runtime_error("port " + chain + " is taken");

        const DeviceDescriptors d = model->descriptors();
        Port port;
        port.generation = nextGeneration++;
        port.device.portChain = chain;
        port.device.busNumber = options.busNumber;
        port.device.deviceNumber = nextDeviceNumber++;
        port.device.model = model;
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", port.device.busNumber, port.device.deviceNumber);
        port.device.devNode = node;
        port.device.sysfsPath = sysfsPathFor(options.busNumber, chain);
        port.node = std::make_shared<UsbdevfsNode>(model, speedCode(d.speed), options.reapPacing);

        // The handler's closure owns a reference to the node: umockdev may
        // still call it after the bus is gone.
        port.handler = umockdev_ioctl_base_new();
        g_signal_connect_data(port.handler, "handle-ioctl", G_CALLBACK(onIoctl),
                              new std::shared_ptr<UsbdevfsNode>(port.node), releaseNode, GConnectFlags(0));
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed, node, port.handler, &error)) {
            std::string why = error ? error->message : "attach failed";
            if (error) g_error_free(error);
            g_object_unref(port.handler);
            throw std::runtime_error("cannot emulate " + std::string(node) + ": " + why);
        }
        handlers.push_back(Handler{node, port.handler});

        model->attached(std::make_shared<Attachment>(weak_from_this(), chain, port.generation));

        char numbers[16];
        std::snprintf(numbers, sizeof numbers, "%03u", port.device.busNumber);
        const std::string busText = numbers;
        std::snprintf(numbers, sizeof numbers, "%03u", port.device.deviceNumber);
        const std::string devText = numbers;
        const std::string blob = hex(d.sysfsBlob());
        std::string record;
        record += "P: " + port.device.sysfsPath + "\n";
        record += "N: bus/usb/" + busText + "/" + devText + "=" + blob + "\n";
        record += "E: DEVNAME=" + port.device.devNode + "\n";
        record += "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n";
        record += "E: BUSNUM=" + busText + "\nE: DEVNUM=" + devText + "\n";
        // sysfs attribute values end in a newline.
        record += "A: busnum=" + std::to_string(port.device.busNumber) + "\\n\n";
        record += "A: devnum=" + std::to_string(port.device.deviceNumber) + "\\n\n";
        record += std::string("A: speed=") + speedText(d.speed) + "\\n\n";
        record += "A: bConfigurationValue=" +
                  (d.activeConfiguration ? std::to_string(d.activeConfiguration) : std::string()) + "\\n\n";
        record += "H: descriptors=" + blob + "\n";
        if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
            std::string why = error ? error->message : "add failed";
            if (error) g_error_free(error);
            model->detached();
            throw std::runtime_error("cannot add emulated device " + chain + ": " + why);
        }
        port.device.sysfsPath = "/sys" + port.device.sysfsPath;
        ChildSink sink(*this);
        model->publishChildren(sink, port.device.sysfsPath);
        events.push_back(BusEvent{BusEvent::Kind::Plugged, chain, d.vendorId(), d.productId(), Clock::now()});
        ports.emplace(chain, std::move(port));
        m_busChanged.notify_all();
        return chain;
    }

    bool unplugLocked(std::map<std::string, Port>::iterator it) {
        Port& port = it->second;
        port.node->disconnect();
        port.device.model->detached();
        const std::string& syspath = port.device.sysfsPath;
        ChildSink sink(*this);
        port.device.model->withdrawChildren(sink, syspath);
        umockdev_testbed_uevent(testbed, syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, syspath.c_str());
        // The handler stays attached: the host may still hold the node open
        // and must keep getting -ESHUTDOWN/ENODEV from it.
        const DeviceDescriptors d = port.device.model->descriptors();
        events.push_back(BusEvent{BusEvent::Kind::Unplugged, it->first, d.vendorId(), d.productId(), Clock::now()});
        ports.erase(it);
        m_busChanged.notify_all();
        return true;
    }

    bool unplug(const std::string& chain) {
        std::lock_guard lock(m_busLock);
        auto it = ports.find(chain);
        return it != ports.end() && unplugLocked(it);
    }

    void unplugGeneration(const std::string& chain, uint64_t generation) {
        std::lock_guard lock(m_busLock);
        auto it = ports.find(chain);
        if (it != ports.end() && it->second.generation == generation) unplugLocked(it);
    }
};

EmulatedUsbBus::EmulatedUsbBus(BusOptions options) : m_core(std::make_shared<Core>()) {
    m_core->options = options;
    m_core->testbed = umockdev_testbed_new();
    // Asked only now: the answer is cached from the first call.
    if (!umockdev_in_mock_environment()) {
        g_object_unref(m_core->testbed);
        throw std::runtime_error("the emulated USB bus must run under umockdev-wrapper");
    }
    Core* core = m_core.get();
    m_core->timerThread = std::thread([core] { core->timerLoop(); });
}

EmulatedUsbBus::~EmulatedUsbBus() {
    {
        std::lock_guard lock(m_core->m_timerLock);
        m_core->stopping = true;
        m_core->timers.clear();
        m_core->m_timerWake.notify_all();
    }
    m_core->timerThread.join();
    std::lock_guard lock(m_core->m_busLock);
    Core::ChildSink sink(*m_core);
    for (auto& [chain, port] : m_core->ports) {
        port.node->disconnect();
        port.device.model->detached();
        port.device.model->withdrawChildren(sink, port.device.sysfsPath);
    }
    m_core->ports.clear();
    for (auto& h : m_core->handlers) {
        umockdev_testbed_detach_ioctl(m_core->testbed, h.devNode.c_str(), nullptr);
        g_object_unref(h.handler);
    }
    m_core->handlers.clear();
    g_object_unref(m_core->testbed);
    m_core->testbed = nullptr;
}

std::string EmulatedUsbBus::plug(const std::shared_ptr<UsbDeviceModel>& model, std::string portChain) {
    return m_core->plug(model, std::move(portChain));
}

bool EmulatedUsbBus::unplug(const std::string& portChain) { return m_core->unplug(portChain); }

void EmulatedUsbBus::plugAfter(std::chrono::milliseconds delay, std::shared_ptr<UsbDeviceModel> model,
                               std::string portChain) {
    m_core->schedule(delay,
                     [model = std::move(model), chain = std::move(portChain)](Core& c) { c.plug(model, chain); });
}

void EmulatedUsbBus::unplugAfter(std::chrono::milliseconds delay, std::string portChain) {
    m_core->schedule(delay, [chain = std::move(portChain)](Core& c) { c.unplug(chain); });
}

void EmulatedUsbBus::runAfter(std::chrono::milliseconds delay, std::function<void(EmulatedUsbBus&)> action) {
    m_core->schedule(delay, [this, action = std::move(action)](Core&) { action(*this); });
}

void EmulatedUsbBus::stopTimers() {
    std::unique_lock lock(m_core->m_timerLock);
    m_core->timers.clear();
    // An action already under way finishes first.
    m_core->m_timerWake.wait(lock, [&] { return !m_core->running; });
}

bool EmulatedUsbBus::waitIdle(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_core->m_timerLock);
    return m_core->m_timerWake.wait_for(lock, timeout, [&] { return m_core->timers.empty() && !m_core->running; });
}

std::vector<PluggedDevice> EmulatedUsbBus::devices() const {
    std::lock_guard lock(m_core->m_busLock);
    std::vector<PluggedDevice> out;
    for (const auto& [chain, port] : m_core->ports) out.push_back(port.device);
    return out;
}

std::shared_ptr<UsbDeviceModel> EmulatedUsbBus::modelAt(const std::string& portChain) const {
    std::lock_guard lock(m_core->m_busLock);
    auto it = m_core->ports.find(portChain);
    return it == m_core->ports.end() ? nullptr : it->second.device.model;
}

NodeStats EmulatedUsbBus::nodeStats(const std::string& portChain) const {
    std::lock_guard lock(m_core->m_busLock);
    auto it = m_core->ports.find(portChain);
    return it == m_core->ports.end() ? NodeStats{} : it->second.node->stats();
}

std::vector<BusEvent> EmulatedUsbBus::history() const {
    std::lock_guard lock(m_core->m_busLock);
    return m_core->events;
}

bool EmulatedUsbBus::waitForProduct(uint16_t productId, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_core->m_busLock);
    return m_core->m_busChanged.wait_for(lock, timeout, [&] {
        for (const auto& [chain, port] : m_core->ports)
            if (port.device.model->descriptors().productId() == productId) return true;
        return false;
    });
}

}  // namespace tyvo::sim

// A process with an emulated bus runs under umockdev-wrapper, whose preload
// library comes before the AddressSanitizer runtime; ASan must not refuse to
// start because of that, even where ASAN_OPTIONS is not passed (test listing).
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}

// The emulated controller computes its SHA-1 with OpenSSL, also on
// umockdev's worker thread, which the emulation never ends: the per-thread
// state OpenSSL keeps for that thread is still there at exit.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_suppressions() {
    return "leak:libcrypto.so\n";
}

// That known leak is not news on every run of a sanitizer build.
extern "C" __attribute__((visibility("default"), used)) const char* __lsan_default_options() {
    return "print_suppressions=0";
}

// umockdev, GLib and libudev are not built for ThreadSanitizer and synchronise
// their worker thread through futexes it cannot see; libusb, not built for it
// either, frees devices on reference counts kept in atomics it cannot see.
// Their inner accesses would read as races. Our own code stays fully checked.
extern "C" __attribute__((visibility("default"), used)) const char* __tsan_default_suppressions() {
    return "called_from_lib:libumockdev.so.0\n"
           "race:libumockdev.so.0\n"
           // The preload library looks at descriptors of the test process
           // from the bus's thread (fstat while a device leaves); a
           // descriptor the tool closes and opens again meanwhile reads as a
           // race on the descriptor.
           "race:libumockdev-preload.so.0\n"
           "race:libglib-2.0.so.0\n"
           "race:libgobject-2.0.so.0\n"
           "race:libgio-2.0.so.0\n"
           "mutex:libglib-2.0.so.0\n"
           "mutex:libumockdev.so.0\n"
           "deadlock:libglib-2.0.so.0\n"
           "race:libudev.so.1\n"
           "called_from_lib:libusb-1.0.so.0\n"
           // OpenSSL frees its locks at exit, including the ones the
           // emulated controller's SHA-1 took on umockdev's worker thread,
           // which nothing joins (see the leak list above).
           "race:libcrypto.so\n"
           // The socket library of the service links, for processes that
           // run those beside the bus (this list replaces theirs).
           "called_from_lib:libzmq.so\n";
}
