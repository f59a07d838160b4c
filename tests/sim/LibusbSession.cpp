#include "tests/sim/LibusbSession.h"

#include <stdexcept>

namespace tyvo::simtest {

LibusbSession::LibusbSession() {
    if (libusb_init(&m_context) != 0) throw std::runtime_error("libusb_init failed");
}

LibusbSession::~LibusbSession() {
    for (auto* h : m_open) libusb_close(h);
    libusb_exit(m_context);
}

libusb_device_handle* LibusbSession::open(uint16_t vendorId, uint16_t productId) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(m_context, &list);
    libusb_device_handle* handle = nullptr;
    for (ssize_t i = 0; i < n && !handle; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0) continue;
        if (d.idVendor == vendorId && d.idProduct == productId && libusb_open(list[i], &handle) != 0) handle = nullptr;
    }
    if (list) libusb_free_device_list(list, 1);
    if (handle) m_open.push_back(handle);
    return handle;
}

int LibusbSession::countDevices(uint16_t vendorId, uint16_t productId) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(m_context, &list);
    int count = 0;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) == 0 && d.idVendor == vendorId && d.idProduct == productId)
            ++count;
    }
    if (list) libusb_free_device_list(list, 1);
    return count;
}

int LibusbSession::controlOut(libusb_device_handle* h, uint8_t request, uint16_t value, uint16_t index,
                              const std::vector<uint8_t>& data, unsigned timeoutMs) {
    std::vector<uint8_t> copy = data;
    return libusb_control_transfer(h, 0x40, request, value, index, copy.data(), static_cast<uint16_t>(copy.size()),
                                   timeoutMs);
}

int LibusbSession::controlIn(libusb_device_handle* h, uint8_t request, uint16_t value, uint16_t index,
                             std::vector<uint8_t>& data, uint16_t length, unsigned timeoutMs) {
    data.assign(length, 0);
    const int r = libusb_control_transfer(h, 0xC0, request, value, index, data.data(), length, timeoutMs);
    data.resize(r > 0 ? static_cast<std::size_t>(r) : 0);
    return r;
}

HotplugWatcher::HotplugWatcher(libusb_context* context) : m_context(context) {
    libusb_hotplug_register_callback(
        m_context,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        &HotplugWatcher::callback, this, &m_handle);
    m_thread = std::thread([this] {
        for (;;) {
            {
                std::lock_guard lock(m_stopLock);
                if (m_stop) return;
            }
            timeval tv{0, 20000};
            libusb_handle_events_timeout_completed(m_context, &tv, nullptr);
        }
    });
}

HotplugWatcher::~HotplugWatcher() {
    {
        std::lock_guard lock(m_stopLock);
        m_stop = true;
    }
    libusb_interrupt_event_handler(m_context);
    m_thread.join();
    libusb_hotplug_deregister_callback(m_context, m_handle);
}

int LIBUSB_CALL HotplugWatcher::callback(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                                         void* self) {
    auto* watcher = static_cast<HotplugWatcher*>(self);
    libusb_device_descriptor d{};
    libusb_get_device_descriptor(device, &d);
    std::lock_guard lock(watcher->m_eventsLock);
    watcher->m_events.push_back(Event{event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, d.idVendor, d.idProduct});
    watcher->m_eventsChanged.notify_all();
    return 0;
}

bool HotplugWatcher::waitFor(bool arrived, uint16_t productId, std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_eventsLock);
    return m_eventsChanged.wait_for(lock, timeout, [&] {
        for (const auto& e : m_events)
            if (e.arrived == arrived && e.productId == productId) return true;
        return false;
    });
}

std::vector<HotplugWatcher::Event> HotplugWatcher::events() const {
    std::lock_guard lock(m_eventsLock);
    return m_events;
}

}  // namespace tyvo::simtest
