#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "camera/capture/TyvoCameraFactory.h"
#include "camera/capture/UVCInterface.h"
#include "camera/capture/VideoNodeLocator.h"
#include "context/Autowired.h"
#include "logging/LogHandle.h"

class V4l2Device;

// The Linux capture object: finds the controller's video node through sysfs
// from the device name of the context's camera factory, streams YUYV frames
// of the requested size from memory-mapped buffers, fires each whole frame as
// RawFrameListener::onRawFrame on the capture thread, and carries the
// numbered controls by the standard V4L2 controls the UVC driver maps onto the
// same UVC controls (so the controller receives the values it would receive
// anywhere).
//
// A stream ends in one of three ways: quietly, for a command or a stop
// request; with a runtime error when it stalls (no frame within the stall
// time, as after a suspend) or fails; with device_lost_exception, after
// isConnected has turned false, when the device has vanished.
class UVCInterfaceV4L2 : public UVCInterface {
public:
    // Buffers the driver is asked for.
    static constexpr unsigned kBufferCount = 4;
    // Attempts to open the camera, and the pause after a failed one.
    static constexpr int kOpenAttempts = 10;
    static constexpr std::chrono::milliseconds kOpenRetryPause{100};

    UVCInterfaceV4L2();
    ~UVCInterfaceV4L2() override;

    bool controlRange(int control, int& minimum, int& maximum, int& step, int& defaultValue) override;
    // A changed format restarts a running stream (command 4).
    bool requestFormat(int width, int height, float frameRate) override;
    void openCamera() override;
    void runStream() override;
    void closeCamera() override;
    void wake() override;
    bool readControl(int control, int& value) override;
    bool writeControl(int control, int value) override;

    // A stream that delivers no frame for this long has stalled. Set before
    // the thread starts.
    void setStallTimeout(std::chrono::milliseconds timeout) { m_stallTimeout = timeout; }
    // Where sysfs and the device nodes are (tests only; before the thread
    // starts).
    void setRoots(std::string sysfsRoot, std::string devRoot);

    // The V4L2 control that carries a capture control, 0 for none.
    static std::uint32_t v4l2ControlFor(int control);

private:
    void openOnce();
    // Control request on the open camera: the descriptor under both locks.
    template <class Call>
    bool controlRequest(Call call);
    // Sets the driver's automatic modes off for the absolute controls the
    // device is written through, as a manual control request does.
    void takeManualControl(V4l2Device& camera);
    void buildStream(V4l2Device& camera, int width, int height);
    void startStream(V4l2Device& camera);
    void streamLoop(V4l2Device& camera, int width, int height);
    // Dequeues one frame, fires it when whole and hands the buffer back;
    // false when none was ready.
    bool deliverFrame(V4l2Device& camera, int width, int height);
    [[noreturn]] void streamFailed(int error);
    [[noreturn]] void deviceLost();
    V4l2Device* cameraOnCaptureThread() const;

    LogHandle m_log;
    Autowired<DeviceCameraFactory> m_factory;
    // The camera is replaced only under the state lock, and destroyed only
    // after the I/O lock shows that no control request uses it.
    std::unique_ptr<V4l2Device> m_camera;
    VideoNode m_node;
    // Automatic modes already turned off on this camera (guarded by the I/O
    // lock).
    std::uint32_t m_manualTaken = 0;
    int m_wakeFd = -1;
    std::chrono::milliseconds m_stallTimeout{5000};
    std::string m_sysfsRoot = "/sys";
    std::string m_devRoot = "/dev";
};
