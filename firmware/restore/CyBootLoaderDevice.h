#pragma once

#include <string>

#include "devices/core/IdentifiableDevice.h"
#include "firmware/restore/RestoreStages.h"

// The FX3 in its boot loader (0x04B4/0x00F3). Its constructor is stage 1 of
// the restore: it prints the stage line, runs the stage and then always
// throws, so that no object of this class is ever kept; by then the chip is
// restarting as the boot programmer. Failures of the stage print their own
// line and throw as well.
class CyBootLoaderDevice : public IdentifiableDevice {
public:
    CyBootLoaderDevice();
    explicit CyBootLoaderDevice(const RestoreStageSettings& settings);

    const std::string& serialNumber() const override { return m_name; }
    int deviceClass() const override { return 0; }

private:
    std::string m_name;
};
