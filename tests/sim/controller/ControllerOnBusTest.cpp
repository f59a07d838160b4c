// The emulated controller on the emulated bus, seen by a plain V4L2 client
// (none of the tool's code): its sysfs links and video node, the memory
// window over standard controls, streamed frames, unplugging, and its return
// with new firmware after an update.

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "sim/EmulatedUsbBus.h"
#include "sim/controller/UvcControllerModel.h"

namespace tyvo::sim {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> List(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir))
            if (e->d_name[0] != '.') names.emplace_back(e->d_name);
        ::closedir(dir);
    }
    return names;
}

int Request(int fd, unsigned long code, void* argument) { return ::ioctl(fd, code, argument) == 0 ? 0 : errno; }

int SetControl(int fd, uint32_t id, int32_t value) {
    v4l2_control control{id, value};
    return Request(fd, VIDIOC_S_CTRL, &control);
}

int32_t GetControl(int fd, uint32_t id) {
    v4l2_control control{id, 0};
    EXPECT_EQ(Request(fd, VIDIOC_G_CTRL, &control), 0);
    return control.value;
}

class ControllerOnBus : public ::testing::Test {
protected:
    void TearDown() override {
        if (fd >= 0) ::close(fd);
        bus.stopTimers();
    }
    void plugAndOpen(UvcControllerOptions options = {}) {
        model = UvcControllerModel::create(std::move(options));
        port = bus.plug(model);
        fd = ::open(model->videoNode().c_str(), O_RDWR | O_NONBLOCK);
        ASSERT_GE(fd, 0) << model->videoNode();
    }
    void writeByte(uint32_t address, uint8_t byte) {
        ASSERT_EQ(SetControl(fd, V4L2_CID_SHARPNESS, static_cast<int32_t>(address)), 0);
        ASSERT_EQ(SetControl(fd, V4L2_CID_SATURATION, byte), 0);
    }

    EmulatedUsbBus bus;
    std::shared_ptr<UvcControllerModel> model;
    std::string port;
    int fd = -1;
};

TEST_F(ControllerOnBus, TheVideoNodeSitsBelowTheUsbDeviceInSysfs) {
    plugAndOpen();
    const std::string interface = "/sys/bus/usb/devices/" + port + "/" + port + ":1.0/video4linux";
    const auto nodes = List(interface);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ("/dev/" + nodes[0], model->videoNode());
    v4l2_capability capability{};
    ASSERT_EQ(Request(fd, VIDIOC_QUERYCAP, &capability), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(capability.driver), "uvcvideo");
    EXPECT_STREQ(reinterpret_cast<const char*>(capability.card), "Tyvo Controller");
    EXPECT_TRUE(capability.device_caps & V4L2_CAP_VIDEO_CAPTURE);
    EXPECT_TRUE(capability.device_caps & V4L2_CAP_STREAMING);
    std::vector<std::pair<uint32_t, uint32_t>> sizes;
    for (uint32_t i = 0;; ++i) {
        v4l2_frmsizeenum size{};
        size.index = i;
        size.pixel_format = V4L2_PIX_FMT_YUYV;
        if (Request(fd, VIDIOC_ENUM_FRAMESIZES, &size) != 0) break;
        sizes.emplace_back(size.discrete.width, size.discrete.height);
    }
    EXPECT_EQ(sizes, (std::vector<std::pair<uint32_t, uint32_t>>{{640, 480}, {640, 240}, {640, 120}}));
}

TEST_F(ControllerOnBus, StandardControlsFormItsMemoryWindow) {
    plugAndOpen();
    std::string serial;
    for (uint32_t a = 0; a < 13; ++a) {
        ASSERT_EQ(SetControl(fd, V4L2_CID_SHARPNESS, static_cast<int32_t>(a)), 0);
        serial.push_back(static_cast<char>(GetControl(fd, V4L2_CID_SATURATION)));
    }
    EXPECT_EQ(serial, "MKT-210012345");
    EXPECT_EQ(GetControl(fd, V4L2_CID_SHARPNESS), 12);  // the address reads back
    writeByte(0x30, 0x01);
    EXPECT_EQ(model->memory(0x30, 1), Bytes{0x01});
    model->refuse(UvcControl::Sharpness, 1);
    EXPECT_EQ(SetControl(fd, V4L2_CID_SHARPNESS, 3), EIO);
    EXPECT_EQ(SetControl(fd, V4L2_CID_SHARPNESS, 3), 0);
}

