// The emulated bus itself: what libusb sees of plugged devices, usbfs
// semantics (claims, cancels, per-file URBs) and scheduled changes.

#include "sim/EmulatedUsbBus.h"
#include "tests/sim/LibusbSession.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace tyvo::sim {
namespace {

using namespace std::chrono_literals;
using simtest::HotplugWatcher;
using simtest::LibusbSession;

std::shared_ptr<StandardUsbDevice> device(uint16_t productId, UsbSpeed speed = UsbSpeed::High,
                                          uint8_t deviceClass = 0) {
    DeviceLayout layout;
    layout.vendorId = 0x1209;
    layout.productId = productId;
    layout.deviceClass = deviceClass;
    layout.bcdUSB = speed == UsbSpeed::Super ? 0x0300 : 0x0200;
    layout.maxPacketSize0 = speed == UsbSpeed::Super ? 9 : 64;
    DeviceDescriptors d;
    d.speed = speed;
    d.device = buildDeviceDescriptor(layout);
    ConfigurationLayout config;
    InterfaceLayout itf;
    itf.endpoints = {EndpointLayout{0x81, 2, 512, 0, {}, {}}};
    config.interfaces = {itf};
    d.configurations = {buildConfiguration(config)};
    return std::make_shared<StandardUsbDevice>("test", d);
}

libusb_device* findDevice(libusb_device** list, ssize_t n, uint16_t productId) {
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        libusb_get_device_descriptor(list[i], &d);
        if (d.idProduct == productId) return list[i];
    }
    return nullptr;
}

TEST(EmulatedBus, DevicesAppearWithTheirAddressSpeedPortAndDescriptors) {
    EmulatedUsbBus bus;
    bus.plug(device(0x0001, UsbSpeed::High, 9), "1-3");
    bus.plug(device(0x0002, UsbSpeed::Super), "1-3.2");
    LibusbSession usb;
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(usb.context(), &list);
    ASSERT_EQ(n, 2);
    libusb_device* hub = findDevice(list, n, 1);
    libusb_device* child = findDevice(list, n, 2);
    ASSERT_TRUE(hub && child);
    EXPECT_EQ(libusb_get_device_speed(hub), LIBUSB_SPEED_HIGH);
    EXPECT_EQ(libusb_get_device_speed(child), LIBUSB_SPEED_SUPER);
    EXPECT_EQ(libusb_get_parent(child), hub);
    EXPECT_EQ(libusb_get_parent(hub), nullptr);  // no root hub
    uint8_t ports[4];
    ASSERT_EQ(libusb_get_port_numbers(child, ports, 4), 2);
    EXPECT_EQ(ports[0], 3);
    EXPECT_EQ(ports[1], 2);
    EXPECT_EQ(libusb_get_device_address(hub), 2);
    EXPECT_EQ(libusb_get_device_address(child), 3);
    libusb_config_descriptor* config = nullptr;
    ASSERT_EQ(libusb_get_active_config_descriptor(child, &config), 0);
    EXPECT_EQ(config->interface[0].altsetting[0].endpoint[0].bEndpointAddress, 0x81);
    libusb_free_config_descriptor(config);
    libusb_free_device_list(list, 1);

    const auto plugged = bus.devices();
    ASSERT_EQ(plugged.size(), 2u);
    EXPECT_EQ(plugged[0].devNode, "/dev/bus/usb/001/002");
    EXPECT_EQ(plugged[1].portChain, "1-3.2");
}

