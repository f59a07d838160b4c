#include "camera/capture/UVCInterfaceV4L2.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "camera/capture/ExposureConversion.h"
#include "camera/capture/V4l2Device.h"
#include "devices/core/DeviceExceptions.h"

namespace {

using Clock = std::chrono::steady_clock;

// The system's fixed texts for the ways a stream fails.
constexpr const char* kFormatMissing = "UVCInterfaceDShow error: Could not find desired format";
constexpr const char* kStreamNotBuilt = "Failed to assemble a filter graph to deliver frames";
constexpr const char* kSystemLoad = "Couldn't start a context due to excessive system load";
constexpr const char* kStartFailed = "Failed to start a control after building a filter graph";
constexpr const char* kStreamPaused = "Filter graph paused unexpectedly, aborting context";
constexpr const char* kStreamPausedLog = "DirectShow filter graph was paused, probably due to suspend--rebuilding";
constexpr const char* kDeviceLost = "EC_DEVICE_LOST, DirectShow device lost, possibly detached or disabled";

// After the bandwidth of the bus was exhausted the stream waits this long
// before it gives up, so that a rebuild does not hammer the bus.
constexpr std::chrono::seconds kSystemLoadPause{5};
// A failing stream whose node is still in sysfs gets this long to vanish
// before the failure counts as a stall rather than a lost device: the kernel
// fails the stream as it begins to take the device down.
constexpr std::chrono::milliseconds kRemovalGrace{500};
// How long the stream waits only for wake-ups after the node reported a
// frame it did not have.
constexpr std::chrono::milliseconds kSpuriousReadyPause{1};

// Diagnostic for a failed platform call that does not end the operation;
// the site numbers name the step of the open and the stream build.
enum DiagnosticSite : int {
    kSiteOpenNode = 449,
    kSiteQueryCapabilities = 457,
    kSiteSetFormat = 640,
    kSiteRequestBuffers = 653,
    kSiteQueueBuffer = 658,
};

void diagnose(int site, int error) {
    std::fprintf(stderr, "Failed: UVCInt@%d code 0x%X\n", site, static_cast<unsigned>(error));
}

// Errors that mean the device file has gone away.
bool deviceGone(int error) { return error == ENODEV || error == ENXIO || error == ENOENT; }

// The automatic mode that a manual request of a control turns off.
struct ManualMode {
    int control;
    std::uint32_t autoId;
    std::int32_t manualValue;
    std::uint32_t bit;
};
constexpr ManualMode kManualModes[] = {
    {kCaptureExposure, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL, 1u},
    {kCaptureFocus, V4L2_CID_FOCUS_AUTO, 0, 2u},
};

}  // namespace

UVCInterfaceV4L2::UVCInterfaceV4L2() {
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0) throw std::runtime_error("UVCInterfaceV4L2: cannot create its wake-up event");
    Ready();
}

UVCInterfaceV4L2::~UVCInterfaceV4L2() {
    closeCamera();
    ::close(m_wakeFd);
}

void UVCInterfaceV4L2::setRoots(std::string sysfsRoot, std::string devRoot) {
    m_sysfsRoot = std::move(sysfsRoot);
    m_devRoot = std::move(devRoot);
}

std::uint32_t UVCInterfaceV4L2::v4l2ControlFor(int control) {
    switch (control) {
        case kCaptureExposure: return V4L2_CID_EXPOSURE_ABSOLUTE;
        case kCaptureFocus: return V4L2_CID_FOCUS_ABSOLUTE;
        case kCaptureIris: return V4L2_CID_IRIS_ABSOLUTE;
        case kCaptureZoom: return V4L2_CID_ZOOM_ABSOLUTE;
        case kCaptureBrightness: return V4L2_CID_BRIGHTNESS;
        case kCaptureContrast: return V4L2_CID_CONTRAST;
        case kCaptureHue: return V4L2_CID_HUE;
        case kCaptureSaturation: return V4L2_CID_SATURATION;
        case kCaptureSharpness: return V4L2_CID_SHARPNESS;
        case kCaptureGamma: return V4L2_CID_GAMMA;
        case kCaptureBacklightCompensation: return V4L2_CID_BACKLIGHT_COMPENSATION;
        case kCaptureGain: return V4L2_CID_GAIN;
        default: return 0;  // 12 and every other number
    }
}

