#pragma once

#include <cstdint>
#include <string>

// A device path is a device's instance identifier in lower case with every
// backslash replaced by '#'. It keys the device contexts, and the capture
// layer finds a camera by it. On Linux the identifier is built as
// USB\VID_vvvv&PID_pppp\<bus>-<port chain>, which gives paths such as
// usb#vid_04b4&pid_00f3#1-2.3.
std::wstring ToDevicePath(const std::wstring& instanceId);

// The instance identifier of a USB device found on bus `bus` behind the
// given port chain ("2.3"; empty for a device without a hub above it).
std::wstring UsbInstanceId(uint16_t vendorId, uint16_t productId, unsigned bus,
                           const std::string& portChain);

// Parses "usb#", "vid_", a hexadecimal number, "&", "pid_", a hexadecimal
// number; each literal must match exactly where it stands. Anything may
// follow. False when the path does not have that form.
bool ParseDevicePath(const std::wstring& path, uint32_t* vendorId, uint32_t* productId);