TEST(EmulatedBus, UsbfsClaimsCancelsAndUnknownRequestsBehaveAsTheKernels) {
    EmulatedUsbBus bus;
    auto model = device(0x0003);
    model->injectFault(FaultRule{FaultKind::Timeout, 1, 0x77, {}, false});
    const std::string port = bus.plug(model);
    LibusbSession usb;
    libusb_device_handle* h = usb.open(0x1209, 0x0003);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(libusb_kernel_driver_active(h, 0), 0);  // GETDRIVER: none bound
    EXPECT_EQ(libusb_claim_interface(h, 0), 0);
    EXPECT_EQ(bus.nodeStats(port).claimedInterfaces.count(0), 1u);
    EXPECT_EQ(libusb_set_interface_alt_setting(h, 0, 1), 0);
    EXPECT_EQ(model->alternateSetting(0), 1);
    EXPECT_EQ(libusb_release_interface(h, 0), 0);
    EXPECT_TRUE(bus.nodeStats(port).claimedInterfaces.empty());

    // A request the device never answers: libusb's own time-out discards it.
    std::vector<uint8_t> data;
    EXPECT_EQ(usb.controlIn(h, 0x77, 0, 0, data, 4, 200), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(bus.nodeStats(port).discarded, 1u);
    EXPECT_EQ(bus.nodeStats(port).inFlight, 0u);
    EXPECT_EQ(usb.controlIn(h, 0x77, 0, 0, data, 4, 200), LIBUSB_ERROR_PIPE);  // stalls now: not a vendor device
    EXPECT_EQ(libusb_reset_device(h), 0);

    // Requests libusb does not use are refused as an old kernel would.
    const int fd = ::open(bus.devices()[0].devNode.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    usbdevfs_connectinfo info{};
    errno = 0;
    EXPECT_EQ(::ioctl(fd, USBDEVFS_CONNECTINFO, &info), -1);
    EXPECT_EQ(errno, ENOTTY);
    ::close(fd);
    EXPECT_EQ(bus.nodeStats(port).unknownIoctls, 1u);
}

TEST(EmulatedBus, UnplugFailsInFlightTransfersThenEveryCallWithNoDevice) {
    EmulatedUsbBus bus;
    auto model = device(0x0004);
    model->injectFault(FaultRule{FaultKind::Timeout, 1, 0x10, {}, true});
    const std::string port = bus.plug(model);
    LibusbSession usb;
    HotplugWatcher watcher(usb.context());
    libusb_device_handle* h = usb.open(0x1209, 0x0004);
    ASSERT_NE(h, nullptr);

    // An asynchronous transfer that stays in flight, completed on the watcher's thread.
    std::vector<uint8_t> buffer(LIBUSB_CONTROL_SETUP_SIZE + 8);
    libusb_fill_control_setup(buffer.data(), 0xC0, 0x10, 0, 0, 8);
    std::atomic<int> status{-1};
    libusb_transfer* t = libusb_alloc_transfer(0);
    libusb_fill_control_transfer(
        t, h, buffer.data(),
        [](libusb_transfer* done) { static_cast<std::atomic<int>*>(done->user_data)->store(done->status); }, &status,
        0);
    ASSERT_EQ(libusb_submit_transfer(t), 0);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(status.load(), -1);
    EXPECT_EQ(bus.nodeStats(port).inFlight, 1u);

    ASSERT_TRUE(bus.unplug(port));
    for (int i = 0; i < 200 && status.load() == -1; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(status.load(), LIBUSB_TRANSFER_NO_DEVICE);
    EXPECT_TRUE(watcher.waitFor(false, 0x0004, 5s));
    libusb_free_transfer(t);
    std::vector<uint8_t> data;
    EXPECT_EQ(usb.controlIn(h, 0x10, 0, 0, data, 4), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_EQ(usb.countDevices(0x1209, 0x0004), 0);
}

TEST(EmulatedBus, ScheduledPlugsHappenInOrderAndStopTimersDropsThem) {
    EmulatedUsbBus bus;
    bus.plugAfter(50ms, device(0x0005), "1-5");
    bus.unplugAfter(100ms, "1-5");
    bus.plugAfter(150ms, device(0x0006), "1-5");
    ASSERT_TRUE(bus.waitIdle(5s));
    const auto h = bus.history();
    ASSERT_EQ(h.size(), 3u);
    EXPECT_EQ(h[0].kind, BusEvent::Kind::Plugged);
    EXPECT_EQ(h[0].productId, 0x0005);
    EXPECT_EQ(h[1].kind, BusEvent::Kind::Unplugged);
    EXPECT_EQ(h[2].productId, 0x0006);

    bus.plugAfter(10s, device(0x0007), "1-6");
    bus.stopTimers();
    EXPECT_TRUE(bus.waitIdle(1s));
    EXPECT_EQ(bus.devices().size(), 1u);
    EXPECT_THROW(bus.plug(device(0x0008), "1-5"), std::runtime_error);  // taken
}

}  // namespace
}  // namespace tyvo::sim
