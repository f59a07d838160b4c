#pragma once
// Plain libusb, as any Linux tool would use it, for driving the emulated
// devices from the host's side without any of the tool's transport code.

#include <libusb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tyvo::simtest {

class LibusbSession {
public:
    LibusbSession();
    ~LibusbSession();
    libusb_context* context() const { return m_context; }

    // Opens the first device with these ids; null when there is none.
    libusb_device_handle* open(uint16_t vendorId, uint16_t productId);
    int countDevices(uint16_t vendorId, uint16_t productId);

    int controlOut(libusb_device_handle* h, uint8_t request, uint16_t value, uint16_t index,
                   const std::vector<uint8_t>& data, unsigned timeoutMs = 2000);
    // Returns the libusb result; the bytes received land in data.
    int controlIn(libusb_device_handle* h, uint8_t request, uint16_t value, uint16_t index, std::vector<uint8_t>& data,
                  uint16_t length, unsigned timeoutMs = 2000);

private:
    libusb_context* m_context = nullptr;
    std::vector<libusb_device_handle*> m_open;
};

// Records hot-plug arrivals and departures (vendor/product pairs) seen by a
// thread that handles libusb events until stopped.
class HotplugWatcher {
public:
    explicit HotplugWatcher(libusb_context* context);
    ~HotplugWatcher();
    struct Event {
        bool arrived;
        uint16_t vendorId;
        uint16_t productId;
    };
    // Waits until an event matching arrived/productId has been seen.
    bool waitFor(bool arrived, uint16_t productId, std::chrono::milliseconds timeout);
    std::vector<Event> events() const;

private:
    static int LIBUSB_CALL callback(libusb_context*, libusb_device*, libusb_hotplug_event, void*);
    libusb_context* m_context;
    libusb_hotplug_callback_handle m_handle = 0;
    mutable std::mutex m_eventsLock;
    std::condition_variable m_eventsChanged;
    std::vector<Event> m_events;
    std::mutex m_stopLock;
    bool m_stop = false;
    std::thread m_thread;
};

}  // namespace tyvo::simtest
