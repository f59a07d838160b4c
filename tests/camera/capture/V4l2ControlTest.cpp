// Control requests of the V4L2 capture against the emulated controller: what
// the device receives for each numbered control, the success-without-device
// rule, the replay of requested values, the memory window through the whole
// stack, and requests from other threads while the camera streams.

#include <array>
#include <atomic>
#include <thread>
#include <vector>

#include "camera/capture/MemoryWindow.h"
#include "devices/core/DeviceExceptions.h"
#include "tests/camera/capture/CaptureFixture.h"
#include "tests/camera/capture/OpeningGate.h"

namespace {

using namespace std::chrono_literals;
using tyvo::sim::UvcControl;
using tyvo::sim::UvcControllerModel;

class V4l2Controls : public CaptureFixture {
protected:
    void streaming() {
        plug();
        makeContext();
        start();
        ASSERT_TRUE(watcher->waitForFrames(1));
    }
};

TEST_F(V4l2Controls, WithoutACameraARequestSucceedsAndIsReplayedOnceTheStreamIsBuilt) {
    plug();
    makeContext();
    EXPECT_TRUE(capture->putControl(13, 40));
    EXPECT_TRUE(capture->putControl(4, 200));
    int value = -1;
    EXPECT_TRUE(capture->getControl(13, value));
    EXPECT_EQ(value, 40);  // the cached value: no device was asked
    EXPECT_EQ(model->controlRequests(), 0u);
    start();
    ASSERT_TRUE(watcher->waitForFrames(1));
    EXPECT_EQ(model->controlValue(UvcControl::Gain), 40);
    EXPECT_EQ(model->controlValue(UvcControl::ZoomAbsolute), 200);
    // The replayed exposure and gain show in the frame trailer.
    const auto trailer = watcher->frames().back().trailer;
    EXPECT_EQ((trailer[3] & 0x0F) * 32 + (trailer[4] & 0x1F), 200);
    EXPECT_EQ(trailer[5] & 0x1F, 40 & 0x1F);
}

TEST_F(V4l2Controls, Control12AndUnknownNumbersFail) {
    plug();
    makeContext();
    int value = 0;
    EXPECT_FALSE(capture->putControl(12, 1));
    EXPECT_FALSE(capture->getControl(12, value));
    start();
    ASSERT_TRUE(watcher->waitForFrames(1));
    EXPECT_FALSE(capture->putControl(12, 1));
    EXPECT_FALSE(capture->getControl(12, value));
    EXPECT_FALSE(capture->putControl(0, 1));
    EXPECT_FALSE(capture->putControl(14, 1));
    EXPECT_FALSE(capture->putControl(-3, 1));
}

TEST_F(V4l2Controls, EachNumberedControlReachesItsStandardControl) {
    streaming();
    const std::vector<std::pair<int, UvcControl>> map = {
        {3, UvcControl::IrisAbsolute},
        {4, UvcControl::ZoomAbsolute},
        {5, UvcControl::Brightness},
        {6, UvcControl::Contrast},
        {7, UvcControl::Hue},
        {10, UvcControl::Gamma},
        {11, UvcControl::BacklightCompensation},
        {13, UvcControl::Gain},
    };
    int n = 0;
    for (const auto& [control, uvc] : map) {
        const int value = 100 + ++n;
        EXPECT_TRUE(capture->putControl(control, value)) << control;
        EXPECT_EQ(model->controlValue(uvc), value) << control;
        int back = 0;
        EXPECT_TRUE(capture->getControl(control, back));
        EXPECT_EQ(back, value) << control;
    }
}

TEST_F(V4l2Controls, ExposureReachesTheCameraInUvcUnitsAfterManualModeIsSet) {
    streaming();
    EXPECT_TRUE(capture->putControl(1, 10000));
    EXPECT_EQ(model->controlValue(UvcControl::ExposureAuto), 1);  // manual
    EXPECT_EQ(model->controlValue(UvcControl::ExposureAbsolute), 10000);
    EXPECT_TRUE(capture->putControl(1, 0));
    EXPECT_EQ(model->controlValue(UvcControl::ExposureAbsolute), 1);
    EXPECT_TRUE(capture->putControl(1, 7000));
    EXPECT_EQ(model->controlValue(UvcControl::ExposureAbsolute), 5000);
    int value = 0;
    EXPECT_TRUE(capture->getControl(1, value));
    EXPECT_EQ(value, 5000);
    // Manual mode is set once per opening, not with every request.
    int modeWrites = 0;
    for (const auto& w : model->controlWrites()) modeWrites += w.control == UvcControl::ExposureAuto ? 1 : 0;
    EXPECT_EQ(modeWrites, 1);
}

TEST_F(V4l2Controls, FocusWritesTurnAutomaticFocusOff) {
    streaming();
    EXPECT_TRUE(capture->putControl(2, 54321));
    EXPECT_EQ(model->controlValue(UvcControl::FocusAuto), 0);
    EXPECT_EQ(model->controlValue(UvcControl::FocusAbsolute), 54321);
}

TEST_F(V4l2Controls, ARefusedRequestFailsAndKeepsTheRequestedValue) {
    streaming();
    model->refuse(UvcControl::Hue, 1);
    EXPECT_FALSE(capture->putControl(7, 77));
    EXPECT_TRUE(capture->putControl(7, 78));
    EXPECT_EQ(model->controlValue(UvcControl::Hue), 78);
}

TEST_F(V4l2Controls, RangesComeFromTheCameraAndExposureIsConverted) {
    plug();
    makeContext();
    int minimum = 0, maximum = 0, step = 0, defaultValue = 0;
    EXPECT_FALSE(capture->controlRange(9, minimum, maximum, step, defaultValue));  // no camera yet
    start();
    ASSERT_TRUE(watcher->waitForFrames(1));
    ASSERT_TRUE(capture->controlRange(9, minimum, maximum, step, defaultValue));
    EXPECT_EQ(minimum, 0);
    EXPECT_EQ(maximum, 65535);
    ASSERT_TRUE(capture->controlRange(1, minimum, maximum, step, defaultValue));
    EXPECT_EQ(minimum, 1);
    EXPECT_EQ(maximum, 10000);
    EXPECT_EQ(step, 1);
    EXPECT_EQ(defaultValue, 156);
    EXPECT_FALSE(capture->controlRange(12, minimum, maximum, step, defaultValue));
}

TEST_F(V4l2Controls, TheMemoryWindowReadsAndWritesControllerMemory) {
    streaming();
    std::array<std::uint8_t, 14> serial{};
    readMemoryWindow(*capture, 0, serial.data(), 14);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(serial.data())), "MKT-210012345");

    const std::array<std::uint8_t, 4> bytes{0x11, 0x22, 0x33, 0x44};
    model->refuse(UvcControl::Sharpness, 3);
    model->refuse(UvcControl::Saturation, 2);
    writeMemoryWindowVerified(*capture, 0x200, bytes.data(), 4);
    EXPECT_EQ(model->memory(0x200, 4), (tyvo::sim::Bytes{0x11, 0x22, 0x33, 0x44}));
    writeMemoryWindow(*capture, 0x3B81, bytes.data(), 1);
    EXPECT_EQ(model->memory(0x3B81, 1), (tyvo::sim::Bytes{0x11}));

    std::array<std::uint8_t, 4> back{};
    readMemoryWindow(*capture, 0x200, back.data(), 4);
    EXPECT_EQ(back, bytes);
}

