// Vendor requests and endpoint transfers through the whole stack: the CCy
// classes, the libusb driver port, usbdevfs, the emulated device.

#include "sim/EmulatedUsbBus.h"
#include "tests/usb/EmulatedDevices.h"
#include "usb/CCyFX3DriverDevice.h"

#include <gtest/gtest.h>

#include <numeric>

namespace tyvo::usbtest {
namespace {

using namespace std::chrono_literals;
using sim::FaultKind;
using sim::FaultRule;

Bytes counting(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 31 + (i >> 8));
    return b;
}

class VendorRequests : public ::testing::Test {
protected:
    void SetUp() override {
        device = VendorDevice::fx3();
        port = bus.plug(device);
        fx3 = std::make_unique<CCyFX3DriverDevice>();
        ASSERT_TRUE(fx3->IsOpen());
    }
    void TearDown() override {
        bus.stopTimers();
        fx3.reset();
    }
    sim::EmulatedUsbBus bus;
    std::shared_ptr<VendorDevice> device;
    std::string port;
    std::unique_ptr<CCyFX3DriverDevice> fx3;
};

TEST_F(VendorRequests, ReachTheDeviceWithExactSetupFieldsAndData) {
    Bytes out = counting(2048);
    ASSERT_TRUE(fx3->SendVendorRequest(out.data(), 0xA0, 0x40003000, 2048, false));
    Bytes in(2048);
    ASSERT_TRUE(fx3->SendVendorRequest(in.data(), 0xA0, 0x40003000, 2048, true));
    EXPECT_EQ(in, out);
    ASSERT_TRUE(fx3->SendVendorRequest(nullptr, 0xC4, 0x00050001, 0, false));

    const auto log = device->vendorRequests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].setup.bmRequestType, 0x40);
    EXPECT_EQ(log[0].setup.bRequest, 0xA0);
    EXPECT_EQ(log[0].setup.wValue, 0x3000);
    EXPECT_EQ(log[0].setup.wIndex, 0x4000);
    EXPECT_EQ(log[0].setup.wLength, 2048);
    EXPECT_EQ(log[0].data, out);
    EXPECT_EQ(log[1].setup.bmRequestType, 0xC0);
    EXPECT_EQ(log[1].setup.wLength, 2048);
    EXPECT_EQ(log[2].setup.bmRequestType, 0x40);
    EXPECT_EQ(log[2].setup.bRequest, 0xC4);
    EXPECT_EQ(log[2].setup.wValue, 1);
    EXPECT_EQ(log[2].setup.wIndex, 5);
    EXPECT_EQ(log[2].setup.wLength, 0);
    EXPECT_EQ(fx3->ControlEndPoint()->BytesTransferred(), 0u);
}

TEST_F(VendorRequests, A70000ByteRequestIsTwoPiecesWithTheSameValueAndIndex) {
    Bytes out = counting(70000);
    ASSERT_TRUE(fx3->SendVendorRequest(out.data(), 0xC2, 0x00120034, 70000, false));
    const auto log = device->vendorRequests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].setup.wLength, 65535);
    EXPECT_EQ(log[1].setup.wLength, 4465);
    for (const auto& r : log) {
        EXPECT_EQ(r.setup.wValue, 0x0034);
        EXPECT_EQ(r.setup.wIndex, 0x0012);
    }
    Bytes joined = log[0].data;
    joined.insert(joined.end(), log[1].data.begin(), log[1].data.end());
    EXPECT_EQ(joined, out);
}

TEST_F(VendorRequests, AShortReadIsCompletedByAFurtherPiece) {
    device->limitReplies(2);
    uint8_t in[3] = {};
    ASSERT_TRUE(fx3->SendVendorRequest(in, 0x55, 0, 3, true));
    const auto log = device->vendorRequests();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].setup.wLength, 3);
    EXPECT_EQ(log[0].data.size(), 2u);
    EXPECT_EQ(log[1].setup.wLength, 1);
    // The pattern restarts with each request: bytes 0x55, 0x56, then 0x55.
    EXPECT_EQ(in[0], 0x55);
    EXPECT_EQ(in[1], 0x56);
    EXPECT_EQ(in[2], 0x55);

    // An endpoint-zero transfer of 3 that gets 2 reports 2 and copies 2.
    CCyControlEndPoint* ep = fx3->ControlEndPoint();
    uint8_t raw[3] = {0xEE, 0xEE, 0xEE};
    int32_t length = 3;
    EXPECT_TRUE(ep->Transfer(raw, length));
    EXPECT_EQ(length, 2);
    EXPECT_EQ(raw[2], 0xEE);

    device->limitReplies(0);  // a piece that moves nothing ends the request
    EXPECT_FALSE(fx3->SendVendorRequest(in, 0x55, 0, 3, true));
}

TEST_F(VendorRequests, ATimeOutAbortsThePipeAndFailsTheTransfer) {
    device->injectFault(FaultRule{FaultKind::Timeout, 1, 0xA0, {}, false});
    fx3->ControlEndPoint()->SetTimeOut(300);
    Bytes out = counting(64);
    EXPECT_FALSE(fx3->SendVendorRequest(out.data(), 0xA0, 0x40000000, 64, false));
    EXPECT_EQ(bus.nodeStats(port).discarded, 1u);
    EXPECT_EQ(bus.nodeStats(port).inFlight, 0u);
    EXPECT_EQ(fx3->ControlEndPoint()->LastError(), static_cast<uint32_t>(ECANCELED));
    // The device is usable again afterwards.
    EXPECT_TRUE(fx3->SendVendorRequest(out.data(), 0xA0, 0x40000000, 64, false));
}

