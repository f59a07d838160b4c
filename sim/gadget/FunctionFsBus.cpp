#include "sim/gadget/FunctionFsBus.h"

#include "sim/gadget/Ep0Exchange.h"
#include "sim/gadget/FunctionFsDescriptors.h"

#include <fcntl.h>
#include <linux/usb/functionfs.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace tyvo::sim::gadget {
namespace {

std::string errnoText(const std::string& what) { return what + ": " + std::strerror(errno); }

const char* eventName(uint8_t type) {
    switch (type) {
        case FUNCTIONFS_BIND: return "bind";
        case FUNCTIONFS_UNBIND: return "unbind";
        case FUNCTIONFS_ENABLE: return "enable";
        case FUNCTIONFS_DISABLE: return "disable";
        case FUNCTIONFS_SETUP: return "setup";
        case FUNCTIONFS_SUSPEND: return "suspend";
        case FUNCTIONFS_RESUME: return "resume";
        default: return "unknown event";
    }
}

void writeAll(int fd, const Bytes& block, const char* what) {
    if (::write(fd, block.data(), block.size()) != static_cast<ssize_t>(block.size()))
        throw std::runtime_error(errnoText(std::string("FunctionFS refused the ") + what));
}

}  // namespace

// What the plugged model holds. Calls come while the model answers a
// request; they are carried out once the request has been answered, as the
// contract of BusAttachment asks. An attachment of an earlier plug-in asks
// nothing any more.
class FunctionFsBus::Attachment : public BusAttachment {
public:
    explicit Attachment(FunctionFsBus& bus) : m_bus(&bus) {}
    void forget() { m_bus = nullptr; }

    std::string portChain() const override { return m_bus ? m_bus->m_udc : std::string(); }
    void leaveBus() override {
        if (m_bus) m_bus->m_pending = Pending{true, nullptr, {}};
    }
    void reenumerate(std::shared_ptr<UsbDeviceModel> next, std::chrono::milliseconds delay) override {
        if (m_bus) m_bus->m_pending = Pending{false, std::move(next), delay};
    }

private:
    FunctionFsBus* m_bus;
};

FunctionFsBus::FunctionFsBus(FunctionFsBusOptions options, const DeviceDescriptors& shape)
    : m_options(std::move(options)),
      m_gadget(m_options.configfsRoot, m_options.gadgetName, m_options.gadgetName),
      m_udc(m_options.udc.empty() ? FirstUdc() : m_options.udc),
      m_descriptorBlock(FunctionFsDescriptorBlock(shape)) {
    if (m_udc.empty()) throw std::runtime_error("the kernel offers no USB device controller (is dummy_hcd loaded?)");
    try {
        m_gadget.create(shape);
        std::error_code error;
        std::filesystem::create_directories(m_options.mountPoint, error);
        if (::mount(m_options.gadgetName.c_str(), m_options.mountPoint.c_str(), "functionfs", 0, nullptr) != 0)
            throw std::runtime_error(errnoText("cannot mount FunctionFS on " + m_options.mountPoint.string()));
        m_mounted = true;
        const std::string ep0 = (m_options.mountPoint / "ep0").string();
        m_ep0 = ::open(ep0.c_str(), O_RDWR | O_CLOEXEC);
        if (m_ep0 < 0) throw std::runtime_error(errnoText("cannot open " + ep0));
        writeAll(m_ep0, m_descriptorBlock, "descriptors");
        writeAll(m_ep0, FunctionFsStringsBlock("Tyvo " + m_options.gadgetName), "strings");
    } catch (...) {
        if (m_ep0 >= 0) ::close(m_ep0);
        if (m_mounted) ::umount(m_options.mountPoint.c_str());
        m_gadget.remove();
        throw;
    }
}

FunctionFsBus::~FunctionFsBus() {
    try {
        unplug();
    } catch (const std::exception& e) {
        tell(std::string("unplugging at the end: ") + e.what());
    }
    m_next.reset();
    if (m_ep0 >= 0) ::close(m_ep0);
    if (m_mounted) ::umount(m_options.mountPoint.c_str());
    m_gadget.remove();
}

void FunctionFsBus::tell(const std::string& text) const {
    if (m_options.verbose) std::cerr << "gadget: " << text << std::endl;
}

