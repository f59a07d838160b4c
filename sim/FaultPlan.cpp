#include "sim/FaultPlan.h"

namespace tyvo::sim {

const char* faultKindName(FaultKind kind) {
    switch (kind) {
        case FaultKind::Fail: return "fail";
        case FaultKind::Stall: return "stall";
        case FaultKind::Timeout: return "timeout";
        case FaultKind::Unplug: return "unplug";
        case FaultKind::CorruptRead: return "corrupt-read";
        case FaultKind::Garbage: return "garbage";
    }
    return "?";
}

void FaultPlan::add(FaultRule rule) { m_rules.push_back(Entry{rule, 0}); }

void FaultPlan::clear() { m_rules.clear(); }

std::optional<FaultKind> FaultPlan::next(const TransferRequest& request) {
    std::optional<FaultKind> fired;
    for (auto& entry : m_rules) {
        const FaultRule& r = entry.rule;
        if (r.request && (request.type != TransferType::Control || request.setup.bRequest != *r.request)) continue;
        if (r.deviceToHost && request.deviceToHost() != *r.deviceToHost) continue;
        ++entry.seen;
        const bool fires = r.fromThenOn ? entry.seen >= r.nth : entry.seen == r.nth;
        if (fires && !fired) fired = r.kind;
    }
    return fired;
}

}  // namespace tyvo::sim
