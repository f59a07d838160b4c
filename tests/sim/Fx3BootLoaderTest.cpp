// The FX3 ROM boot loader on the emulated bus, driven by plain libusb.

#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "tests/sim/LibusbSession.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace tyvo::sim {
namespace {

using namespace std::chrono_literals;
using simtest::HotplugWatcher;
using simtest::LibusbSession;

constexpr uint16_t kVid = Fx3Chip::kVendorId;
constexpr uint16_t kLoader = Fx3Chip::kBootLoaderProductId;
constexpr uint16_t kProgrammer = Fx3Chip::kBootProgrammerProductId;

Bytes pattern(std::size_t n, uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7);
    return b;
}

class BootLoaderOnBus : public ::testing::Test {
protected:
    void SetUp() override {
        chip = Fx3Chip::create(options);
        port = bus.plug(chip->powerUp());
        handle = usb.open(kVid, kLoader);
        ASSERT_NE(handle, nullptr);
    }
    void TearDown() override { bus.stopTimers(); }

    void placeProgrammerAt(uint32_t entry) {
        Bytes sig(kBootProgrammerSignature, kBootProgrammerSignature + 16);
        ASSERT_EQ(usb.controlOut(handle, 0xA0, entry & 0xFFFF, entry >> 16, sig), 16);
    }

    Fx3Options options;
    EmulatedUsbBus bus;
    LibusbSession usb;
    std::shared_ptr<Fx3Chip> chip;
    std::string port;
    libusb_device_handle* handle = nullptr;
};

TEST_F(BootLoaderOnBus, WritesAndReadsSystemRamAndItcmAtTheAddressInIndexAndValue) {
    const Bytes block = pattern(2048, 3);
    EXPECT_EQ(usb.controlOut(handle, 0xA0, 0x3000, 0x4000, block), 2048);
    EXPECT_EQ(chip->readMemory(0x40003000, 2048), block);

    Bytes back;
    EXPECT_EQ(usb.controlIn(handle, 0xA0, 0x3000, 0x4000, back, 2048), 2048);
    EXPECT_EQ(back, block);

    const Bytes small = pattern(64, 9);
    EXPECT_EQ(usb.controlOut(handle, 0xA0, 0x0100, 0x0000, small), 64);
    EXPECT_EQ(chip->readMemory(0x100, 64), small);

    auto log = chip->bootLoader()->vendorRequests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(log[1].setup.bmRequestType, 0xC0);
    EXPECT_EQ(log[0].setup.wValue, 0x3000);
    EXPECT_EQ(log[0].setup.wIndex, 0x4000);
    EXPECT_EQ(log[0].data, block);
}

