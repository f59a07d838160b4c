#include "firmware/restore/CyBootLoaderDevice.h"

#include <iostream>

#include "devices/core/DeviceExceptions.h"
#include "firmware/restore/RestoreSession.h"
#include "logging/ConsoleLine.h"

CyBootLoaderDevice::CyBootLoaderDevice() : CyBootLoaderDevice(RestoreSession::ForCurrentContext()) {}

CyBootLoaderDevice::CyBootLoaderDevice(const RestoreStageSettings& settings) : m_name("BootLoader") {
    WriteConsoleLine(std::cout, "The entire process should take less than a couple of minutes.");
    WriteConsoleLine(std::cout, "");
    WriteConsoleLine(std::cout, "Restoring firmware (Part 1/2)");
    RunBootLoaderStage(settings);
    WriteConsoleLine(std::cout, "   ... Done");
    // The device is not kept: the chip is on its way back as the boot
    // programmer, which the monitor takes as a new device.
    throw device_exception("");
}
