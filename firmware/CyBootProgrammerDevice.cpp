#include "firmware/CyBootProgrammerDevice.h"

#include <iostream>

CyBootProgrammerDevice::CyBootProgrammerDevice() : CyBootProgrammerDevice(RestoreStageSettings{}) {}

CyBootProgrammerDevice::CyBootProgrammerDevice(const RestoreStageSettings& settings) : m_name("BootProgrammer") {
    std::cout << "Restoring firmware (Part 2/2)" << std::endl;
    RunBootProgrammerStage(settings);
    std::cout << "   ... Done" << std::endl;
    std::cout << "Firmware update succeeded. Press Enter to quit." << std::endl;
    std::cout << std::endl;
    std::cout << "After quitting, you must unplug and replug your Tyvo Controller." << std::endl;
    std::cout << "Then, select \"Resume Tracking\" in the Tyvo tray icon." << std::endl;
    if (settings.finishRestore) {
        settings.finishRestore();
        return;
    }
    QuitAfterEnter();
}
