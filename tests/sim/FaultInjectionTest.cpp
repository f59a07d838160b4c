// Each fault kind as the host sees it through plain libusb.

#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "tests/sim/LibusbSession.h"

#include <gtest/gtest.h>

namespace tyvo::sim {
namespace {

using namespace std::chrono_literals;
using simtest::LibusbSession;

class FaultsOnBootLoader : public ::testing::Test {
protected:
    void SetUp() override {
        chip = Fx3Chip::create();
        auto model = chip->powerUp();
        loader = std::static_pointer_cast<StandardUsbDevice>(model);
        port = bus.plug(model);
        handle = usb.open(Fx3Chip::kVendorId, Fx3Chip::kBootLoaderProductId);
        ASSERT_NE(handle, nullptr);
        block.assign(64, 0);
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i + 1);
        ASSERT_EQ(usb.controlOut(handle, 0xA0, 0, 0x4000, block), 64);
    }
    void TearDown() override { bus.stopTimers(); }
    int readBack(std::vector<uint8_t>& data) { return usb.controlIn(handle, 0xA0, 0, 0x4000, data, 64); }

    EmulatedUsbBus bus;
    LibusbSession usb;
    std::shared_ptr<Fx3Chip> chip;
    std::shared_ptr<StandardUsbDevice> loader;
    std::string port;
    libusb_device_handle* handle = nullptr;
    Bytes block;
};

TEST_F(FaultsOnBootLoader, FailStallAndTimeoutHitOnlyTheKthMatchingTransfer) {
    loader->injectFault(FaultRule{FaultKind::Fail, 2, 0xA0, true, false});
    loader->injectFault(FaultRule{FaultKind::Stall, 3, 0xA0, true, false});
    loader->injectFault(FaultRule{FaultKind::Timeout, 4, 0xA0, true, false});
    std::vector<uint8_t> data;
    EXPECT_EQ(readBack(data), 64);
    EXPECT_EQ(readBack(data), LIBUSB_ERROR_IO);
    EXPECT_EQ(readBack(data), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb.controlIn(handle, 0xA0, 0, 0x4000, data, 64, 150), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(readBack(data), 64);
    EXPECT_EQ(data, block);
    const auto log = loader->vendorRequests();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[2].fault, FaultKind::Fail);
    EXPECT_EQ(log[2].status, TransferStatus::Failed);
    EXPECT_EQ(log[4].fault, FaultKind::Timeout);
}

TEST_F(FaultsOnBootLoader, CorruptReadAndGarbageChangeOnlyTheDataComingBack) {
    loader->injectFault(FaultRule{FaultKind::CorruptRead, 1, 0xA0, true, false});
    loader->injectFault(FaultRule{FaultKind::Garbage, 2, 0xA0, true, false});
    std::vector<uint8_t> data;
    ASSERT_EQ(readBack(data), 64);
    ASSERT_NE(data, block);
    int differing = 0;
    for (std::size_t i = 0; i < 64; ++i) differing += data[i] != block[i];
    EXPECT_EQ(differing, 1);
    ASSERT_EQ(readBack(data), 64);
    EXPECT_NE(data, block);
    EXPECT_EQ(chip->readMemory(0x40000000, 64), block);  // RAM untouched
    ASSERT_EQ(readBack(data), 64);
    EXPECT_EQ(data, block);
}

TEST_F(FaultsOnBootLoader, GarbageOnAWriteIsAcceptedButNotStored) {
    loader->injectFault(FaultRule{FaultKind::Garbage, 1, 0xA0, false, false});
    ASSERT_EQ(usb.controlOut(handle, 0xA0, 0, 0x4000, Bytes(64, 0xEE)), 64);
    EXPECT_EQ(chip->readMemory(0x40000000, 64), block);
}

TEST_F(FaultsOnBootLoader, UnplugAtTransferKFailsItAndTakesTheDeviceOffTheBus) {
    loader->injectFault(FaultRule{FaultKind::Unplug, 1, 0xA0, false, false});
    EXPECT_EQ(usb.controlOut(handle, 0xA0, 0, 0x4000, Bytes(64, 0)), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_TRUE(bus.waitIdle(5s));
    EXPECT_TRUE(bus.devices().empty());
    EXPECT_EQ(chip->readMemory(0x40000000, 64), block);
    std::vector<uint8_t> data;
    EXPECT_EQ(readBack(data), LIBUSB_ERROR_NO_DEVICE);
}

TEST(Fx3Faults, AStuckFlashStaysBusy) {
    Fx3Options options;
    options.flashStuckBusy = true;
    auto chip = Fx3Chip::create(options);
    chip->powerUp();
    Bytes sig(kBootProgrammerSignature, kBootProgrammerSignature + 16);
    ASSERT_TRUE(chip->writeMemory(0x40000000, sig));
    auto programmer = chip->jump(0x40000000, nullptr);
    TransferRequest erase;
    erase.setup = SetupPacket{0x40, 0xC4, 1, 0, 0};
    ASSERT_EQ(programmer->transfer(erase).status, TransferStatus::Completed);
    TransferRequest poll;
    poll.setup = SetupPacket{0xC0, 0xC4, 0, 0, 1};
    poll.inLength = 1;
    for (int i = 0; i < 50; ++i) ASSERT_EQ(programmer->transfer(poll).in, Bytes{1});
}

}  // namespace
}  // namespace tyvo::sim