TEST_F(V4l2Controls, AControllerThatKeepsRefusingItsWindowIsNotConnected) {
    streaming();
    model->refuse(UvcControl::Saturation);
    std::uint8_t byte = 0;
    EXPECT_THROW(readMemoryWindow(*capture, 0, &byte, 1, MemoryWindowLimits{2ms, 200ms}), NotConnectedException);
}

TEST_F(V4l2Controls, RequestsFromOtherThreadsWhileStreaming) {
    streaming();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                if (!capture->putControl(10 + (t == 2 ? 1 : 0), i)) ++failures;
                int value = 0;
                if (!capture->getControl(5, value)) ++failures;
                if (t == 0 && i % 20 == 0) {
                    std::array<std::uint8_t, 4> serial{};
                    readMemoryWindow(*capture, 0, serial.data(), 4);
                    if (serial[0] != 'M') ++failures;
                }
            }
        });
    }
    const std::size_t before = watcher->frames().size();
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    EXPECT_TRUE(watcher->waitForFrames(before + 5));
    EXPECT_TRUE(capture->isConnected());
}

TEST_F(V4l2Controls, RequestsWhileTheCaptureIsStoppingAreNotConnected) {
    plug();
    makeContext();
    auto gate = std::make_shared<OpeningGate>();
    context->AddMember(gate);
    start();
    ASSERT_TRUE(gate->waitUntilOpened(10s));
    capture->Stop(false);  // the camera is still open
    int value = 0;
    EXPECT_THROW(capture->putControl(13, 1), NotConnectedException);
    EXPECT_THROW(capture->getControl(13, value), NotConnectedException);
    gate->open();
    capture->WaitForCompletion();
    // Closed now: a request succeeds without reaching a device.
    const std::size_t requests = model->controlRequests();
    EXPECT_TRUE(capture->putControl(13, 2));
    EXPECT_EQ(model->controlRequests(), requests);
}

}  // namespace
