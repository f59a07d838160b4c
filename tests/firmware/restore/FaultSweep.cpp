#include "tests/firmware/restore/FaultSweep.h"

#include "tests/firmware/restore/RestoreTestSupport.h"

namespace restoretest {

using tyvo::sim::FaultKind;
using Kind = TransferRole::Kind;

std::vector<TransferRole> ClassifyTransfers(const std::vector<tyvo::sim::TransferRecord>& log) {
    std::vector<TransferRole> roles;
    int open = 0;
    int ramTransfers = 0;
    for (const auto& r : log) {
        TransferRole role;
        const auto& s = r.setup;
        if (s.requestType() == 0) {
            const bool getDescriptor = s.bRequest == 6 && s.deviceToHost();
            // Each open starts by reading the device descriptor.
            if (getDescriptor && s.wValue == 0x0100) ++open;
            const bool essential = getDescriptor && (s.wValue == 0x0100 || s.wValue >> 8 == 2);
            role.kind = essential ? Kind::DeviceOrConfigurationRead : Kind::OtherOpenRequest;
            role.open = open;
        } else if (s.requestType() == 2 && s.bRequest == 0xA0) {
            if (!s.deviceToHost() && s.wLength == 0) {
                role.kind = Kind::Jump;
            } else {
                role.kind = s.deviceToHost() ? Kind::RamRead : Kind::RamWrite;
                role.pass = ramTransfers / 2 % 3 + 1;
                ++ramTransfers;
            }
        } else if (s.requestType() == 2 && s.bRequest == 0xC4) {
            role.kind = s.deviceToHost() ? Kind::StatusPoll : Kind::Erase;
        } else if (s.requestType() == 2 && s.bRequest == 0xC2) {
            role.kind = Kind::FlashWrite;
        }
        roles.push_back(role);
    }
    return roles;
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Restored: return "restored";
        case Outcome::Stage1NotOpened: return "stage 1 cannot open";
        case Outcome::Stage1Error1: return "stage 1 error 1";
        case Outcome::Stage1DoneWithoutRestart: return "stage 1 done, no restart";
        case Outcome::Stage2NotOpened: return "stage 2 cannot open";
        case Outcome::Stage2Error1: return "stage 2 error 1";
        case Outcome::Stage2Error7: return "stage 2 error 7";
    }
    return "?";
}

namespace {

// A device unplugged while it is being opened: the open fails unless every
// descriptor it needs was already read.
bool EssentialReadFrom(const std::vector<TransferRole>& roles, std::size_t index) {
    const int open = roles[index].open;
    for (std::size_t i = index; i < roles.size() && roles[i].open == open; ++i)
        if (roles[i].kind == Kind::DeviceOrConfigurationRead) return true;
    return false;
}

}  // namespace

Outcome ExpectedOutcome(int stage, FaultKind kind, const std::vector<TransferRole>& roles, std::size_t k) {
    const std::size_t i = k - 1;
    const TransferRole& role = roles.at(i);
    const bool unplug = kind == FaultKind::Unplug;
    const Outcome notOpened = stage == 1 ? Outcome::Stage1NotOpened : Outcome::Stage2NotOpened;
    // The first load request after an open that succeeded on a device
    // already gone: a RAM write (error 1) or a sector erase (error 7).
    const Outcome firstLoadFails = stage == 1 ? Outcome::Stage1Error1 : Outcome::Stage2Error7;

    switch (role.kind) {
        case Kind::DeviceOrConfigurationRead:
        case Kind::OtherOpenRequest:
            if (role.open == 1) {
                // The device is opened a second time: only a device that is gone
                // stays unopened.
                return unplug ? notOpened : Outcome::Restored;
            }
            if (unplug) return EssentialReadFrom(roles, i) ? notOpened : firstLoadFails;
            return role.kind == Kind::DeviceOrConfigurationRead ? notOpened : Outcome::Restored;
        case Kind::RamWrite:
        case Kind::RamRead:
            // The first two passes may fail; a device that is gone fails the third.
            return unplug || role.pass == 3 ? Outcome::Stage1Error1 : Outcome::Restored;
        case Kind::Jump: return Outcome::Stage1DoneWithoutRestart;
        case Kind::Erase:
        case Kind::StatusPoll: return Outcome::Stage2Error7;
        case Kind::FlashWrite: return Outcome::Stage2Error1;
        case Kind::Other: break;
    }
    return Outcome::Restored;
}

std::string ExpectedOutput(Outcome outcome) {
    switch (outcome) {
        case Outcome::Restored: return SuccessfulRestoreOutput();
        case Outcome::Stage1NotOpened: return kStage1Header + kNotOpened;
        case Outcome::Stage1Error1: return kStage1Header + ErrorLine(1, 1);
        case Outcome::Stage1DoneWithoutRestart: return kStage1Header + kDone;
        case Outcome::Stage2NotOpened: return kStage1Header + kDone + kStage2Header + kNotOpened;
        case Outcome::Stage2Error1: return kStage1Header + kDone + kStage2Header + ErrorLine(1, 2);
        case Outcome::Stage2Error7: return kStage1Header + kDone + kStage2Header + ErrorLine(7, 2);
    }
    return {};
}

}  // namespace restoretest
