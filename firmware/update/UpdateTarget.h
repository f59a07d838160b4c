#pragma once

#include <cstdint>
#include <string>

class LogHandle;

// What the in-place firmware update needs of a running controller. The camera
// layer's device objects implement it; the firmware layer sees nothing else of
// them (firmware/ sits below camera/).
class UpdateTarget {
public:
    virtual ~UpdateTarget() = default;

    // The firmware version the controller runs now.
    virtual int firmwareVersion() = 0;

    virtual const std::string& serialNumber() const = 0;

    // Device memory, byte by byte through the control channel's memory
    // window; each call holds the device's memory lock for its whole transfer.
    // Failures of the control channel surface as NotConnectedException.
    virtual void readMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) = 0;
    virtual void writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) = 0;

    // One numbered control of the control channel, as it is (no device
    // mapping); true when the request succeeded.
    virtual bool putControl(int control, int value) = 0;

    // Fire the FirmwareStatusListener events to the receivers of the device's
    // context.
    virtual void fireFirmwareUpdateStarted(const std::string& serialNumber) = 0;
    virtual void fireFirmwareUpdateFinished() = 0;

    // The device's handle on the log server.
    virtual const LogHandle& updateLog() const = 0;
};