TEST_F(ControllerOnBus, ItStreamsFramesOfTheChosenSizeThroughMappedBuffers) {
    plugAndOpen();
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = 640;
    format.fmt.pix.height = 240;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
    ASSERT_EQ(Request(fd, VIDIOC_S_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.height, 240u);
    v4l2_requestbuffers buffers{};
    buffers.count = 2;
    buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffers.memory = V4L2_MEMORY_MMAP;
    ASSERT_EQ(Request(fd, VIDIOC_REQBUFS, &buffers), 0);
    std::vector<const uint8_t*> maps;
    for (uint32_t i = 0; i < buffers.count; ++i) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        b.index = i;
        ASSERT_EQ(Request(fd, VIDIOC_QUERYBUF, &b), 0);
        EXPECT_EQ(b.m.offset % 4096, 0u);
        void* map = ::mmap(nullptr, b.length, PROT_READ, MAP_SHARED, fd, b.m.offset);
        ASSERT_NE(map, MAP_FAILED);
        maps.push_back(static_cast<const uint8_t*>(map));
        ASSERT_EQ(Request(fd, VIDIOC_QBUF, &b), 0);
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(Request(fd, VIDIOC_STREAMON, &type), 0);
    std::vector<v4l2_buffer> got;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (got.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        v4l2_buffer b{};
        b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        b.memory = V4L2_MEMORY_MMAP;
        const int error = Request(fd, VIDIOC_DQBUF, &b);
        if (error == EAGAIN) continue;
        ASSERT_EQ(error, 0);
        EXPECT_EQ(b.bytesused, 640u * 240u * 2u);
        // Camera 0 in the even bytes: 40 plus a ramp moved on by the frame.
        EXPECT_EQ(maps[b.index][0], 40 + b.sequence % 160);
        EXPECT_EQ(maps[b.index][2 * 5], 40 + (5 + b.sequence) % 160);
        got.push_back(b);
        ASSERT_EQ(Request(fd, VIDIOC_QBUF, &b), 0);
    }
    ASSERT_EQ(got.size(), 3u);
    EXPECT_LT(got[0].timestamp.tv_sec * 1000000 + got[0].timestamp.tv_usec,
              got[2].timestamp.tv_sec * 1000000 + got[2].timestamp.tv_usec);
    EXPECT_EQ(model->videoStats().framesDelivered, 3u);
}

TEST_F(ControllerOnBus, AnUnpluggedControllerTakesItsNodeAlong) {
    plugAndOpen();
    const std::string node = "/sys/bus/usb/devices/" + port + "/" + port + ":1.0/video4linux";
    ASSERT_FALSE(List(node).empty());
    ASSERT_TRUE(bus.unplug(port));
    struct stat info {};
    EXPECT_NE(::stat(node.c_str(), &info), 0);
    v4l2_capability capability{};
    EXPECT_EQ(Request(fd, VIDIOC_QUERYCAP, &capability), ENODEV);
    EXPECT_EQ(model->videoNode(), "");
}

TEST_F(ControllerOnBus, AfterAnUpdateItComesBackWithANewNodeAndVersion) {
    UvcControllerOptions options = UvcControllerOptions::cypress("MKT-480011223", 14);
    options.mailboxReadyDelay = 0ms;
    options.reenumerationDelay = 20ms;
    plugAndOpen(options);
    const std::string before = model->videoNode();
    for (uint32_t i = 0; i < 4; ++i) writeByte(0x28 + i, static_cast<uint8_t>(0x5D3A17C4u >> (8 * i)));
    ASSERT_EQ(SetControl(fd, V4L2_CID_FOCUS_AUTO, 0), 0);
    const std::string tag = "....TYVO-FWVER";
    Bytes image(tag.begin(), tag.end());
    image.push_back(17);
    image.push_back(0);
    for (std::size_t i = 0; i < image.size(); i += 2)
        ASSERT_EQ(SetControl(fd, V4L2_CID_FOCUS_ABSOLUTE, image[i] | image[i + 1] << 8), 0);
    for (uint32_t i = 0; i < 4; ++i) writeByte(0x28 + i, static_cast<uint8_t>(0x2B86E94Fu >> (8 * i)));
    ASSERT_TRUE(model->successor());
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (bus.modelAt(port) != model->successor() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    ASSERT_EQ(bus.modelAt(port), model->successor());
    const std::string after = model->successor()->videoNode();
    EXPECT_FALSE(after.empty());
    EXPECT_NE(after, before);
    EXPECT_EQ(model->successor()->firmwareVersion(), 17);
    v4l2_capability capability{};
    EXPECT_EQ(Request(fd, VIDIOC_QUERYCAP, &capability), ENODEV);  // the old node is gone
}

}  // namespace
}  // namespace tyvo::sim