// ---------------------------------------------------------------- controls

template <class Call>
bool UVCInterfaceV4L2::controlRequest(Call call) {
    std::lock_guard<std::mutex> io(m_ioLock);
    std::unique_lock<std::mutex> state(m_stateLock);
    // No camera open: the request succeeds without reaching a device; the
    // cached value goes to the device when the next stream is built.
    if (!m_camera) return true;
    if (ShouldStop()) throw NotConnectedException();
    V4l2Device& camera = *m_camera;
    // The camera stays open while the I/O lock is held (closeCamera waits
    // for it), so the request needs the state lock no longer.
    state.unlock();
    const int error = call(camera);
    if (error == 0) return true;
    if (deviceGone(error)) throw NotConnectedException();
    return false;
}

bool UVCInterfaceV4L2::readControl(int control, int& value) {
    const std::uint32_t id = v4l2ControlFor(control);
    if (id == 0) return false;
    // What a request without a camera reports: the value last cached.
    value = cachedValue(control);
    return controlRequest([&](V4l2Device& camera) {
        std::int32_t raw = 0;
        const int error = V4l2Device::getControl(camera.fd(), id, raw);
        if (error == 0) value = control == kCaptureExposure ? exposureThroughLog2Seconds(raw) : raw;
        return error;
    });
}

bool UVCInterfaceV4L2::writeControl(int control, int value) {
    const std::uint32_t id = v4l2ControlFor(control);
    if (id == 0) return false;
    const std::int32_t raw = control == kCaptureExposure ? exposureThroughLog2Seconds(value) : value;
    return controlRequest([&](V4l2Device& camera) {
        for (const ManualMode& mode : kManualModes) {
            if (mode.control != control || (m_manualTaken & mode.bit) != 0) continue;
            // Once per opening, as the first manual request of the control
            // on the original platform does: the driver's automatic mode
            // would otherwise refuse the absolute value. Devices without the
            // automatic control simply have nothing to turn off.
            m_manualTaken |= mode.bit;
            v4l2_queryctrl query{};
            if (camera.queryControl(mode.autoId, query) == 0 && (query.flags & V4L2_CTRL_FLAG_DISABLED) == 0)
                (void)V4l2Device::setControl(camera.fd(), mode.autoId, mode.manualValue);
        }
        return V4l2Device::setControl(camera.fd(), id, raw);
    });
}

bool UVCInterfaceV4L2::controlRange(int control, int& minimum, int& maximum, int& step, int& defaultValue) {
    const std::uint32_t id = v4l2ControlFor(control);
    if (id == 0) return false;
    std::lock_guard<std::mutex> state(m_stateLock);
    if (!m_camera) return false;
    v4l2_queryctrl query{};
    if (m_camera->queryControl(id, query) != 0 || (query.flags & V4L2_CTRL_FLAG_DISABLED) != 0) return false;
    minimum = query.minimum;
    maximum = query.maximum;
    step = query.step;
    defaultValue = query.default_value;
    if (control == kCaptureExposure) {
        minimum = exposureThroughLog2Seconds(minimum);
        maximum = exposureThroughLog2Seconds(maximum);
        defaultValue = exposureThroughLog2Seconds(defaultValue);
        step = 1;
    }
    return true;
}

// ------------------------------------------------------------ open / close

void UVCInterfaceV4L2::openCamera() {
    for (int attempt = 1;; ++attempt) {
        try {
            openOnce();
            return;
        } catch (...) {
            if (attempt >= kOpenAttempts) throw;
            // A stop request during the pause ends the attempts at once.
            if (WaitForStop(kOpenRetryPause)) throw;
        }
    }
}

