#pragma once
// Every present USB device, for the device attach monitor: bus number, port
// chain, vendor and product ids, and whether its active configuration has a
// Video-class interface; plus hot-plug notification of arrivals and leaves.
// Owns its libusb context. Hot-plug callbacks run on the thread that calls
// handleEvents(), which the caller owns and runs in a loop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct UsbBusDevice {
    uint8_t busNumber = 0;
    uint8_t address = 0;
    std::string portChain;  // "1-2.3"; no root hub in front of emulated devices
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    bool hasVideoInterface = false;  // an interface of class 0x0E in the active configuration
    uint16_t bcdDevice = 0;          // the device release of the device descriptor
    uint8_t productIndex = 0;        // string indexes of the device descriptor; 0: none
    uint8_t serialIndex = 0;
};

// Strings a device gives when asked for its descriptors (standard requests
// that change nothing on the device).
struct UsbDeviceStrings {
    std::string product;  // empty when the device has none
    std::string serial;
};

enum class UsbHotplugEvent { Arrived, Left };

class UsbBusEnumerator {
public:
    using HotplugCallback = std::function<void(UsbHotplugEvent, const UsbBusDevice&)>;

    UsbBusEnumerator();
    ~UsbBusEnumerator();
    UsbBusEnumerator(const UsbBusEnumerator&) = delete;
    UsbBusEnumerator& operator=(const UsbBusEnumerator&) = delete;

    // 0 when libusb started; else its errno value.
    uint32_t initError() const { return m_initError; }
    // Why libusb did not start, for a person: libusb's error name and text,
    // and the system error it left behind when there is one. Empty when it
    // started.
    const std::string& initFailure() const { return m_initFailure; }

    std::vector<UsbBusDevice> devices() const;
    // Opens the device at its bus and address and reads its product and
    // serial-number strings. nullopt with error set (EACCES: no permission
    // on the device node; ENODEV: gone) when it cannot be opened; a string
    // that cannot be read stays empty.
    std::optional<UsbDeviceStrings> readStrings(const UsbBusDevice& device, uint32_t& error) const;

    bool hasHotplug() const;
    // Calls back on every arrival and leave from now on; false when the
    // platform has no hot-plug or registration failed.
    bool startHotplug(HotplugCallback callback);
    // Returns after a callback under way has finished. Not from inside one.
    void stopHotplug();

    // Handles libusb events, hot-plug callbacks included, for at most the
    // time-out; returns early when woken.
    void handleEvents(std::chrono::milliseconds timeout);
    // Makes a handleEvents() under way on another thread return promptly.
    void wake();

    struct Context;

private:
    std::unique_ptr<Context> m_context;
    uint32_t m_initError = 0;
    std::string m_initFailure;
};