TEST_F(VendorRequests, StallsAndWireErrorsFailWithTheirStatuses) {
    device->injectFault(FaultRule{FaultKind::Stall, 1, 0xA0, {}, false});
    device->injectFault(FaultRule{FaultKind::Fail, 2, 0xA0, {}, false});
    uint8_t in[8] = {};
    EXPECT_FALSE(fx3->SendVendorRequest(in, 0xA0, 0, 8, true));
    EXPECT_EQ(fx3->ControlEndPoint()->UsbdStatus(), DriverStatus::kUsbdStallPid);
    EXPECT_EQ(fx3->ControlEndPoint()->LastError(), static_cast<uint32_t>(EPIPE));
    EXPECT_FALSE(fx3->SendVendorRequest(in, 0xA0, 0, 8, true));
    EXPECT_EQ(fx3->ControlEndPoint()->LastError(), static_cast<uint32_t>(EIO));
    EXPECT_TRUE(fx3->SendVendorRequest(in, 0xA0, 0, 8, true));
}

TEST_F(VendorRequests, UnplugDuringATransferFailsItAndEveryLaterOne) {
    device->injectFault(FaultRule{FaultKind::Unplug, 2, 0xA0, {}, false});
    Bytes out = counting(4096);
    EXPECT_FALSE(fx3->SendVendorRequest(out.data(), 0xA0, 0x40000000, 4096, false) &&
                 fx3->SendVendorRequest(out.data(), 0xA0, 0x40001000, 4096, false));
    EXPECT_EQ(fx3->ControlEndPoint()->LastError(), static_cast<uint32_t>(ENODEV));
    EXPECT_EQ(fx3->ControlEndPoint()->UsbdStatus(), DriverStatus::kUsbdDeviceGone);
    EXPECT_TRUE(bus.waitIdle(2s));
    EXPECT_FALSE(fx3->SendVendorRequest(out.data(), 0xA0, 0x40000000, 16, false));
    EXPECT_NO_THROW(fx3->Close());
    EXPECT_FALSE(fx3->Open(0));
}

TEST_F(VendorRequests, DriverControlNeedsExactlyTheBytesAskedFor) {
    uint8_t address = 0;
    EXPECT_TRUE(fx3->DriverControl(DriverIoControl::kBusAddress, &address, 1));
    EXPECT_EQ(address, fx3->USBAddress());
    uint8_t speed[8] = {};
    EXPECT_FALSE(fx3->DriverControl(DriverIoControl::kBusSpeed, speed, 8));  // the driver returns 4
    EXPECT_FALSE(fx3->DriverControl(0x220FF0, speed, 4));
    EXPECT_EQ(fx3->LastError(), static_cast<uint32_t>(ENOTTY));
    fx3->Close();
    EXPECT_FALSE(fx3->DriverControl(DriverIoControl::kBusAddress, &address, 1));
}

TEST(EndpointTransfersOnBus, BulkInterruptAndIsochronousDataReachTheDevice) {
    sim::EmulatedUsbBus bus;
    auto device = std::make_shared<VendorDevice>(fx3Descriptors(
        0x0200, 64,
        {configurationWith({sim::EndpointLayout{0x81, 2, 512, 0, {}, {}}, sim::EndpointLayout{0x02, 2, 512, 0, {}, {}},
                            sim::EndpointLayout{0x03, 3, 64, 1, {}, {}},
                            sim::EndpointLayout{0x04, 1, 256, 1, {}, {}}})}));
    bus.plug(device);
    CCyFX3DriverDevice fx3;
    ASSERT_TRUE(fx3.IsOpen());

    Bytes out = counting(3000);
    int32_t length = 3000;
    ASSERT_TRUE(fx3.BulkOutEndPoint()->Transfer(out.data(), length));  // direct mode
    EXPECT_EQ(length, 3000);
    EXPECT_EQ(device->lastEndpointData(), out);

    CCyUSBEndPoint* in = fx3.BulkInEndPoint();
    Bytes back(3000);
    length = 3000;
    ASSERT_TRUE(in->Transfer(back.data(), length));
    EXPECT_EQ(back, out);
    in->SetTransferMode(CCyTransferMode::Buffered);
    Bytes buffered(3000);
    length = 3000;
    ASSERT_TRUE(in->Transfer(buffered.data(), length));
    EXPECT_EQ(buffered, out);

    Bytes small = counting(64);
    length = 64;
    ASSERT_TRUE(fx3.InterruptOutEndPoint()->Transfer(small.data(), length));
    EXPECT_EQ(device->lastEndpointData(), small);

    Bytes iso = counting(1000);  // four packets of up to 256
    std::vector<uint8_t> records(4 * 8, 0xFF);
    length = 1000;
    ASSERT_TRUE(fx3.IsocOutEndPoint()->Transfer(iso.data(), length, records.data()));
    EXPECT_EQ(device->lastEndpointData(), iso);
    const auto log = device->transferLog();
    EXPECT_EQ(log.back().type, sim::TransferType::Isochronous);
}

}  // namespace
}  // namespace tyvo::usbtest
