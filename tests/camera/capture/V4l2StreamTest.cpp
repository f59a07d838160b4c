// The V4L2 capture against the emulated controller: frames of the requested
// size as raw-frame events, restarts for a new format, and the ways a stream
// ends (bad format, stall, vanished device, failed open).

#include <chrono>
#include <set>
#include <thread>

#include "tests/camera/capture/CaptureFixture.h"

namespace {

using namespace std::chrono_literals;
using tyvo::sim::UvcControllerOptions;

using V4l2Stream = CaptureFixture;

TEST_F(V4l2Stream, FramesOfTheRequestedSizeArriveWithIncreasingTimestamps) {
    plug();
    makeContext();
    start(640, 480);
    ASSERT_TRUE(watcher->waitForFrames(12));
    const auto frames = watcher->frames();
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].width, 640);
        EXPECT_EQ(frames[i].height, 480);
        EXPECT_EQ(frames[i].openingsBefore, 1) << "announced before it streamed";
        if (i > 0) {
            EXPECT_GT(frames[i].timestamp, frames[i - 1].timestamp);
        }
        // The trailer's frame count moves on with every frame.
        const int count = (frames[i].trailer[1] & 0x0F) * 16 + (frames[i].trailer[2] & 0x0F);
        if (i > 0) {
            const int previous = (frames[i - 1].trailer[1] & 0x0F) * 16 + (frames[i - 1].trailer[2] & 0x0F);
            EXPECT_EQ(count, previous % 127 + 1);
        }
    }
    EXPECT_EQ(watcher->openings(), 1);
    EXPECT_TRUE(capture->isConnected());
    EXPECT_EQ(capture->streamState(), UVCInterface::kStreaming);
}

TEST_F(V4l2Stream, AChangedFormatRestartsTheStreamAndTheSameOneDoesNot) {
    plug();
    makeContext();
    start(640, 480);
    ASSERT_TRUE(watcher->waitForFrames(3));
    EXPECT_FALSE(capture->requestFormat(640, 480, 0.0f));
    EXPECT_TRUE(capture->requestFormat(640, 240, 0.0f));
    ASSERT_TRUE(watcher->waitForFramesOfHeight(240, 3));
    const auto stats = model->videoStats();
    EXPECT_EQ(stats.streamOns, 2u);
    ASSERT_FALSE(stats.formatsSet.empty());
    EXPECT_EQ(stats.formatsSet.back(), (tyvo::sim::FrameSize{640, 240}));
    EXPECT_EQ(watcher->openings(), 2);  // every opening is announced
    // Once the new frames come, no old ones follow.
    const auto frames = watcher->frames();
    bool seenNew = false;
    for (const auto& f : frames) {
        if (f.height == 240) seenNew = true;
        if (seenNew) {
            EXPECT_EQ(f.height, 240);
        }
    }
}

TEST_F(V4l2Stream, AStartCommandWhileStreamingIsDropped) {
    plug();
    makeContext();
    start();
    ASSERT_TRUE(watcher->waitForFrames(2));
    capture->post(UVCInterface::kCommandStream);
    const std::size_t before = watcher->frames().size();
    ASSERT_TRUE(watcher->waitForFrames(before + 5));
    EXPECT_EQ(model->videoStats().streamOns, 1u);
    EXPECT_EQ(watcher->openings(), 1);
}

TEST_F(V4l2Stream, AFormatTheCameraDoesNotOfferEndsTheStream) {
    plug();
    makeContext();
    start(640, 200);
    ASSERT_TRUE(watcher->waitForEnd());
    EXPECT_EQ(watcher->endKind(), "runtime");
    EXPECT_EQ(watcher->endText(), "UVCInterfaceDShow error: Could not find desired format");
    EXPECT_TRUE(watcher->frames().empty());
    EXPECT_TRUE(capture->isConnected());
}

TEST_F(V4l2Stream, AVanishedDeviceEndsTheCaptureThreadAsDeviceLost) {
    plug();
    model->vanishAfterFrames(5);
    makeContext();
    start();
    ASSERT_TRUE(watcher->waitForEnd());
    EXPECT_EQ(watcher->endKind(), "device_lost");
    EXPECT_EQ(watcher->endText(), "EC_DEVICE_LOST, DirectShow device lost, possibly detached or disabled");
    EXPECT_FALSE(capture->isConnected());
    EXPECT_EQ(watcher->frames().size(), 5u);
    capture->WaitForCompletion();
    EXPECT_EQ(capture->streamState(), UVCInterface::kNotStreaming);
}

TEST_F(V4l2Stream, AStalledStreamIsARuntimeError) {
    plug();
    model->stallAfterFrames(3);
    makeContext();
    capture->setStallTimeout(300ms);
    start();
    ASSERT_TRUE(watcher->waitForEnd());
    EXPECT_EQ(watcher->endKind(), "runtime");
    EXPECT_EQ(watcher->endText(), "Filter graph paused unexpectedly, aborting context");
    EXPECT_TRUE(capture->isConnected());
    EXPECT_EQ(watcher->frames().size(), 3u);
}

TEST_F(V4l2Stream, WithoutACameraFactoryTheOpenGivesUpAfterItsAttempts) {
    plug();
    makeContext(false);
    const auto begin = std::chrono::steady_clock::now();
    start();
    ASSERT_TRUE(watcher->waitForEnd());
    EXPECT_EQ(watcher->endKind(), "hardware");
    EXPECT_EQ(watcher->endText(), "Failed to obtain a reference to the local camera factory");
    // Nine pauses of 100 ms between the ten attempts.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 900ms);
    EXPECT_EQ(watcher->openings(), 0);
}

TEST_F(V4l2Stream, ADevicePathWithoutVideoNodeIsNotFound) {
    plug();
    port = "1-9";  // nothing plugged there
    makeContext();
    start();
    ASSERT_TRUE(watcher->waitForEnd());
    EXPECT_EQ(watcher->endText(), "Unable to enumerate a device with the specified name");
}

TEST_F(V4l2Stream, AStopDuringTheOpenAttemptsEndsThemAtOnce) {
    plug();
    makeContext(false);
    start();
    std::this_thread::sleep_for(150ms);
    const auto begin = std::chrono::steady_clock::now();
    context->RequestShutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 500ms);
    EXPECT_TRUE(capture->IsCompleted());
}

TEST_F(V4l2Stream, TheEmbeddedControllerStreamsItsTallerFrames) {
    plug(UvcControllerOptions::embedded());
    context = CoreContext::Current()->NewChild();
    {
        CurrentContextScope scope(context);
        context->AddMember(std::make_shared<DeviceCameraFactory>(devicePathFor(port, 0x05A9, 0xF580), nullptr));
        watcher = std::make_shared<CaptureWatcher>();
        context->AddMember(watcher);
        capture = AutoRequired<UVCInterfaceV4L2>().shared();
    }
    start(640, 481);
    ASSERT_TRUE(watcher->waitForFrames(3));
    EXPECT_EQ(watcher->frames().front().height, 481);
}

}  // namespace
