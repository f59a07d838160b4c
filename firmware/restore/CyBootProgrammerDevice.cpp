#include "firmware/restore/CyBootProgrammerDevice.h"

#include <iostream>
#include "firmware/restore/RestoreSession.h"
#include "logging/ConsoleLine.h"

CyBootProgrammerDevice::CyBootProgrammerDevice() : CyBootProgrammerDevice(RestoreSession::ForCurrentContext()) {}

CyBootProgrammerDevice::CyBootProgrammerDevice(const RestoreStageSettings& settings) : m_name("BootProgrammer") {
    WriteConsoleLine(std::cout, "Restoring firmware (Part 2/2)");
    RunBootProgrammerStage(settings);
    WriteConsoleLine(std::cout, "   ... Done");
    WriteConsoleLine(std::cout, "Firmware update succeeded. Press Enter to quit.");
    WriteConsoleLine(std::cout, "");
    WriteConsoleLine(std::cout, "After quitting, you must unplug and replug your Tyvo Controller.");
    WriteConsoleLine(std::cout, "Then, select \"Resume Tracking\" in the Tyvo tray icon.");
    if (settings.finishRestore) {
        settings.finishRestore();
        return;
    }
    QuitAfterEnter();
}
