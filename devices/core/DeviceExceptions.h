#pragma once

#include <exception>

// The failures of the device layer. Each carries a pointer to a static text
// and nothing else; the device attach monitor tells them apart to decide
// whether a device may be taken again.

// A device object cannot be, or is not to be, kept.
class device_exception : public std::exception {
public:
    explicit device_exception(const char* message = "") noexcept : m_message(message) {}
    const char* what() const noexcept override { return m_message; }

private:
    const char* m_message;
};

// The capture layer reports that the device disappeared.
class device_lost_exception : public device_exception {
public:
    using device_exception::device_exception;
};

// The capture layer cannot find or open the device.
class hardware_exception : public std::exception {
public:
    explicit hardware_exception(const char* message = "") noexcept : m_message(message) {}
    const char* what() const noexcept override { return m_message; }

private:
    const char* m_message;
};

// A failure after which the device must not be taken again until the next
// device change or pause.
class scorch_exception : public hardware_exception {
public:
    using hardware_exception::hardware_exception;
};

// A control request finds the capture object stopping or the device gone.
class NotConnectedException : public hardware_exception {
public:
    explicit NotConnectedException(const char* message = "Device is no longer connected") noexcept
        : hardware_exception(message) {}
};

// A calibration block or file fails its checks.
class calibration_exception : public std::exception {
public:
    explicit calibration_exception(const char* message = "") noexcept : m_message(message) {}
    const char* what() const noexcept override { return m_message; }

private:
    const char* m_message;
};
