// CCyDriverDevice against emulated devices: enumeration, descriptor reads,
// the trees of unusual devices, alternate settings and closing.

#include "sim/EmulatedUsbBus.h"
#include "sim/Fx3Chip.h"
#include "tests/usb/EmulatedDevices.h"
#include "usb/CCyFX3DriverDevice.h"
#include "usb/CCyIsocEndPoint.h"

#include <gtest/gtest.h>

#include <memory>

namespace tyvo::usbtest {
namespace {

using namespace std::chrono_literals;
using sim::EndpointLayout;
using sim::SuperSpeedCompanionLayout;

class DriverDeviceOnBus : public ::testing::Test {
protected:
    void TearDown() override { bus.stopTimers(); }
    std::shared_ptr<VendorDevice> plug(sim::DeviceDescriptors d, std::string port = {}) {
        auto device = std::make_shared<VendorDevice>(std::move(d));
        bus.plug(device, std::move(port));
        return device;
    }
    sim::EmulatedUsbBus bus;
};

TEST_F(DriverDeviceOnBus, WithNoDevicePresentOpenFailsAndTheCountIsZero) {
    // Devices of other classes do not count.
    sim::DeviceDescriptors other = fx3Descriptors(0x0200, 64, {configurationWith({})});
    other.device[8] = 0x34;
    plug(other);
    CCyFX3DriverDevice device;
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.DeviceCount(), 0);
    EXPECT_FALSE(device.Open(0));
    EXPECT_EQ(device.LastError(), static_cast<uint32_t>(ENODEV));
    EXPECT_EQ(device.DeviceIndex(), 0);
    EXPECT_EQ(device.ControlEndPoint(), nullptr);
}

TEST_F(DriverDeviceOnBus, OpensTheNthPresentDeviceAndReadsItsIdentity) {
    auto chip = sim::Fx3Chip::create();
    plug(fx3Descriptors(0x0200, 64, {configurationWith({})}), "1-10");
    bus.plug(chip->powerUp(), "1-1");
    plug(fx3Descriptors(0x0200, 64, {configurationWith({})}), "1-2");

    CCyFX3DriverDevice device;  // opens index 0 on construction
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.DevCount(), 3);  // in port order, whatever the plugging order
    EXPECT_EQ(device.VendorID(), 0x04B4);
    EXPECT_EQ(device.ProductID(), 0x00F3);
    EXPECT_EQ(device.BcdUSB(), 0x0200);
    EXPECT_EQ(device.MaxPacketSize(), 64u);
    EXPECT_EQ(device.Manufacturer(), u"Cypress");
    EXPECT_EQ(device.Product(), u"FX3 ROM Boot Loader");
    EXPECT_EQ(device.SerialNumber(), u"");
    EXPECT_EQ(device.LanguageId(), 0x0409);
    EXPECT_EQ(device.DevicePath(), "usb#vid_04b4&pid_00f3#1-1");
    EXPECT_TRUE(device.IsHighSpeed());
    EXPECT_FALSE(device.IsSuperSpeed());
    EXPECT_EQ(device.USBAddress(), 3);
    EXPECT_EQ(device.DeviceName(), "/dev/bus/usb/001/003");
    EXPECT_NE(device.DriverVersion(), 0u);
    EXPECT_EQ(device.ConfigValue(), 1);
    EXPECT_EQ(device.IntfcClass(), 0xFF);
    ASSERT_NE(device.ControlEndPoint(), nullptr);
    EXPECT_EQ(device.EndPoint(0), device.ControlEndPoint());

    ASSERT_TRUE(device.Open(1));
    EXPECT_EQ(device.DeviceIndex(), 1);
    EXPECT_EQ(device.Product(), u"Test FX3");
    EXPECT_EQ(device.SerialNumber(), u"0001");
    EXPECT_EQ(device.DevicePath(), "usb#vid_04b4&pid_00f3#1-2");
    ASSERT_TRUE(device.Open(2));
    EXPECT_EQ(device.DevicePath(), "usb#vid_04b4&pid_00f3#1-10");
    EXPECT_FALSE(device.Open(3));
    EXPECT_FALSE(device.IsOpen());
}

TEST_F(DriverDeviceOnBus, OpeningAnOpenDeviceReopensItWithTheSameDescriptors) {
    plug(fx3Descriptors(0x0200, 64, {configurationWith({EndpointLayout{0x81, 2, 512, 0, {}, {}}})}));
    CCyFX3DriverDevice device;
    ASSERT_TRUE(device.IsOpen());
    const std::vector<uint8_t> first(device.ConfigurationDescriptorSet(0).begin(),
                                     device.ConfigurationDescriptorSet(0).end());
    const std::vector<uint8_t> deviceDescriptor(device.DeviceDescriptor().begin(), device.DeviceDescriptor().end());
    ASSERT_TRUE(device.Open(0));
    EXPECT_EQ(
        std::vector<uint8_t>(device.ConfigurationDescriptorSet(0).begin(), device.ConfigurationDescriptorSet(0).end()),
        first);
    EXPECT_EQ(std::vector<uint8_t>(device.DeviceDescriptor().begin(), device.DeviceDescriptor().end()),
              deviceDescriptor);
    ASSERT_NE(device.BulkInEndPoint(), nullptr);
    EXPECT_EQ(device.BulkInEndPoint()->Address(), 0x81);
    device.Close();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.ControlEndPoint(), nullptr);
    EXPECT_EQ(device.BulkInEndPoint(), nullptr);
    EXPECT_TRUE(device.DeviceDescriptor().empty());
    device.Close();  // closing a closed device is harmless
}