TEST_F(BootLoaderOnBus, StallsOutsideMemoryAndOnUnknownRequests) {
    Bytes back;
    // Past the end of system RAM, in the hole between I-TCM and RAM, unknown request.
    EXPECT_EQ(usb.controlOut(handle, 0xA0, 0xFFF0, 0x4007, pattern(32, 1)), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb.controlIn(handle, 0xA0, 0x0000, 0x1000, back, 16), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb.controlOut(handle, 0xA1, 0, 0x4000, pattern(4, 1)), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(usb.controlIn(handle, 0xC4, 0, 0, back, 1), LIBUSB_ERROR_PIPE);
    // The device still works after the stalls.
    EXPECT_EQ(usb.controlIn(handle, 0xA0, 0x0000, 0x4000, back, 16), 16);
}

TEST_F(BootLoaderOnBus, JumpToAValidProgrammerReenumeratesAsTheBootProgrammer) {
    HotplugWatcher watcher(usb.context());
    placeProgrammerAt(0x40000000);
    EXPECT_EQ(usb.controlOut(handle, 0xA0, 0x0000, 0x4000, {}), 0);

    EXPECT_TRUE(watcher.waitFor(false, kLoader, 5s));
    EXPECT_TRUE(watcher.waitFor(true, kProgrammer, 5s));
    EXPECT_TRUE(bus.waitIdle(5s));
    EXPECT_EQ(chip->mode(), Fx3Chip::Mode::BootProgrammer);
    EXPECT_EQ(chip->jumps(), std::vector<uint32_t>{0x40000000});
    EXPECT_EQ(usb.countDevices(kVid, kLoader), 0);
    EXPECT_EQ(usb.countDevices(kVid, kProgrammer), 1);
    // RAM survives the jump: the programmer runs from it.
    auto ram = chip->readMemory(0x40000000, 16);
    ASSERT_TRUE(ram);
    EXPECT_EQ(0, std::memcmp(ram->data(), kBootProgrammerSignature, 16));
}

TEST_F(BootLoaderOnBus, JumpWithoutAValidProgrammerJustDropsOffTheBus) {
    HotplugWatcher watcher(usb.context());
    Bytes notAProgrammer(16, 0x5A);
    ASSERT_EQ(usb.controlOut(handle, 0xA0, 0x0000, 0x4000, notAProgrammer), 16);
    EXPECT_EQ(usb.controlOut(handle, 0xA0, 0x0000, 0x4000, {}), 0);

    EXPECT_TRUE(watcher.waitFor(false, kLoader, 5s));
    EXPECT_TRUE(bus.waitIdle(5s));
    EXPECT_EQ(chip->mode(), Fx3Chip::Mode::Halted);
    EXPECT_TRUE(bus.devices().empty());
    // The open handle now fails as on a real disconnect.
    Bytes back;
    EXPECT_EQ(usb.controlIn(handle, 0xA0, 0, 0x4000, back, 4), LIBUSB_ERROR_NO_DEVICE);
}

TEST_F(BootLoaderOnBus, ReenumerationCanComeLateOrNever) {
    chip->setReenumeration(300ms, false);
    placeProgrammerAt(0x40001000);
    ASSERT_EQ(usb.controlOut(handle, 0xA0, 0x1000, 0x4000, {}), 0);
    EXPECT_FALSE(bus.waitForProduct(kProgrammer, 100ms));  // gone, not yet back
    EXPECT_TRUE(bus.waitForProduct(kProgrammer, 5s));

    // Power-cycle it into the boot loader again, then make it never return.
    bus.stopTimers();
    ASSERT_TRUE(bus.unplug(port));
    port = bus.plug(chip->powerUp());
    chip->setReenumeration(0ms, true);
    handle = usb.open(kVid, kLoader);
    ASSERT_NE(handle, nullptr);
    placeProgrammerAt(0x40000000);
    ASSERT_EQ(usb.controlOut(handle, 0xA0, 0x0000, 0x4000, {}), 0);
    EXPECT_TRUE(bus.waitIdle(5s));
    EXPECT_FALSE(bus.waitForProduct(kProgrammer, 300ms));
    EXPECT_EQ(chip->mode(), Fx3Chip::Mode::BootProgrammer);
}

TEST(Fx3PowerUp, AValidImageInFlashBootsTheFirmwareHookInsteadOfTheBootLoader) {
    // A minimal well-formed image: one 2-word section, entry, checksum.
    const Bytes image{'C', 'Y', 0x1C, 0xB0, 2, 0, 0, 0, 0x00, 0x00, 0x00, 0x40, 1, 0, 0, 0,
                      2,   0,   0,    0,    0, 0, 0, 0, 0,    0,    0,    0x40, 3, 0, 0, 0};
    Fx3Options options;
    bool hookRan = false;
    uint32_t entrySeen = 0;
    options.firmwareBoot = [&](Fx3Chip&, const Fx3BootImageInfo& info) -> std::shared_ptr<UsbDeviceModel> {
        hookRan = true;
        entrySeen = info.entry;
        return nullptr;
    };
    auto chip = Fx3Chip::create(options);
    chip->flash().load(0, image);
    EXPECT_EQ(chip->powerUp(), nullptr);
    EXPECT_TRUE(hookRan);
    EXPECT_EQ(entrySeen, 0x40000000u);
    EXPECT_EQ(chip->mode(), Fx3Chip::Mode::Firmware);

    // A damaged image (checksum off by one) leaves the boot loader in charge.
    Bytes damaged = image;
    damaged[28] = 4;
    auto other = Fx3Chip::create(options);
    other->flash().load(0, damaged);
    auto model = other->powerUp();
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->descriptors().productId(), Fx3Chip::kBootLoaderProductId);
}

}  // namespace
}  // namespace tyvo::sim
