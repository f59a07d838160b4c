#include "devices/DeviceAttachMonitorLinux.h"

#include <stdexcept>

#include "devices/core/DevicePath.h"
#include "usb/UsbBusEnumerator.h"

DeviceAttachMonitorLinux::DeviceAttachMonitorLinux() : DeviceAttachMonitor("DeviceAttachMonitorLinux") { Ready(); }

DeviceAttachMonitorLinux::~DeviceAttachMonitorLinux() = default;

void DeviceAttachMonitorLinux::Run() {
    auto enumerator = std::make_shared<UsbBusEnumerator>();
    if (enumerator->initError() != 0) {
        throw std::runtime_error("Failed to initialize USB device access");
    }
    {
        std::lock_guard<std::mutex> lock(m_enumeratorLock);
        m_enumerator = enumerator;
    }

    // Arrivals and leaves are not examined: each one triggers a full rescan.
    const bool hotplug =
        enumerator->startHotplug([this](UsbHotplugEvent, const UsbBusDevice&) { m_scanRequested = true; });

    Scan();
    FireMonitorStarted();

    auto lastScan = std::chrono::steady_clock::now();
    while (!ShouldStop()) {
        enumerator->handleEvents(hotplug ? std::chrono::milliseconds(500) : std::chrono::milliseconds(100));
        if (ShouldStop()) break;
        const auto now = std::chrono::steady_clock::now();
        if (m_scanRequested.exchange(false) || (!hotplug && now - lastScan >= kFallbackRescanPeriod)) {
            Scan();
            lastScan = std::chrono::steady_clock::now();
        }
    }

    if (hotplug) enumerator->stopHotplug();
    // Every device context loses its initiation, and the monitor waits until
    // their threads have ended.
    ReleaseAll(true);
    {
        std::lock_guard<std::mutex> lock(m_enumeratorLock);
        m_enumerator.reset();
    }
}

void DeviceAttachMonitorLinux::OnStop() { Wake(); }

void DeviceAttachMonitorLinux::RequestScan() {
    m_scanRequested = true;
    Wake();
}

void DeviceAttachMonitorLinux::Wake() {
    std::shared_ptr<UsbBusEnumerator> enumerator;
    {
        std::lock_guard<std::mutex> lock(m_enumeratorLock);
        enumerator = m_enumerator;
    }
    if (enumerator) enumerator->wake();
}

std::vector<PresentDevice> DeviceAttachMonitorLinux::PresentDevices() const {
    std::shared_ptr<UsbBusEnumerator> enumerator;
    {
        std::lock_guard<std::mutex> lock(m_enumeratorLock);
        enumerator = m_enumerator;
    }
    std::vector<PresentDevice> present;
    if (!enumerator) return present;
    for (const auto& device : enumerator->devices()) {
        std::string place = device.portChain;
        if (place.empty()) {
            // No port chain to be had: the bus number and address still
            // name the device uniquely while it is plugged.
            place = std::to_string(device.busNumber) + "-a" + std::to_string(device.address);
        }
        present.push_back({device.hasVideoInterface ? uint32_t(kImageClassDevice) : uint32_t(kUsbClassDevice),
                           ToDevicePath(UsbInstanceId(device.vendorId, device.productId, place))});
    }
    return present;
}

void DeviceAttachMonitorLinux::Scan() { Reconcile(PresentDevices()); }
