#include "logging/LogClock.h"

#include <chrono>

namespace {

class SystemLogClock : public LogClock {
public:
    std::time_t now() const override { return std::time(nullptr); }
    int64_t steadyMilliseconds() const override {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }
};

}  // namespace

std::shared_ptr<LogClock> systemLogClock() {
    static const auto clock = std::make_shared<SystemLogClock>();
    return clock;
}
