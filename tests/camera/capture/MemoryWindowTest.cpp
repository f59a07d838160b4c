// The memory window over the control channel: the order of requests, the
// retries of refused requests, the address read-back of the Cypress write,
// and the bound after which an access gives up.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "camera/capture/ControlNumbers.h"
#include "camera/capture/MemoryWindow.h"
#include "camera/capture/UVCInterface.h"
#include "context/CoreContext.h"
#include "devices/core/DeviceExceptions.h"

namespace {

using namespace std::chrono_literals;

// A controller's window as the channel sees it: control 9 selects an
// address, control 8 reads or writes the byte there. Requests can be refused
// a number of times per control, and the address register can report a
// wrong value once.
class WindowChannel : public UVCInterface {
public:
    WindowChannel() { Ready(); }

    bool controlRange(int, int&, int&, int&, int&) override { return false; }
    void openCamera() override {}
    void runStream() override {}
    void closeCamera() override {}

    bool readControl(int control, int& value) override {
        log.push_back("get" + std::to_string(control));
        if (refused(control)) return false;
        if (control == kMemoryAddressControl) {
            if (refuseAddressReadBacks > 0) {
                --refuseAddressReadBacks;
                return false;
            }
            value = static_cast<int>(address) + (skewReadBack ? 1 : 0);
            skewReadBack = false;
        } else if (control == kMemoryDataControl) {
            value = 0x100 | memory[address];  // the upper bits are not data
        } else {
            return false;
        }
        return true;
    }
    bool writeControl(int control, int value) override {
        log.push_back("put" + std::to_string(control));
        if (refused(control)) return false;
        if (control == kMemoryAddressControl)
            address = static_cast<std::uint32_t>(value);
        else if (control == kMemoryDataControl)
            memory[address] = static_cast<std::uint8_t>(value);
        else
            return false;
        return true;
    }

    bool refused(int control) {
        auto it = refusals.find(control);
        if (it == refusals.end() || it->second == 0) return false;
        if (it->second > 0) --it->second;
        return true;
    }

    std::array<std::uint8_t, 64> memory{};
    std::uint32_t address = 0;
    std::map<int, int> refusals;  // -1: for ever
    bool skewReadBack = false;
    int refuseAddressReadBacks = 0;
    std::vector<std::string> log;
};

class MemoryWindow : public ::testing::Test {
protected:
    void SetUp() override {
        CurrentContextScope scope(context);
        channel = std::make_shared<WindowChannel>();
        for (std::size_t i = 0; i < channel->memory.size(); ++i) channel->memory[i] = static_cast<std::uint8_t>(i * 3);
    }
    std::shared_ptr<CoreContext> context = CoreContext::Current()->NewChild();
    std::shared_ptr<WindowChannel> channel;
    MemoryWindowLimits fast{1ms, 100ms};
};

TEST_F(MemoryWindow, AReadSelectsEachAddressThenReadsItsByte) {
    std::array<std::uint8_t, 3> bytes{};
    readMemoryWindow(*channel, 10, bytes.data(), 3, fast);
    EXPECT_EQ(bytes, (std::array<std::uint8_t, 3>{30, 33, 36}));
    EXPECT_EQ(channel->log, (std::vector<std::string>{"put9", "get8", "put9", "get8", "put9", "get8"}));
}

TEST_F(MemoryWindow, RefusedRequestsAreRetried) {
    channel->refusals = {{9, 3}, {8, 2}};
    std::uint8_t byte = 0;
    readMemoryWindow(*channel, 20, &byte, 1, fast);
    EXPECT_EQ(byte, 60);
    EXPECT_EQ(channel->log, (std::vector<std::string>{"put9", "put9", "put9", "put9", "get8", "get8", "get8"}));
}

TEST_F(MemoryWindow, TheCypressWriteReadsTheAddressBackAndStartsAgainWhenItDidNotStick) {
    const std::array<std::uint8_t, 2> bytes{0xAB, 0xCD};
    channel->skewReadBack = true;
    writeMemoryWindowVerified(*channel, 40, bytes.data(), 2, fast);
    EXPECT_EQ(channel->memory[40], 0xAB);
    EXPECT_EQ(channel->memory[41], 0xCD);
    EXPECT_EQ(channel->log, (std::vector<std::string>{"put9", "get9", "put9", "get9", "put8",  //
                                                      "put9", "get9", "put8"}));
}

TEST_F(MemoryWindow, AFailedReadBackAlsoStartsAgain) {
    const std::uint8_t byte = 0x5A;
    channel->refuseAddressReadBacks = 1;
    writeMemoryWindowVerified(*channel, 5, &byte, 1, fast);
    EXPECT_EQ(channel->memory[5], 0x5A);
    EXPECT_EQ(channel->log, (std::vector<std::string>{"put9", "get9", "put9", "get9", "put8"}));
}

TEST_F(MemoryWindow, TheEmbeddedWriteHasNoReadBack) {
    const std::array<std::uint8_t, 2> bytes{1, 2};
    writeMemoryWindow(*channel, 60, bytes.data(), 2, fast);
    EXPECT_EQ(channel->memory[60], 1);
    EXPECT_EQ(channel->memory[61], 2);
    EXPECT_EQ(channel->log, (std::vector<std::string>{"put9", "put8", "put9", "put8"}));
}

TEST_F(MemoryWindow, ABytePastItsBudgetFailsAsNotConnected) {
    std::uint8_t byte = 0;
    channel->refusals = {{8, -1}};
    try {
        readMemoryWindow(*channel, 0, &byte, 1, fast);
        FAIL() << "the read went through";
    } catch (const NotConnectedException& e) {
        EXPECT_STREQ(e.what(), "Device is no longer connected");
    }
    channel->refusals = {{9, -1}};
    EXPECT_THROW(writeMemoryWindow(*channel, 0, &byte, 1, fast), NotConnectedException);
    // A read-back that never matches is refused for ever as well.
    struct Skewing : WindowChannel {
        bool readControl(int control, int& value) override {
            skewReadBack = true;
            return WindowChannel::readControl(control, value);
        }
    };
    std::shared_ptr<Skewing> skewing;
    {
        CurrentContextScope scope(context);
        skewing = std::make_shared<Skewing>();
    }
    EXPECT_THROW(writeMemoryWindowVerified(*skewing, 0, &byte, 1, fast), NotConnectedException);
}

}  // namespace
