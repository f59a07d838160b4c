// tyvo-uvc-gadget: the Tyvo controller in normal operation as a real USB
// camera. The controller model of sim/ (its controls, memory window,
// authentication, calibration block and frames) behind gadgetfs, so that
// the kernel's own uvcvideo driver makes a /dev/videoN of it and the
// unmodified tool talks to it through V4L2. dummy_hcd has no isochronous
// endpoints: the camera streams over bulk, which uvcvideo accepts.
//
//   tyvo-uvc-gadget [--gadgetfs DIR] [--verbose]
//       DIR is where gadgetfs is mounted (default /dev/gadget). Writing the
//       descriptors plugs the camera in; SIGTERM or SIGINT unplug it and
//       end the program, which then tells whether the host authenticated
//       and how many frames went out. "frames N" lines follow the stream.

#include "sim/controller/UvcControllerModel.h"
#include "sim/gadget/Ep0Exchange.h"
#include "sim/gadget/UvcRequests.h"

#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace {

using namespace tyvo::sim;
using namespace tyvo::sim::gadget;
using Clock = std::chrono::steady_clock;

constexpr char kSerial[] = "MKT-210012345";
constexpr int kFirmwareVersion = 17;
// Interrupts a streaming write the host no longer reads (after its
// STREAMOFF, which the device is never told about on bulk).
constexpr int kStopSignal = SIGUSR2;

bool g_verbose = false;
void tell(const std::string& text) {
    if (g_verbose) std::cerr << "uvc-gadget: " << text << std::endl;
}

std::string describe(const SetupPacket& s) {
    char text[64];
    std::snprintf(text, sizeof text, "request %02x %02x %04x %04x %u", s.bmRequestType, s.bRequest, s.wValue, s.wIndex,
                  s.wLength);
    return text;
}

// The stream: one thread writing the model's frames to the bulk endpoint,
// paced at the camera's frame interval, each frame in payloads with the
// UVC header (frame id toggling per frame, end of frame on the last).
class Streamer {
public:
    Streamer(UvcControllerModel& model, std::mutex& modelLock) : m_model(model), m_modelLock(modelLock) {}
    ~Streamer() { stop(); }

    void start(int endpoint, const StreamSettings& settings) {
        stop();
        m_running = true;
        m_thread = std::thread([this, endpoint, settings] { run(endpoint, settings); });
    }
    void stop() {
        if (!m_thread.joinable()) return;
        m_running = false;
        pthread_kill(m_thread.native_handle(), kStopSignal);
        m_thread.join();
    }
    uint64_t frames() const { return m_frames; }

private:
    void run(int endpoint, StreamSettings settings) {
        // The frames may wait; ep0 may not (see main).
        sched_param ordinary{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &ordinary);
        tell("streaming " + std::to_string(settings.size.width) + " x " + std::to_string(settings.size.height));
        Bytes frame(settings.maxVideoFrameSize);
        Bytes payload(settings.maxPayloadTransferSize);
        auto due = Clock::now();
        const auto interval = std::chrono::nanoseconds(uint64_t{settings.frameInterval} * 100);
        for (uint64_t sequence = 0; m_running; ++sequence) {
            std::this_thread::sleep_until(due);
            due += interval;
            {
                std::lock_guard lock(m_modelLock);
                if (m_model.nextFrame(sequence) != V4l2CameraBackend::FrameFate::Deliver) continue;
                m_model.renderFrame(frame.data(), settings.size, sequence);
            }
            const uint8_t fid = sequence & 1;
            for (std::size_t at = 0; at < frame.size() && m_running;) {
                const std::size_t n = std::min(frame.size() - at, payload.size() - 2);
                payload[0] = 2;
                payload[1] = static_cast<uint8_t>(0x80 | fid | (at + n == frame.size() ? 0x02 : 0));
                std::memcpy(payload.data() + 2, frame.data() + at, n);
                if (::write(endpoint, payload.data(), n + 2) != static_cast<ssize_t>(n + 2)) {
                    tell(std::string("stream stopped: ") + std::strerror(errno));
                    return;
                }
                at += n;
            }
            const uint64_t sent = ++m_frames;
            if (sent % 10 == 0) std::cout << "frames " << sent << std::endl;
        }
    }

    UvcControllerModel& m_model;
    std::mutex& m_modelLock;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<uint64_t> m_frames{0};
};

