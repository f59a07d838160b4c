#pragma once

#include <cstdint>

#include "camera/capture/DeviceClass.h"
#include "camera/capture/HardwareAbstraction.h"
#include "camera/capture/MemoryWindow.h"
#include "camera/capture/UVCInterfaceV4L2.h"
#include "context/Autowired.h"

// A device object cut down to what the control channel and the firmware
// update ask of it: the Cypress memory window, the firmware version at
// address 98, the raw control channel, over the capture object of its
// context.
class ChannelDevice : public HardwareAbstraction {
public:
    explicit ChannelDevice(MemoryWindowLimits limits = {}) : m_limits(limits) {}

    void readMemory(std::uint32_t address, std::uint8_t* buffer, std::uint32_t length) override {
        auto lock = lockMemory();
        readMemoryWindow(*m_capture, address, buffer, length, m_limits);
    }
    void writeMemory(std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length) override {
        auto lock = lockMemory();
        writeMemoryWindowVerified(*m_capture, address, buffer, length, m_limits);
    }
    int firmwareVersion() override {
        std::uint8_t bytes[2] = {0, 0};
        readMemory(98, bytes, 2);
        return static_cast<std::int16_t>(bytes[0] | bytes[1] << 8);
    }
    bool putControl(int control, int value) override { return m_capture->putControl(control, value); }

    Calibration currentCalibration() const override { return Calibration(1.0f); }
    Calibration readCalibration() override {
        CalibrationBlock block{};
        readMemory(100, block.data(), static_cast<std::uint32_t>(block.size()));
        return Calibration(block);
    }
    bool isReversed() const override { return false; }
    bool setControl(int, int) override { return false; }
    void toggleOrientation() override {}

    void identify(const std::string& serial) { setIdentity(serial, deviceClassForSerial(serial)); }
    UVCInterfaceV4L2& capture() { return *m_capture; }

private:
    MemoryWindowLimits m_limits;
    AutoRequired<UVCInterfaceV4L2> m_capture;
};