TEST_F(DriverDeviceOnBus, EndpointZeroPacketSizeIsABytecountBeforeUsb3AndAPowerOfTwoFrom3On) {
    plug(fx3Descriptors(0x0210, 64, {configurationWith({})}), "1-1");
    plug(fx3Descriptors(0x0300, 9, {configurationWith({})}), "1-2");
    CCyFX3DriverDevice device;
    EXPECT_EQ(device.MaxPacketSize(), 64u);
    EXPECT_EQ(device.ControlEndPoint()->MaxPacketSize(), 64);
    ASSERT_TRUE(device.Open(1));
    EXPECT_EQ(device.MaxPacketSize(), 512u);
    EXPECT_EQ(device.ControlEndPoint()->MaxPacketSize(), 512);
    EXPECT_TRUE(device.IsSuperSpeed());
}

TEST_F(DriverDeviceOnBus, LanguagePrefersEnglishUsAndIsZeroForAnEmptyList) {
    auto d = fx3Descriptors(0x0200, 64, {configurationWith({})});
    d.languages = {0x0407, 0x0409};
    plug(d, "1-1");
    auto german = fx3Descriptors(0x0200, 64, {configurationWith({})});
    german.languages = {0x0407, 0x040C};
    plug(german, "1-2");
    auto none = fx3Descriptors(0x0200, 64, {configurationWith({})});
    none.languages = {};
    plug(none, "1-3");

    CCyFX3DriverDevice device;
    EXPECT_EQ(device.LanguageId(), 0x0409);
    EXPECT_EQ(device.Product(), u"Test FX3");
    ASSERT_TRUE(device.Open(1));
    EXPECT_EQ(device.LanguageId(), 0x0407);
    EXPECT_EQ(device.Product(), u"Test FX3");  // asked for in 0x0407, which the device has
    ASSERT_TRUE(device.Open(2));
    EXPECT_EQ(device.LanguageId(), 0);
    EXPECT_EQ(device.Product(), u"");  // the device stalls strings in language 0
}

TEST_F(DriverDeviceOnBus, ThreeConfigurationsYieldTheFirstTwo) {
    auto d = fx3Descriptors(0x0200, 64,
                            {configurationWith({EndpointLayout{0x81, 2, 512, 0, {}, {}}}, 1),
                             configurationWith({EndpointLayout{0x82, 3, 64, 4, {}, {}}}, 2),
                             configurationWith({EndpointLayout{0x83, 1, 1024, 1, {}, {}}}, 3)});
    plug(d);
    CCyFX3DriverDevice device;
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.ConfigCount(), 3);
    ASSERT_NE(device.Configuration(0), nullptr);
    ASSERT_NE(device.Configuration(1), nullptr);
    EXPECT_EQ(device.Configuration(2), nullptr);
    EXPECT_EQ(device.Configuration(1)->ConfigurationValue(), 2);
    EXPECT_EQ(device.Configuration(1)->Setting(0)->EndPoint(1)->Address(), 0x82);
    EXPECT_EQ(device.ConfigIndex(), 0);
    EXPECT_EQ(device.ConfigValue(), 1);
}

TEST_F(DriverDeviceOnBus, SuperSpeedDeviceGetsCompanionsBosCapabilitiesAndIsochronousEndpoints) {
    sim::BosLayout bos;
    bos.usb20ExtensionAttributes = 0x1E;
    bos.superSpeed = sim::BosLayout::SuperSpeed{};
    auto config = configurationWith({EndpointLayout{0x81, 2, 1024, 0, SuperSpeedCompanionLayout{15, 0, 0}, {}},
                                     EndpointLayout{0x02, 2, 1024, 0, SuperSpeedCompanionLayout{0, 0, 0}, {}},
                                     EndpointLayout{0x83, 0x05, 1024, 1, SuperSpeedCompanionLayout{1, 1, 4096}, {}}});
    plug(fx3Descriptors(0x0300, 9, {config}, sim::buildBos(bos)));
    CCyFX3DriverDevice device;
    ASSERT_TRUE(device.IsOpen());
    ASSERT_NE(device.CapabilitySet(), nullptr);
    EXPECT_EQ(device.CapabilitySet()->Usb20Extension()->bmAttributes, 0x1Eu);
    EXPECT_NE(device.CapabilitySet()->SuperSpeed(), nullptr);
    EXPECT_EQ(device.CapabilitySet()->ContainerId(), nullptr);
    ASSERT_NE(device.BulkInEndPoint(), nullptr);
    EXPECT_EQ(device.BulkInEndPoint()->MaxPacketSize(), 16 * 1024);
    ASSERT_NE(device.IsocInEndPoint(), nullptr);
    EXPECT_NE(dynamic_cast<CCyIsocEndPoint*>(device.IsocInEndPoint()), nullptr);
    EXPECT_EQ(device.IsocInEndPoint()->MaxPacketSize(), 1024 * 2 * 2);
    EXPECT_EQ(device.IsocOutEndPoint(), nullptr);
    // The setting's endpoints were put into direct mode; endpoint zero stays buffered.
    EXPECT_EQ(device.BulkOutEndPoint()->TransferMode(), CCyTransferMode::Direct);
    EXPECT_EQ(device.ControlEndPoint()->TransferMode(), CCyTransferMode::Buffered);
}