Bytes deviceDescriptor(const UvcControllerModel& model) {
    Bytes d = model.descriptors().device;
    // A composite device with an interface association: the Video class
    // lives on the interfaces.
    d[4] = 0xEF;
    d[5] = 0x02;
    d[6] = 0x01;
    return d;
}

class UvcGadget {
public:
    UvcGadget(const std::filesystem::path& gadgetfs, std::shared_ptr<UvcControllerModel> model)
        : m_dir(gadgetfs), m_model(std::move(model)), m_requests(*m_model), m_streamer(*m_model, m_modelLock) {
        const std::string ep0 = (m_dir / "dummy_udc").string();
        m_ep0 = ::open(ep0.c_str(), O_RDWR | O_CLOEXEC);
        if (m_ep0 < 0) throw std::runtime_error("cannot open " + ep0 + ": " + std::strerror(errno));
        // gadgetfs takes tag 0, the full-speed and high-speed configurations,
        // then the device descriptor; the device is on the bus from here.
        Bytes block{0, 0, 0, 0};
        const Bytes full = UvcConfiguration(*m_model, 64);
        const Bytes high = UvcConfiguration(*m_model, 512);
        block.insert(block.end(), full.begin(), full.end());
        block.insert(block.end(), high.begin(), high.end());
        const Bytes device = deviceDescriptor(*m_model);
        block.insert(block.end(), device.begin(), device.end());
        if (::write(m_ep0, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
            throw std::runtime_error(std::string("gadgetfs refused the descriptors: ") + std::strerror(errno));
    }
    ~UvcGadget() {
        m_streamer.stop();
        if (m_endpoint >= 0) ::close(m_endpoint);
        ::close(m_ep0);
    }

    int ep0Fd() const { return m_ep0; }
    uint64_t frames() const { return m_streamer.frames(); }

    void serveEp0() {
        usb_gadgetfs_event events[5];
        const ssize_t n = RetryOnEp0([&] { return ::read(m_ep0, events, sizeof events); }, ClassifyEventReadError);
        if (n < 0) throw std::runtime_error(std::string("reading ep0: ") + std::strerror(errno));
        for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
            switch (events[i].type) {
                case GADGETFS_SETUP: serveSetup(SetupFromEvent(events[i].u.setup)); break;
                case GADGETFS_DISCONNECT:
                    tell("disconnect");
                    m_streamer.stop();
                    break;
                case GADGETFS_CONNECT: tell("connect"); break;
                default: break;
            }
        }
    }

private:
    void serveSetup(const SetupPacket& setup) {
        // The data stage first, at once (see Ep0Exchange.h).
        Bytes out;
        if (!setup.deviceToHost() && setup.wLength > 0) {
            out.resize(setup.wLength);
            const ssize_t got =
                RetryOnEp0([&] { return ::read(m_ep0, out.data(), out.size()); }, ClassifyDataStageError);
            if (got < 0) {
                tell("the data stage of " + describe(setup) + " was lost: " + std::strerror(errno));
                return;
            }
            out.resize(static_cast<std::size_t>(got));
        }
        if (g_verbose && setup.requestType() != 1) tell(describe(setup));
        TransferReply reply;
        if (setup.requestType() == 0) {
            reply = standardRequest(setup);
        } else {
            std::lock_guard lock(m_modelLock);
            reply = m_requests.handle(setup, out);
        }
        if (reply.in.size() > setup.wLength) reply.in.resize(setup.wLength);
        uint8_t none = 0;
        switch (AnswerFor(setup, reply)) {
            case Ep0Answer::SendData:
                if (::write(m_ep0, reply.in.data(), reply.in.size()) < 0) tell("an answer was lost");
                break;
            case Ep0Answer::AcknowledgeStatus:
                if (::read(m_ep0, &none, 0) < 0) tell("a status stage was lost");
                break;
            case Ep0Answer::Halt:
                if (setup.deviceToHost())
                    (void)::read(m_ep0, &none, 0);
                else
                    (void)::write(m_ep0, &none, 0);
                break;
            default: break;
        }
        if (setup.requestType() == 1) {
            std::optional<StreamSettings> commit;
            {
                std::lock_guard lock(m_modelLock);
                commit = m_requests.takeCommit();
            }
            if (commit && m_endpoint >= 0) m_streamer.start(m_endpoint, *commit);
        }
    }

    TransferReply standardRequest(const SetupPacket& setup) {
        switch (setup.bRequest) {
            case USB_REQ_GET_DESCRIPTOR: {
                if ((setup.wValue >> 8) != USB_DT_STRING) return TransferReply::stall();
                const auto text = m_model->descriptors().descriptor(USB_DT_STRING, setup.wValue & 0xFF, setup.wIndex);
                return text ? TransferReply::data(*text) : TransferReply::stall();
            }
            case USB_REQ_SET_CONFIGURATION:
                m_streamer.stop();
                if (setup.wValue != 0) openEndpoint();
                return TransferReply::accepted(0);
            case USB_REQ_SET_INTERFACE:
                // uvcvideo selects alternate setting 0 when it starts; bulk
                // streaming has no other.
                return setup.wValue == 0 ? TransferReply::accepted(0) : TransferReply::stall();
            case USB_REQ_GET_INTERFACE: return TransferReply::data({0});
            default: return TransferReply::stall();
        }
    }

    void openEndpoint() {
        if (m_endpoint >= 0) return;
        const std::string path = (m_dir / "ep1in-bulk").string();
        m_endpoint = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
        if (m_endpoint < 0) throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        // Tag 1, then the endpoint for full speed and for high speed.
        const std::array<uint8_t, 4 + 2 * USB_DT_ENDPOINT_SIZE> config{1,
                                                                       0,
                                                                       0,
                                                                       0,
                                                                       USB_DT_ENDPOINT_SIZE,
                                                                       USB_DT_ENDPOINT,
                                                                       kUvcStreamingEndpoint,
                                                                       USB_ENDPOINT_XFER_BULK,
                                                                       64,
                                                                       0,
                                                                       0,
                                                                       USB_DT_ENDPOINT_SIZE,
                                                                       USB_DT_ENDPOINT,
                                                                       kUvcStreamingEndpoint,
                                                                       USB_ENDPOINT_XFER_BULK,
                                                                       0,
                                                                       2,
                                                                       0};
        if (::write(m_endpoint, config.data(), config.size()) != static_cast<ssize_t>(config.size()))
            throw std::runtime_error(std::string("gadgetfs refused the endpoint: ") + std::strerror(errno));
        tell("streaming endpoint enabled");
    }

    std::filesystem::path m_dir;
    std::shared_ptr<UvcControllerModel> m_model;
    std::mutex m_modelLock;  // the control requests here, the frames on the streamer's thread
    UvcRequests m_requests;
    Streamer m_streamer;
    int m_ep0 = -1;
    int m_endpoint = -1;
};

}  // namespace