void UVCInterfaceV4L2::openOnce() {
    const std::shared_ptr<DeviceCameraFactory> factory = m_factory.shared();
    if (!factory) throw hardware_exception("Failed to obtain a reference to the local camera factory");
    const std::wstring& name = factory->deviceName();
    if (name.empty()) throw hardware_exception("Cannot create a camera without a device name");

    // The first node of the device that opens as a streaming capture device.
    for (const VideoNode& node : videoNodesOf(portChainFromDevicePath(name), m_sysfsRoot, m_devRoot)) {
        auto camera = std::make_unique<V4l2Device>();
        if (const int error = camera->open(node.devicePath)) {
            diagnose(kSiteOpenNode, error);
            continue;
        }
        bool isCapture = false;
        if (const int error = camera->queryCapture(isCapture)) {
            diagnose(kSiteQueryCapabilities, error);
            continue;
        }
        if (!isCapture) continue;
        closeCamera();
        std::lock_guard<std::mutex> io(m_ioLock);
        std::lock_guard<std::mutex> state(m_stateLock);
        m_camera = std::move(camera);
        m_node = node;
        m_manualTaken = 0;
        return;
    }
    throw hardware_exception("Unable to enumerate a device with the specified name");
}

void UVCInterfaceV4L2::closeCamera() {
    std::unique_ptr<V4l2Device> camera;
    {
        std::lock_guard<std::mutex> state(m_stateLock);
        camera = std::move(m_camera);
    }
    if (!camera) return;
    // A control request still using the descriptor finishes first.
    { std::lock_guard<std::mutex> io(m_ioLock); }
    camera.reset();
}

V4l2Device* UVCInterfaceV4L2::cameraOnCaptureThread() const {
    // Only the capture thread replaces the camera, so it may look without
    // the lock; other threads go through controlRequest.
    return m_camera.get();
}

// -------------------------------------------------------------- streaming

bool UVCInterfaceV4L2::requestFormat(int width, int height, float frameRate) {
    if (!UVCInterface::requestFormat(width, height, frameRate)) return false;
    bool built = false;
    {
        std::lock_guard<std::mutex> state(m_stateLock);
        built = m_camera && m_camera->bufferCount() > 0;
    }
    if (built) post(kCommandRestart);
    return true;
}

void UVCInterfaceV4L2::wake() {
    const std::uint64_t one = 1;
    // A full counter already wakes the stream; nothing else can fail here.
    (void)!::write(m_wakeFd, &one, sizeof one);
}

void UVCInterfaceV4L2::runStream() {
    // However the stream ends, it leaves nothing open behind it.
    struct Ending {
        UVCInterfaceV4L2& self;
        ~Ending() {
            self.setStreamState(kNotStreaming);
            self.closeCamera();
        }
    } ending{*this};

    V4l2Device* camera = cameraOnCaptureThread();
    if (camera == nullptr) throw std::runtime_error(kStreamNotBuilt);
    int width = 0;
    int height = 0;
    {
        std::lock_guard<std::mutex> state(m_stateLock);
        requestedFormatLocked(width, height);
        buildStream(*camera, width, height);
    }
    // Values requested while no stream existed reach the device now.
    for (const auto& [control, value] : dirtyControls()) writeControl(control, value);
    startStream(*camera);
    setStreamState(kStreaming);
    streamLoop(*camera, width, height);
}

void UVCInterfaceV4L2::buildStream(V4l2Device& camera, int width, int height) {
    if (width <= 0 || height <= 0 ||
        !camera.offersYuyv(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height)))
        throw std::runtime_error(kFormatMissing);
    if (const int error = camera.setYuyv(static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height))) {
        if (deviceGone(error)) deviceLost();
        if (error != EINVAL) diagnose(kSiteSetFormat, error);
        throw std::runtime_error(kFormatMissing);
    }
    if (const int error = camera.mapBuffers(kBufferCount)) {
        if (deviceGone(error)) deviceLost();
        diagnose(kSiteRequestBuffers, error);
        throw std::runtime_error(kStreamNotBuilt);
    }
    for (unsigned index = 0; index < camera.bufferCount(); ++index) {
        if (const int error = camera.queueBuffer(index)) {
            if (deviceGone(error)) deviceLost();
            diagnose(kSiteQueueBuffer, error);
            throw std::runtime_error(kStreamNotBuilt);
        }
    }
}

