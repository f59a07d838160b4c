#include "camera/capture/MemoryWindow.h"

#include <thread>

#include "camera/capture/ControlNumbers.h"
#include "camera/capture/UVCInterface.h"
#include "devices/core/DeviceExceptions.h"

namespace {

using Clock = std::chrono::steady_clock;

// The retry budget of one byte.
class ByteBudget {
public:
    explicit ByteBudget(const MemoryWindowLimits& limits)
        : m_limits(limits), m_deadline(Clock::now() + limits.perByte) {}

    // After a refused request: pause, or give up once the budget is spent.
    void refused() const {
        if (Clock::now() >= m_deadline) throw NotConnectedException();
        std::this_thread::sleep_for(m_limits.retryPause);
    }

    template <class Request>
    void untilAccepted(Request request) const {
        while (!request()) refused();
    }

private:
    const MemoryWindowLimits& m_limits;
    const Clock::time_point m_deadline;
};

void selectAddress(UVCInterface& channel, const ByteBudget& budget, std::uint32_t address) {
    budget.untilAccepted([&] { return channel.putControl(kMemoryAddressControl, static_cast<int>(address)); });
}

void writeData(UVCInterface& channel, const ByteBudget& budget, std::uint8_t byte) {
    budget.untilAccepted([&] { return channel.putControl(kMemoryDataControl, byte); });
}

}  // namespace

void readMemoryWindow(UVCInterface& channel, std::uint32_t address, std::uint8_t* buffer, std::uint32_t length,
                      const MemoryWindowLimits& limits) {
    for (std::uint32_t i = 0; i < length; ++i, ++address) {
        const ByteBudget budget(limits);
        selectAddress(channel, budget, address);
        int value = 0;
        budget.untilAccepted([&] { return channel.getControl(kMemoryDataControl, value); });
        buffer[i] = static_cast<std::uint8_t>(value & 0xFF);
    }
}

void writeMemoryWindowVerified(UVCInterface& channel, std::uint32_t address, const std::uint8_t* buffer,
                               std::uint32_t length, const MemoryWindowLimits& limits) {
    for (std::uint32_t i = 0; i < length; ++i, ++address) {
        const ByteBudget budget(limits);
        for (;;) {
            selectAddress(channel, budget, address);
            int readBack = -1;
            if (channel.getControl(kMemoryAddressControl, readBack) && readBack == static_cast<int>(address)) break;
            budget.refused();
        }
        writeData(channel, budget, buffer[i]);
    }
}

void writeMemoryWindow(UVCInterface& channel, std::uint32_t address, const std::uint8_t* buffer, std::uint32_t length,
                       const MemoryWindowLimits& limits) {
    for (std::uint32_t i = 0; i < length; ++i, ++address) {
        const ByteBudget budget(limits);
        selectAddress(channel, budget, address);
        writeData(channel, budget, buffer[i]);
    }
}