int main(int argc, char* argv[]) {
    std::filesystem::path gadgetfs = "/dev/gadget";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--verbose") {
            g_verbose = true;
        } else if (arg == "--gadgetfs" && i + 1 < argc) {
            gadgetfs = argv[++i];
        } else {
            std::cerr << "usage: tyvo-uvc-gadget [--gadgetfs DIR] [--verbose]" << std::endl;
            return 2;
        }
    }
    // The stop signal only interrupts a blocked write: no restart, no action.
    struct sigaction interrupt {};
    interrupt.sa_handler = [](int) {};
    sigaction(kStopSignal, &interrupt, nullptr);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    // gadgetfs takes the data stage of a host-to-device request itself and
    // lets the host go on at once; when the host's next request arrives
    // before this program has read the first one, gadgetfs discards the
    // first request, and ep0 is left stuck. uvcvideo sends a control read
    // straight after a control write (the memory window: address, then
    // data), so ep0 is served at real-time priority, ahead of the tool.
    sched_param urgent{};
    urgent.sched_priority = 50;
    if (sched_setscheduler(0, SCHED_FIFO, &urgent) != 0)
        std::cerr << "tyvo-uvc-gadget: no real-time priority (" << std::strerror(errno)
                  << "): control writes may be lost" << std::endl;

    try {
        auto model = UvcControllerModel::create(UvcControllerOptions::cypress(kSerial, kFirmwareVersion));
        std::optional<UvcGadget> gadget;
        gadget.emplace(gadgetfs, model);
        std::cout << "ready" << std::endl;
        for (bool running = true; running;) {
            pollfd fds[2] = {{gadget->ep0Fd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
            if (fds[0].revents & POLLIN) gadget->serveEp0();
            if (fds[1].revents & POLLIN) running = false;
        }
        const uint64_t frames = gadget->frames();
        gadget.reset();
        std::cout << "frames sent: " << frames << "\nauthenticated: " << (model->hostAuthenticated() ? "yes" : "no")
                  << std::endl;
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "tyvo-uvc-gadget: " << e.what() << std::endl;
        return 1;
    }
}
