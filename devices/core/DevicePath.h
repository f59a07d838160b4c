#pragma once

#include <cstdint>
#include <string>

// A device path is a device's instance identifier in lower case with every
// backslash replaced by '#'. It keys the device contexts, and the capture
// layer finds a camera by it. On Linux the identifier is built as
// USB\VID_vvvv&PID_pppp\<bus>-<port chain>, which gives paths such as
// usb#vid_04b4&pid_00f3#1-2.3.
std::wstring ToDevicePath(const std::wstring& instanceId);

// The instance identifier of a USB device at a place on the bus given as
// "<bus>-<port chain>" (for example "1-2.3", the name the kernel gives it).
std::wstring UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::string& busPortChain);

// Parses "usb#", "vid_", a hexadecimal number, "&", "pid_", a hexadecimal
// number; each literal must match exactly where it stands. Anything may
// follow. False when the path does not have that form.
bool ParseDevicePath(const std::wstring& path, uint32_t* vendorId, uint32_t* productId);
