#include "devices/DeviceAttachMonitorLinux.h"

#include <algorithm>

#include <stdexcept>

#include "devices/PowerEventsLinux.h"
#include "devices/core/DevicePath.h"
#include "logging/ErrorCodes.h"
#include "logging/LogRecord.h"
#include "usb/UsbBusEnumerator.h"

// The monitor is also an exception filter, whose name clang-tidy takes for
// an exception type: the base initialiser below is not a discarded throw.
// NOLINTNEXTLINE(bugprone-throw-keyword-missing)
DeviceAttachMonitorLinux::DeviceAttachMonitorLinux() : DeviceAttachMonitor("DeviceAttachMonitorLinux") { Ready(); }

DeviceAttachMonitorLinux::~DeviceAttachMonitorLinux() = default;

void DeviceAttachMonitorLinux::Run() {
    auto enumerator = std::make_shared<UsbBusEnumerator>();
    if (enumerator->initError() != 0) {
        const std::string failure =
            "Failed to initialize USB device access: " + enumerator->initFailure() +
            ". Check that /dev/bus/usb exists and is readable, and that a container or sandbox does not hide "
            "the USB devices or refuse the kernel's device events (netlink).";
        {
            std::lock_guard<std::mutex> lock(m_startFailureLock);
            m_startFailure = failure;
        }
        m_startFailureSet.notify_all();
        throw std::runtime_error(failure);
    }
    {
        std::lock_guard<std::mutex> lock(m_enumeratorLock);
        m_enumerator = enumerator;
    }

    // Arrivals and leaves are not examined: each one triggers a full rescan.
    const bool hotplug = StartHotplug(*enumerator, [this](bool deviceLeft) {
        if (deviceLeft) m_deviceLeft = true;
        m_changeNoticed = true;
    });

    {
        std::lock_guard<std::mutex> lock(m_powerLock);
        m_powerOpen = true;
    }
    std::string noPowerEvents;
    auto power = PowerEventsLinux::Start([this](bool suspending) { OnPowerEvent(suspending); }, noPowerEvents);
    // However this thread ends, an announcement waiting for it is let go
    // before the power thread is stopped and joined.
    struct PowerEventsClosing {
        DeviceAttachMonitorLinux& monitor;
        ~PowerEventsClosing() { monitor.ClosePowerEvents(); }
    } closing{*this};
    if (!power && m_logServer) {
        // Said once, as a detail below the default level (shown from
        // "debug_output_level" 4): containers and minimal systems have no
        // logind, and the tool's default console output stays as it is.
        m_logServer->log(-1, LOG_INFO + 1, EC_NO_ERROR, "Suspend and resume are not followed: " + noPowerEvents + ".");
    }

    Scan();
    FireMonitorStarted();

    auto lastScan = std::chrono::steady_clock::now();
    while (!ShouldStop()) {
        enumerator->handleEvents(hotplug ? std::chrono::milliseconds(500) : std::chrono::milliseconds(100));
        if (ShouldStop()) break;
        HandlePowerEvents();
        const auto now = std::chrono::steady_clock::now();
        const bool requested = m_scanRequested.exchange(false);
        const bool noticed = m_changeNoticed.exchange(false);
        if (requested || noticed || (!hotplug && now - lastScan >= kFallbackRescanPeriod)) {
            const bool left = m_deviceLeft.exchange(false);
            if (requested) {
                Scan();
            } else {
                ScanOnChange(left);
            }
            lastScan = std::chrono::steady_clock::now();
        }
    }

    ClosePowerEvents();
    power.reset();
    if (hotplug) enumerator->stopHotplug();
    // Every device context loses its initiation, and the monitor waits until
    // their threads have ended.
    ReleaseAll(true);
    {
        std::lock_guard<std::mutex> lock(m_enumeratorLock);
        m_enumerator.reset();
    }
}

bool DeviceAttachMonitorLinux::StartHotplug(UsbBusEnumerator& enumerator, std::function<void(bool)> notice) {
    return enumerator.startHotplug([notice = std::move(notice)](UsbHotplugEvent event, const UsbBusDevice&) {
        notice(event == UsbHotplugEvent::Left);
    });
}

void DeviceAttachMonitorLinux::OnStop() { Wake(); }

std::optional<std::string> DeviceAttachMonitorLinux::WaitForStartFailure(std::chrono::milliseconds bound) const {
    std::unique_lock<std::mutex> lock(m_startFailureLock);
    m_startFailureSet.wait_for(lock, bound, [this] { return m_startFailure.has_value(); });
    return m_startFailure;
}

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

void DeviceAttachMonitorLinux::Scan() {
    if (m_suspended) return;
    ReconcileAndRemember(PresentDevices());
}

void DeviceAttachMonitorLinux::OnPowerEvent(bool suspending) {
    std::unique_lock<std::mutex> lock(m_powerLock);
    if (!m_powerOpen) return;
    m_powerEvents.push_back(suspending);
    const std::uint64_t ticket = ++m_powerPosted;
    lock.unlock();
    Wake();
    lock.lock();
    m_powerHandled.wait_for(lock, kPowerEventBound, [&] { return m_powerDone >= ticket || !m_powerOpen; });
}

void DeviceAttachMonitorLinux::HandlePowerEvents() {
    for (;;) {
        bool suspending = false;
        {
            std::lock_guard<std::mutex> lock(m_powerLock);
            if (m_powerEvents.empty()) return;
            suspending = m_powerEvents.front();
            m_powerEvents.pop_front();
        }
        if (suspending) {
            // Every device context stops before the machine sleeps; the
            // monitor waits for their threads.
            m_suspended = true;
            ReleaseAll(true);
        } else {
            // The devices may have changed while the machine slept: a full
            // scan, whatever the last one saw.
            m_suspended = false;
            Scan();
        }
        {
            std::lock_guard<std::mutex> lock(m_powerLock);
            ++m_powerDone;
        }
        m_powerHandled.notify_all();
    }
}

void DeviceAttachMonitorLinux::ClosePowerEvents() {
    {
        std::lock_guard<std::mutex> lock(m_powerLock);
        m_powerOpen = false;
        m_powerEvents.clear();
    }
    m_powerHandled.notify_all();
}

bool DeviceAttachMonitorLinux::ChangedSince(const std::vector<PresentDevice>& present,
                                            const std::vector<PresentDevice>& lastSeen, bool deviceLeft) {
    const auto samePlace = [](const PresentDevice& a, const PresentDevice& b) {
        return a.kind == b.kind && a.path == b.path;
    };
    return deviceLeft || present.size() != lastSeen.size() ||
           !std::is_permutation(present.begin(), present.end(), lastSeen.begin(), samePlace);
}

void DeviceAttachMonitorLinux::ScanOnChange(bool deviceLeft) {
    if (m_suspended) return;
    std::vector<PresentDevice> present = PresentDevices();
    if (!ChangedSince(present, m_lastSeen, deviceLeft)) return;
    ReconcileAndRemember(std::move(present));
}

void DeviceAttachMonitorLinux::ReconcileAndRemember(std::vector<PresentDevice> present) {
    m_lastSeen = std::move(present);
    Reconcile(m_lastSeen);
}
