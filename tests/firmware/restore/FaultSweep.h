#pragma once
// What a restore must make of a fault at one transfer: the transfers of a
// clean restore, each with its role, and the outcome the stages give for a
// fault of each kind there. Shared by the in-process sweep and the
// end-to-end samples.

#include "sim/FaultPlan.h"
#include "sim/UsbDeviceModel.h"

#include <string>
#include <vector>

namespace restoretest {

struct TransferRole {
    enum class Kind {
        DeviceOrConfigurationRead,  // a descriptor the device cannot be opened without
        OtherOpenRequest,           // language, strings, alternate setting
        RamWrite,
        RamRead,
        Jump,
        Erase,
        StatusPoll,
        FlashWrite,
        Other,
    } kind = Kind::Other;
    int open = 0;  // 1 or 2: the two opens of a stage (construction, then Open)
    int pass = 0;  // RAM blocks: 1 to 3
};

// The roles of a device's transfers, in order.
std::vector<TransferRole> ClassifyTransfers(const std::vector<tyvo::sim::TransferRecord>& log);

enum class Outcome {
    Restored,
    Stage1NotOpened,
    Stage1Error1,
    Stage1DoneWithoutRestart,  // the jump failed: the chip never comes back
    Stage2NotOpened,
    Stage2Error1,
    Stage2Error7,
};

const char* OutcomeName(Outcome outcome);

// The outcome of a fault of this kind at transfer k (1-based) of the device
// of a stage, given the roles of that device's transfers in a clean run.
Outcome ExpectedOutcome(int stage, tyvo::sim::FaultKind kind, const std::vector<TransferRole>& roles, std::size_t k);

// Everything the tool prints for one plug-in with that outcome.
std::string ExpectedOutput(Outcome outcome);

}  // namespace restoretest
