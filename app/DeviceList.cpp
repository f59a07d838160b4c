#include "app/DeviceList.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "app/JsonText.h"
#include "devices/DeviceModelManifest.h"
#include "devices/core/DevicePath.h"
#include "usb/UsbBusEnumerator.h"

namespace {

struct KindName {
    uint16_t vendorId;
    uint16_t productId;
    const char* kind;
    const char* description;
};

// The identities the manifest supports, by what a person calls them.
constexpr KindName kKinds[] = {
    {0xF182, 0x0003, "controller", "controller in normal operation"},
    {0x05A9, 0xF580, "embedded-controller", "embedded controller"},
    {0xF182, 0x1001, "embedded-controller", "embedded controller"},
    {0x04B4, 0x00F3, "boot-loader", "FX3 boot loader"},
    {0x04B4, 0x4720, "boot-programmer", "FX3 boot programmer"},
};

std::string Hex4(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value);
    return text;
}

std::string Release(uint16_t bcd) {
    char text[8];
    std::snprintf(text, sizeof text, "%x.%02x", bcd >> 8, bcd & 0xFF);
    return text;
}

std::string Narrow(const std::wstring& wide) {
    std::string out;
    for (const wchar_t c : wide) out += static_cast<char>(c);
    return out;
}

std::string JsonOptional(const std::optional<std::string>& text) { return text ? JsonString(*text) : "null"; }

}  // namespace

std::vector<ListedDevice> ListTyvoDevices(const DeviceModelManifest& manifest, const UsbBusEnumerator& bus) {
    std::vector<ListedDevice> listed;
    for (const UsbBusDevice& found : bus.devices()) {
        const uint32_t kind = found.hasVideoInterface ? kImageClassDevice : kUsbClassDevice;
        if (!manifest.Match(kind, found.vendorId, found.productId)) continue;
        ListedDevice device;
        device.vendorId = found.vendorId;
        device.productId = found.productId;
        device.kind = "unknown";
        device.description = "Tyvo device";
        for (const KindName& name : kKinds) {
            if (name.vendorId == found.vendorId && name.productId == found.productId) {
                device.kind = name.kind;
                device.description = name.description;
            }
        }
        device.busPath = found.portChain;
        device.devicePath = Narrow(ToDevicePath(UsbInstanceId(found.vendorId, found.productId, found.portChain)));
        device.release = found.bcdDevice;
        uint32_t error = 0;
        if (const auto strings = bus.readStrings(found, error)) {
            if (!strings->product.empty()) device.product = strings->product;
            if (!strings->serial.empty()) device.serial = strings->serial;
        } else {
            device.access = error == EACCES ? "permission-denied" : "unreadable";
        }
        listed.push_back(std::move(device));
    }
    return listed;
}

std::string FormatListedDevice(const ListedDevice& device) {
    std::string line = Hex4(device.vendorId) + ":" + Hex4(device.productId) + "  " + device.description;
    line.resize(std::max<std::size_t>(line.size() + 2, 45), ' ');
    line += device.busPath + "  release " + Release(device.release) + "  serial " + device.serial.value_or("-");
    if (device.access == "permission-denied") line += "  (no permission to read its strings: see the udev rule)";
    return line;
}

std::string FormatListedDevicesJson(const std::vector<ListedDevice>& devices) {
    std::string out = "[";
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const ListedDevice& d = devices[i];
        out += i ? ",\n  {" : "\n  {";
        out += "\"identity\": " + JsonString(Hex4(d.vendorId) + ":" + Hex4(d.productId));
        out += ", \"vendor_id\": " + JsonString(Hex4(d.vendorId));
        out += ", \"product_id\": " + JsonString(Hex4(d.productId));
        out += ", \"kind\": " + JsonString(d.kind);
        out += ", \"description\": " + JsonString(d.description);
        out += ", \"bus_path\": " + JsonString(d.busPath);
        out += ", \"device_path\": " + JsonString(d.devicePath);
        out += ", \"release\": " + JsonString(Release(d.release));
        out += ", \"product\": " + JsonOptional(d.product);
        out += ", \"serial\": " + JsonOptional(d.serial);
        out += ", \"access\": " + JsonString(d.access) + "}";
    }
    out += devices.empty() ? "]" : "\n]";
    return out;
}
