// The boot programmer and its SPI flash, reached the way the restore does:
// boot loader, jump, re-enumeration, then vendor requests.

#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "tests/sim/LibusbSession.h"

#include <gtest/gtest.h>

namespace tyvo::sim {
namespace {

using namespace std::chrono_literals;
using simtest::LibusbSession;

class BootProgrammerOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        Fx3Options options;
        options.eraseBusyPolls = 3;
        chip = Fx3Chip::create(options);
        bus.plug(chip->powerUp(), "1-1");
        libusb_device_handle* loader = usb.open(Fx3Chip::kVendorId, Fx3Chip::kBootLoaderProductId);
        ASSERT_NE(loader, nullptr);
        Bytes sig(kBootProgrammerSignature, kBootProgrammerSignature + 16);
        ASSERT_EQ(usb.controlOut(loader, 0xA0, 0x0000, 0x4000, sig), 16);
        ASSERT_EQ(usb.controlOut(loader, 0xA0, 0x0000, 0x4000, {}), 0);
        ASSERT_TRUE(bus.waitForProduct(Fx3Chip::kBootProgrammerProductId, 5s));
        ASSERT_TRUE(bus.waitIdle(5s));
        handle = usb.open(Fx3Chip::kVendorId, Fx3Chip::kBootProgrammerProductId);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override { bus.stopTimers(); }

    int status(uint16_t sector) {
        std::vector<uint8_t> s;
        const int r = usb.controlIn(handle, 0xC4, 0, sector, s, 1);
        return r == 1 ? s[0] : -1;
    }

    EmulatedUsbBus bus;
    LibusbSession usb;
    std::shared_ptr<Fx3Chip> chip;
    libusb_device_handle* handle = nullptr;
};

TEST_F(BootProgrammerOnBus, ErasesProgramsAndReadsBackThroughVendorRequests) {
    ASSERT_EQ(usb.controlOut(handle, 0xC4, 1, 1, {}), 0);  // erase sector 1
    EXPECT_EQ(status(1), 1);
    EXPECT_EQ(status(1), 1);
    EXPECT_EQ(status(1), 1);
    EXPECT_EQ(status(1), 0);
    EXPECT_EQ(chip->flash().eraseCount(1), 1u);

    Bytes page(2048);
    for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i ^ 0x5A);
    ASSERT_EQ(usb.controlOut(handle, 0xC2, 0, 256, page), 2048);  // page 256 = byte 0x10000
    EXPECT_EQ(chip->flash().read(0x10000, 2048), page);

    // Programming again can only clear bits.
    ASSERT_EQ(usb.controlOut(handle, 0xC2, 0, 256, Bytes(2048, 0x0F)), 2048);
    std::vector<uint8_t> back;
    ASSERT_EQ(usb.controlIn(handle, 0xC3, 0, 256, back, 16), 16);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(back[i], page[i] & 0x0F);

    auto log = chip->bootProgrammer()->vendorRequests();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(log[0].setup.wValue, 1);
    EXPECT_EQ(log[0].setup.wIndex, 1);
}

TEST_F(BootProgrammerOnBus, RefusesWritesWhileBusyMalformedErasesAndOutOfRangeSectors) {
    ASSERT_EQ(usb.controlOut(handle, 0xC4, 1, 0, {}), 0);
    EXPECT_EQ(usb.controlOut(handle, 0xC2, 0, 0, Bytes(256, 0)), LIBUSB_ERROR_PIPE);  // still busy
    EXPECT_EQ(usb.controlOut(handle, 0xC4, 1, 1, {}), LIBUSB_ERROR_PIPE);             // erase while busy
    while (status(0) == 1) {
    }
    EXPECT_EQ(usb.controlOut(handle, 0xC4, 0, 2, {}), LIBUSB_ERROR_PIPE);                // wValue must be 1
    EXPECT_EQ(usb.controlOut(handle, 0xC4, 1, 2, Bytes{1}), LIBUSB_ERROR_PIPE);          // no data allowed
    EXPECT_EQ(usb.controlOut(handle, 0xC4, 1, 32, {}), LIBUSB_ERROR_PIPE);               // 2 MB has 32 sectors
    EXPECT_EQ(usb.controlOut(handle, 0xC2, 0, 8191, Bytes(512, 0)), LIBUSB_ERROR_PIPE);  // past the end
    EXPECT_EQ(usb.controlOut(handle, 0xA0, 0, 0x4000, Bytes(4, 0)), LIBUSB_ERROR_PIPE);  // boot loader request
}

TEST(Fx3Timing, ModelledTimeCountsBusTimePageProgramsAndErases) {
    Fx3Options options;
    options.eraseBusyPolls = 0;
    auto chip = Fx3Chip::create(options);
    auto loader = chip->powerUp();
    TransferRequest write;
    write.setup = SetupPacket{0x40, 0xA0, 0x0000, 0x4000, 2048};
    write.out.assign(2048, 1);
    const auto before = chip->modelledTime();
    ASSERT_EQ(loader->transfer(write).status, TransferStatus::Completed);
    const auto oneBlock = chip->modelledTime() - before;
    // 2048 bytes at 480 Mbit/s is 34 us of payload alone; overheads add a little.
    EXPECT_GT(oneBlock, std::chrono::microseconds(34));
    EXPECT_LT(oneBlock, std::chrono::microseconds(60));

    // The programmer: one erase and one 2048-byte program (8 pages).
    Bytes sig(kBootProgrammerSignature, kBootProgrammerSignature + 16);
    ASSERT_TRUE(chip->writeMemory(0x40000000, sig));
    auto programmer = chip->jump(0x40000000, nullptr);
    ASSERT_NE(programmer, nullptr);
    const auto start = chip->modelledTime();
    TransferRequest erase;
    erase.setup = SetupPacket{0x40, 0xC4, 1, 0, 0};
    ASSERT_EQ(programmer->transfer(erase).status, TransferStatus::Completed);
    TransferRequest program;
    program.setup = SetupPacket{0x40, 0xC2, 0, 0, 2048};
    program.out.assign(2048, 0);
    ASSERT_EQ(programmer->transfer(program).status, TransferStatus::Completed);
    const auto spent = chip->modelledTime() - start;
    const auto expected = options.timing.sectorErase + 8 * options.timing.pageProgram;
    EXPECT_GT(spent, expected);
    EXPECT_LT(spent, expected + std::chrono::microseconds(100));
}

}  // namespace
}  // namespace tyvo::sim
