#pragma once
// Faults a device model can be told to show: the k-th matching transfer
// fails, stalls, never completes, unplugs the device, or has its read data
// corrupted or replaced by garbage.

#include "sim/UsbTransfer.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tyvo::sim {

enum class FaultKind {
    Fail,         // protocol error on the wire
    Stall,        // STALL handshake
    Timeout,      // the device never answers; the host must cancel
    Unplug,       // the device leaves the bus during this transfer
    CorruptRead,  // one byte of the device-to-host data is flipped
    Garbage,      // device-to-host data replaced by noise; host-to-device data ignored
};

const char* faultKindName(FaultKind kind);

struct FaultRule {
    FaultKind kind = FaultKind::Fail;
    unsigned nth = 1;                  // 1-based among the transfers the rule matches
    std::optional<uint8_t> request;    // count only control transfers with this bRequest
    std::optional<bool> deviceToHost;  // count only this direction
    bool fromThenOn = false;           // fire on every match from the nth on
};

// Not thread-safe: the owning model calls it under its own lock.
class FaultPlan {
public:
    void add(FaultRule rule);
    void clear();
    bool empty() const { return m_rules.empty(); }
    // Counts the transfer against every rule; the first rule that fires wins.
    std::optional<FaultKind> next(const TransferRequest& request);

private:
    struct Entry {
        FaultRule rule;
        unsigned seen = 0;
    };
    std::vector<Entry> m_rules;
};

}  // namespace tyvo::sim
