#pragma once

#include <string>

#include "devices/core/IdentifiableDevice.h"
#include "firmware/restore/RestoreStages.h"

// The FX3 running the boot programmer (0x04B4/0x4720). Its constructor is
// stage 2 of the restore: it prints the stage line, writes the controller
// firmware into the SPI flash, prints the closing lines, waits for Enter and
// ends the process with status 0. A failed stage prints its line and throws.
class CyBootProgrammerDevice : public IdentifiableDevice {
public:
    CyBootProgrammerDevice();
    // With settings.finishRestore set, that runs instead of the wait for
    // Enter and the end of the process.
    explicit CyBootProgrammerDevice(const RestoreStageSettings& settings);

    const std::string& serialNumber() const override { return m_name; }
    int deviceClass() const override { return 0; }

private:
    std::string m_name;
};