TEST_F(DriverDeviceOnBus, MalformedTablesAreReportedAndTheDeviceIsNotOpened) {
    Bytes config = configurationWith({EndpointLayout{0x81, 2, 512, 0, {}, {}}});
    config[9 + 9] = 0;  // endpoint with bLength 0
    auto d = fx3Descriptors(0x0200, 64, {config});
    // sysfs holds what the kernel could parse; the broken set is only on the wire.
    d.sysfsDescriptors = d.device;
    Bytes good = configurationWith({});
    d.sysfsDescriptors->insert(d.sysfsDescriptors->end(), good.begin(), good.end());
    plug(d, "1-1");

    testing::internal::CaptureStderr();
    CCyFX3DriverDevice device;
    const std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(reported, "Wrong Device Configuration\nPlease correct firmware descriptor table\n");

    sim::BosLayout bosLayout;
    bosLayout.usb20ExtensionAttributes = 2;
    Bytes bos = sim::buildBos(bosLayout);
    bos[4] = 2;  // announces a capability that is not there
    bus.unplug("1-1");
    plug(fx3Descriptors(0x0300, 9, {configurationWith({})}, bos), "1-2");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(device.Open(0));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Wrong BOS Descriptor\nPlease correct firmware BOS descriptor table\n");
    EXPECT_FALSE(device.IsOpen());
}

TEST_F(DriverDeviceOnBus, WithoutAnAlternateSettingFromTheDriverNoSettingGetsEndpointZero) {
    auto d = fx3Descriptors(0x0200, 64, {configurationWith({EndpointLayout{0x81, 2, 512, 0, {}, {}}})});
    d.activeConfiguration = 0;  // the kernel left it unconfigured
    auto model = plug(d);
    CCyFX3DriverDevice device;
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.QueryAltSetting(), 0xFF);
    EXPECT_EQ(device.ConfigIndex(), 0);
    EXPECT_EQ(device.AltSettingIndex(), 0);
    EXPECT_EQ(device.Configuration(0)->Setting(0)->EndPoint(0), nullptr);
    EXPECT_EQ(device.BulkInEndPoint(), nullptr);
    // Endpoint zero still works.
    uint8_t reply[4] = {};
    EXPECT_TRUE(device.SendVendorRequest(reply, 0x10, 0, 4, true));
    EXPECT_EQ(reply[0], 0x10);
}

TEST_F(DriverDeviceOnBus, AlternateSettingsAreFoundByValueAndRefillTheShortcuts) {
    sim::ConfigurationLayout layout;
    sim::InterfaceLayout idle;
    sim::InterfaceLayout streaming;
    streaming.alternate = 1;
    streaming.endpoints = {EndpointLayout{0x81, 3, 64, 1, {}, {}}, EndpointLayout{0x01, 3, 64, 1, {}, {}},
                           EndpointLayout{0x82, 3, 64, 1, {}, {}}};
    layout.interfaces = {idle, streaming};
    plug(fx3Descriptors(0x0200, 64, {sim::buildConfiguration(layout)}));
    CCyFX3DriverDevice device;
    ASSERT_TRUE(device.IsOpen());
    EXPECT_EQ(device.AltIntfcCount(), 2);
    EXPECT_EQ(device.InterruptInEndPoint(), nullptr);
    ASSERT_TRUE(device.SelectAltSetting(1));
    EXPECT_EQ(device.AltSettingIndex(), 1);
    ASSERT_NE(device.InterruptInEndPoint(), nullptr);
    EXPECT_EQ(device.InterruptInEndPoint()->Address(), 0x81);  // the first of its kind
    EXPECT_EQ(device.InterruptOutEndPoint()->Address(), 0x01);
    EXPECT_EQ(device.EndPoint(0), device.ControlEndPoint());
    EXPECT_EQ(device.Configuration(0)->Setting(0)->EndPoint(0), nullptr);
    EXPECT_FALSE(device.SelectAltSetting(7));
    EXPECT_EQ(device.AltSettingIndex(), 1);
}

}  // namespace
}  // namespace tyvo::usbtest
