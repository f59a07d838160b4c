#include "firmware/CyBootLoaderDevice.h"

#include <iostream>

#include "devices/DeviceExceptions.h"

CyBootLoaderDevice::CyBootLoaderDevice() : CyBootLoaderDevice(RestoreStageSettings{}) {}

CyBootLoaderDevice::CyBootLoaderDevice(const RestoreStageSettings& settings) : m_name("BootLoader") {
    std::cout << "The entire process should take less than a couple of minutes." << std::endl;
    std::cout << std::endl;
    std::cout << "Restoring firmware (Part 1/2)" << std::endl;
    RunBootLoaderStage(settings);
    std::cout << "   ... Done" << std::endl;
    // The device is not kept: the chip is on its way back as the boot
    // programmer, which the monitor takes as a new device.
    throw device_exception("");
}
