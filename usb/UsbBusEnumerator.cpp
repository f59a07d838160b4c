#include "usb/UsbBusEnumerator.h"

#include "usb/LibusbSupport.h"

#include <libusb.h>

#include <cerrno>
#include <cstring>

using tyvo::usb::errnoFromLibusb;
using tyvo::usb::portChainOf;

namespace {

constexpr uint8_t kVideoClass = 0x0E;

bool hasVideoInterface(libusb_device* device) {
    libusb_config_descriptor* config = nullptr;
    if (libusb_get_active_config_descriptor(device, &config) != 0) return false;
    bool video = false;
    for (int i = 0; i < config->bNumInterfaces && !video; ++i)
        for (int a = 0; a < config->interface[i].num_altsetting && !video; ++a)
            video = config->interface[i].altsetting[a].bInterfaceClass == kVideoClass;
    libusb_free_config_descriptor(config);
    return video;
}

UsbBusDevice describe(libusb_device* device) {
    UsbBusDevice d;
    d.busNumber = libusb_get_bus_number(device);
    d.address = libusb_get_device_address(device);
    d.portChain = portChainOf(device);
    libusb_device_descriptor descriptor{};
    if (libusb_get_device_descriptor(device, &descriptor) == 0) {
        d.vendorId = descriptor.idVendor;
        d.productId = descriptor.idProduct;
        d.bcdDevice = descriptor.bcdDevice;
        d.productIndex = descriptor.iProduct;
        d.serialIndex = descriptor.iSerialNumber;
    }
    d.hasVideoInterface = hasVideoInterface(device);
    return d;
}

}  // namespace

struct UsbBusEnumerator::Context {
    libusb_context* usb = nullptr;
    libusb_hotplug_callback_handle hotplug = 0;
    bool registered = false;
    std::mutex m_callbackLock;  // callback; taken inside libusb's own hot-plug lock
    HotplugCallback callback;

    static int LIBUSB_CALL onHotplug(libusb_context* usb, libusb_device* device, libusb_hotplug_event event,
                                     void* self) {
        auto* context = static_cast<Context*>(self);
        UsbBusDevice described;
        if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
            // libusb 1.0.26 holds no reference on a device for its arrival
            // event: one that left again before the event is handled may
            // already be freed. Describe it only while the device list
            // holds it; one no longer listed has gone, and its leave follows.
            libusb_device** list = nullptr;
            const ssize_t n = libusb_get_device_list(usb, &list);
            bool present = false;
            for (ssize_t i = 0; i < n && !present; ++i) present = list[i] == device;
            if (present) described = describe(device);
            if (n >= 0) libusb_free_device_list(list, 1);
            if (!present) return 0;
        } else {
            described = describe(device);  // a leave event holds its device
        }
        std::lock_guard lock(context->m_callbackLock);
        if (context->callback)
            context->callback(
                event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? UsbHotplugEvent::Arrived : UsbHotplugEvent::Left,
                described);
        return 0;
    }
};

UsbBusEnumerator::UsbBusEnumerator() : m_context(std::make_unique<Context>()) {
    // libusb reports most start-up failures (no usbfs, the kernel's device
    // events refused by a sandbox) as one "other" error; the system error it
    // met on the way says more, so it is kept for the message.
    errno = 0;
    const int r = libusb_init(&m_context->usb);
    const int systemError = errno;
    if (r != 0) {
        m_context->usb = nullptr;
        m_initError = errnoFromLibusb(r);
        m_initFailure = std::string("libusb_init: ") + libusb_error_name(r) + " (" + libusb_strerror(r) + ")";
        if (systemError != 0) m_initFailure += ", system error: " + std::string(std::strerror(systemError));
    }
}

UsbBusEnumerator::~UsbBusEnumerator() {
    stopHotplug();
    if (m_context->usb) libusb_exit(m_context->usb);
}

std::vector<UsbBusDevice> UsbBusEnumerator::devices() const {
    std::vector<UsbBusDevice> out;
    if (!m_context->usb) return out;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(m_context->usb, &list);
    for (ssize_t i = 0; i < n; ++i) out.push_back(describe(list[i]));
    if (n >= 0) libusb_free_device_list(list, 1);
    return out;
}

std::optional<UsbDeviceStrings> UsbBusEnumerator::readStrings(const UsbBusDevice& wanted, uint32_t& error) const {
    error = ENODEV;
    if (!m_context->usb) return std::nullopt;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(m_context->usb, &list);
    libusb_device_handle* handle = nullptr;
    int opened = LIBUSB_ERROR_NO_DEVICE;
    for (ssize_t i = 0; i < n && !handle; ++i) {
        if (libusb_get_bus_number(list[i]) != wanted.busNumber || libusb_get_device_address(list[i]) != wanted.address)
            continue;
        opened = libusb_open(list[i], &handle);
    }
    if (n >= 0) libusb_free_device_list(list, 1);
    if (!handle) {
        error = errnoFromLibusb(opened);
        return std::nullopt;
    }
    auto read = [handle](uint8_t index) {
        if (index == 0) return std::string();
        unsigned char text[256] = {};
        const int got = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
        return got > 0 ? std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(got))
                       : std::string();
    };
    UsbDeviceStrings strings{read(wanted.productIndex), read(wanted.serialIndex)};
    libusb_close(handle);
    error = 0;
    return strings;
}

bool UsbBusEnumerator::hasHotplug() const {
    return m_context->usb && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
}

bool UsbBusEnumerator::startHotplug(HotplugCallback callback) {
    if (!hasHotplug()) return false;
    stopHotplug();
    {
        std::lock_guard lock(m_context->m_callbackLock);
        m_context->callback = std::move(callback);
    }
    const int r = libusb_hotplug_register_callback(
        m_context->usb,
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_NO_FLAGS, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
        &Context::onHotplug, m_context.get(), &m_context->hotplug);
    m_context->registered = r == LIBUSB_SUCCESS;
    if (!m_context->registered) {
        std::lock_guard lock(m_context->m_callbackLock);
        m_context->callback = nullptr;
    }
    return m_context->registered;
}

void UsbBusEnumerator::stopHotplug() {
    if (!m_context->registered) return;
    // Deregister first, without our lock: libusb holds its own hot-plug lock
    // while it runs a callback, and the callback takes ours.
    libusb_hotplug_deregister_callback(m_context->usb, m_context->hotplug);
    m_context->registered = false;
    std::lock_guard lock(m_context->m_callbackLock);
    m_context->callback = nullptr;
}

void UsbBusEnumerator::handleEvents(std::chrono::milliseconds timeout) {
    if (!m_context->usb) return;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
    timeval tv{static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
    libusb_handle_events_timeout_completed(m_context->usb, &tv, nullptr);
}

void UsbBusEnumerator::wake() {
    if (m_context->usb) libusb_interrupt_event_handler(m_context->usb);
}
