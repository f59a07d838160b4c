// The bus enumerator: every present device with its port chain and video
// class, and hot-plug arrivals and leaves seen on a caller-owned thread.

#include "sim/EmulatedUsbBus.h"
#include "tests/usb/EmulatedDevices.h"
#include "usb/UsbBusEnumerator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <thread>

namespace tyvo::usbtest {
namespace {

using namespace std::chrono_literals;

sim::DeviceDescriptors deviceWith(uint16_t vendorId, uint16_t productId, uint8_t interfaceClass,
                                  uint8_t deviceClass = 0) {
    sim::DeviceLayout layout;
    layout.vendorId = vendorId;
    layout.productId = productId;
    layout.deviceClass = deviceClass;
    sim::ConfigurationLayout config;
    sim::InterfaceLayout control;
    control.interfaceClass = interfaceClass;
    control.interfaceSubClass = 1;
    sim::InterfaceLayout streaming;
    streaming.number = 1;
    streaming.interfaceClass = interfaceClass;
    streaming.interfaceSubClass = 2;
    config.interfaces = {control, streaming};
    sim::DeviceDescriptors d;
    d.device = sim::buildDeviceDescriptor(layout);
    d.configurations = {sim::buildConfiguration(config)};
    return d;
}

const UsbBusDevice* find(const std::vector<UsbBusDevice>& devices, uint16_t productId) {
    auto it = std::find_if(devices.begin(), devices.end(), [&](const auto& d) { return d.productId == productId; });
    return it == devices.end() ? nullptr : &*it;
}

TEST(BusEnumerator, ListsPortChainsIdsAndVideoClass) {
    sim::EmulatedUsbBus bus;
    bus.plug(std::make_shared<sim::StandardUsbDevice>("hub", deviceWith(0x1D6B, 0x0002, 9, 9)), "1-2");
    bus.plug(std::make_shared<sim::StandardUsbDevice>("camera", deviceWith(0xF182, 0x0003, 0x0E, 0xEF)), "1-2.3");
    bus.plug(std::make_shared<sim::StandardUsbDevice>("fx3", deviceWith(0x04B4, 0x00F3, 0xFF)), "1-4");

    UsbBusEnumerator enumerator;
    ASSERT_EQ(enumerator.initError(), 0u);
    const auto devices = enumerator.devices();
    ASSERT_EQ(devices.size(), 3u);
    const UsbBusDevice* camera = find(devices, 0x0003);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(camera->vendorId, 0xF182);
    EXPECT_EQ(camera->portChain, "1-2.3");
    EXPECT_EQ(camera->busNumber, 1);
    EXPECT_TRUE(camera->hasVideoInterface);
    const UsbBusDevice* fx3 = find(devices, 0x00F3);
    ASSERT_NE(fx3, nullptr);
    EXPECT_EQ(fx3->portChain, "1-4");
    EXPECT_FALSE(fx3->hasVideoInterface);
    EXPECT_EQ(find(devices, 0x0002)->portChain, "1-2");
}

class HotplugRecorder {
public:
    void record(UsbHotplugEvent event, const UsbBusDevice& device) {
        std::lock_guard lock(m_lock);
        m_events.emplace_back(event, device);
        m_changed.notify_all();
    }
    bool waitFor(UsbHotplugEvent event, uint16_t productId, std::chrono::milliseconds timeout) {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, timeout, [&] {
            return std::any_of(m_events.begin(), m_events.end(),
                               [&](const auto& e) { return e.first == event && e.second.productId == productId; });
        });
    }
    std::vector<std::pair<UsbHotplugEvent, UsbBusDevice>> events() {
        std::lock_guard lock(m_lock);
        return m_events;
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<std::pair<UsbHotplugEvent, UsbBusDevice>> m_events;
};

TEST(BusEnumeratorHotplug, ReportsArrivalsAndLeavesOnTheCallersThread) {
    sim::EmulatedUsbBus bus;
    UsbBusEnumerator enumerator;
    ASSERT_TRUE(enumerator.hasHotplug());
    HotplugRecorder recorder;
    std::thread::id callbackThread;
    std::mutex threadLock;
    ASSERT_TRUE(enumerator.startHotplug([&](UsbHotplugEvent event, const UsbBusDevice& device) {
        {
            std::lock_guard lock(threadLock);
            callbackThread = std::this_thread::get_id();
        }
        recorder.record(event, device);
    }));
    std::atomic<bool> stop{false};
    std::thread events([&] {
        while (!stop) enumerator.handleEvents(1000ms);
    });

    bus.plug(std::make_shared<sim::StandardUsbDevice>("camera", deviceWith(0xF182, 0x0003, 0x0E)), "1-5");
    ASSERT_TRUE(recorder.waitFor(UsbHotplugEvent::Arrived, 0x0003, 5s));
    bus.unplug("1-5");
    ASSERT_TRUE(recorder.waitFor(UsbHotplugEvent::Left, 0x0003, 5s));
    const auto seen = recorder.events();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].second.portChain, "1-5");
    EXPECT_TRUE(seen[0].second.hasVideoInterface);
    EXPECT_EQ(seen[1].second.portChain, "1-5");
    {
        std::lock_guard lock(threadLock);
        EXPECT_EQ(callbackThread, events.get_id());
    }

    // Waking makes the one-second wait return at once.
    stop = true;
    const auto before = std::chrono::steady_clock::now();
    enumerator.wake();
    events.join();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 900ms);
    enumerator.stopHotplug();
}

TEST(BusEnumeratorHotplug, StoppingWhileEventsArriveIsSafe) {
    sim::EmulatedUsbBus bus;
    UsbBusEnumerator enumerator;
    std::atomic<int> calls{0};
    ASSERT_TRUE(enumerator.startHotplug([&](UsbHotplugEvent, const UsbBusDevice&) { ++calls; }));
    std::atomic<bool> stop{false};
    std::thread events([&] {
        while (!stop) enumerator.handleEvents(20ms);
    });
    for (int i = 0; i < 5; ++i) {
        bus.plug(std::make_shared<sim::StandardUsbDevice>("device", deviceWith(0x1234, 0x0100, 0xFF)), "1-7");
        bus.unplug("1-7");
    }
    enumerator.stopHotplug();
    const int afterStop = calls.load();
    bus.plug(std::make_shared<sim::StandardUsbDevice>("late", deviceWith(0x1234, 0x0101, 0xFF)), "1-8");
    std::this_thread::sleep_for(200ms);
    stop = true;
    enumerator.wake();
    events.join();
    EXPECT_EQ(calls.load(), afterStop);  // nothing after stopHotplug returned
}

}  // namespace
}  // namespace tyvo::usbtest