void UVCInterfaceV4L2::startStream(V4l2Device& camera) {
    const int error = camera.streamOn();
    if (error == 0) return;
    if (deviceGone(error)) deviceLost();
    if (error == ENOSPC) {
        // The bus has no bandwidth left for the stream.
        closeCamera();
        WaitForStop(kSystemLoadPause);
        throw std::runtime_error(kSystemLoad);
    }
    throw scorch_exception(kStartFailed);
}

void UVCInterfaceV4L2::streamLoop(V4l2Device& camera, int width, int height) {
    auto lastFrame = Clock::now();
    bool readyWithoutFrame = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> state(m_stateLock);
            if (streamMustEndLocked()) return;
        }
        const auto quiet = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastFrame);
        if (quiet >= m_stallTimeout) streamFailed(0);
        auto wait = std::min(m_stallTimeout - quiet, std::chrono::milliseconds(1000));

        // A node that reported a frame it then did not have (a plain file
        // always polls readable, and a driver may after an error) is not
        // asked again at once: only wake-ups are waited for, briefly, so
        // that the wait does not turn into a spin.
        const nfds_t watched = readyWithoutFrame ? 1 : 2;
        if (readyWithoutFrame) wait = std::min(wait, kSpuriousReadyPause);
        pollfd fds[2] = {{m_wakeFd, POLLIN, 0}, {camera.fd(), POLLIN, 0}};
        const int ready = ::poll(fds, watched, static_cast<int>(wait.count()));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;  // a failed wait leaves the stream
        }
        if ((fds[0].revents & POLLIN) != 0) {
            std::uint64_t count = 0;
            (void)!::read(m_wakeFd, &count, sizeof count);
            continue;  // the queue is looked at first
        }
        if (readyWithoutFrame) {
            readyWithoutFrame = false;
            continue;
        }
        if (fds[1].revents == 0) continue;
        if (deliverFrame(camera, width, height)) {
            lastFrame = Clock::now();
        } else {
            readyWithoutFrame = true;
        }
    }
}

bool UVCInterfaceV4L2::deliverFrame(V4l2Device& camera, int width, int height) {
    v4l2_buffer buffer{};
    const int error = camera.dequeueBuffer(buffer);
    if (error == EAGAIN) return false;
    if (error != 0) streamFailed(error);
    const V4l2Device::MappedBuffer& mapped = camera.buffer(buffer.index);
    const std::size_t expected = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 2;
    // Only whole frames of the requested format go on; a short or flagged
    // buffer is handed back unseen.
    if ((buffer.flags & V4L2_BUF_FLAG_ERROR) == 0 && buffer.bytesused == expected && mapped.length >= expected) {
        const std::int64_t timestamp =
            static_cast<std::int64_t>(buffer.timestamp.tv_sec) * 1000000 + buffer.timestamp.tv_usec;
        fireRawFrame(timestamp, static_cast<const std::uint8_t*>(mapped.start), width, height);
    }
    if (const int requeue = camera.queueBuffer(buffer.index)) streamFailed(requeue);
    return true;
}

void UVCInterfaceV4L2::streamFailed(int error) {
    if (deviceGone(error)) deviceLost();
    const auto deadline = Clock::now() + kRemovalGrace;
    while (videoNodePresent(m_node)) {
        if (Clock::now() >= deadline) {
            m_log.critical(kStreamPausedLog);
            throw std::runtime_error(kStreamPaused);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    deviceLost();
}

void UVCInterfaceV4L2::deviceLost() {
    markDeviceLost();
    throw device_lost_exception(kDeviceLost);
}
