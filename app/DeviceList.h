#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class DeviceModelManifest;
class UsbBusEnumerator;
struct UsbBusDevice;

// tyvo-reset --list: every attached device the manifest supports, with what
// its USB descriptors say. Reading them takes only standard requests, so the
// listing changes nothing on any device. (A working controller's firmware
// version lies behind its control channel, which a listing does not drive.)
struct ListedDevice {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    std::string kind;         // controller, embedded-controller, boot-loader, boot-programmer
    std::string description;  // "controller in normal operation", ...
    std::string busPath;      // "1-2.3": bus and port chain
    std::string devicePath;   // usb#vid_04b4&pid_00f3#1-2.3
    uint16_t release = 0;     // bcdDevice
    // From the string descriptors; nullopt when the device has none or they
    // could not be read.
    std::optional<std::string> product;
    std::optional<std::string> serial;
    // ok; permission-denied (the device node may not be opened: the udev
    // rule); unreadable (any other failure to open it).
    std::string access = "ok";
};

// What the manifest supports of the devices on the bus, in bus order.
std::vector<ListedDevice> ListTyvoDevices(const DeviceModelManifest& manifest, const UsbBusEnumerator& bus);

// One line: "04b4:00f3  FX3 boot loader  1-1  release 1.00  serial -".
std::string FormatListedDevice(const ListedDevice& device);
// A JSON array of objects with the members identity, vendor_id,
// product_id, kind, description, bus_path, device_path, release, product,
// serial, access.
std::string FormatListedDevicesJson(const std::vector<ListedDevice>& devices);