void FunctionFsBus::plug(std::shared_ptr<UsbDeviceModel> model) {
    unplug();
    m_next.reset();
    const DeviceDescriptors descriptors = model->descriptors();
    // The function's descriptors were written once, when ep0 was opened;
    // only the device's identity changes between binds.
    if (FunctionFsDescriptorBlock(descriptors) != m_descriptorBlock)
        throw std::runtime_error("the model " + model->name() + " has other interfaces than the function serves");
    m_gadget.setIdentity(descriptors);
    m_model = std::move(model);
    m_attachment = std::make_shared<Attachment>(*this);
    m_model->attached(m_attachment);
    m_gadget.bind(m_udc);
    tell("on the bus as " + m_model->name());
}

void FunctionFsBus::unplug() {
    if (!m_model) return;
    m_gadget.unbind();
    m_attachment->forget();
    m_attachment.reset();
    m_model->detached();
    tell(m_model->name() + " left the bus");
    m_model.reset();
    m_pending.reset();
}

std::optional<FunctionFsBus::Clock::time_point> FunctionFsBus::nextDeadline() const {
    if (!m_next) return std::nullopt;
    return m_nextAt;
}

void FunctionFsBus::tick() {
    if (m_next && Clock::now() >= m_nextAt) plug(std::move(m_next));
}

void FunctionFsBus::serveEp0() {
    usb_functionfs_event events[4];
    const ssize_t n = RetryOnEp0([&] { return ::read(m_ep0, events, sizeof events); }, ClassifyEventReadError);
    if (n < 0) throw std::runtime_error(errnoText("reading the events of ep0"));
    for (std::size_t i = 0; i < static_cast<std::size_t>(n) / sizeof events[0]; ++i) {
        if (events[i].type == FUNCTIONFS_SETUP) {
            serveSetup(SetupFromEvent(events[i].u.setup));
        } else {
            tell(eventName(events[i].type));
        }
    }
}

void FunctionFsBus::serveSetup(const SetupPacket& setup) {
    // The data stage of a host-to-device request is read before anything
    // else: the kernel cancels it if the program is slow.
    Bytes out;
    std::size_t moved = 0;
    if (!setup.deviceToHost() && setup.wLength > 0) {
        out.resize(setup.wLength);
        const ssize_t got = RetryOnEp0([&] { return ::read(m_ep0, out.data(), out.size()); }, ClassifyDataStageError);
        if (got < 0) {
            if (ClassifyDataStageError(errno) == Ep0Error::RequestCancelled) {
                tell("the host cancelled a request before its data arrived");
                return;
            }
            throw std::runtime_error(errnoText("reading a data stage on ep0"));
        }
        out.resize(static_cast<std::size_t>(got));
        moved = out.size();
    }

    TransferReply reply;
    if (m_model) {
        reply = m_model->transfer(RequestFromSetup(setup, std::move(out)));
    } else {
        reply = TransferReply::stall();  // a request racing an unbind
    }

    uint8_t none = 0;
    ssize_t done = 0;
    switch (AnswerFor(setup, reply)) {
        case Ep0Answer::SendData:
            done = RetryOnEp0([&] { return ::write(m_ep0, reply.in.data(), reply.in.size()); }, ClassifyDataStageError);
            moved = reply.in.size();
            break;
        case Ep0Answer::AcknowledgeStatus:
            done = RetryOnEp0([&] { return ::read(m_ep0, &none, 0); }, ClassifyDataStageError);
            break;
        case Ep0Answer::Halt:
            // Against the request's direction: FunctionFS halts ep0 and says
            // so with EL2HLT.
            if (setup.deviceToHost())
                (void)::read(m_ep0, &none, 0);
            else
                (void)::write(m_ep0, &none, 0);
            break;
        case Ep0Answer::AlreadyAcknowledged:
            if (reply.status != TransferStatus::Completed)
                tell("the model failed a request whose data the kernel had already acknowledged");
            break;
        case Ep0Answer::Silence: tell("leaving a request unanswered"); break;
        case Ep0Answer::LeaveBus:
            if (!m_pending) m_pending = Pending{true, nullptr, {}};
            break;
    }
    if (done < 0 && ClassifyDataStageError(errno) != Ep0Error::RequestCancelled)
        throw std::runtime_error(errnoText("answering on ep0"));
    if (done < 0) tell("the host cancelled a request before it was answered");

    if (m_observer) m_observer(Ep0Exchange{setup, reply.status, moved, Clock::now()});
    carryOutPending();
}

void FunctionFsBus::carryOutPending() {
    if (!m_pending) return;
    Pending pending = std::move(*m_pending);
    m_pending.reset();
    unplug();
    if (pending.leave || !pending.next) return;
    m_next = std::move(pending.next);
    m_nextAt = Clock::now() + std::max(pending.delay, m_options.minimumTimeOff);
}

}  // namespace tyvo::sim::gadget
