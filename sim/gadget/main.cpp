// tyvo-fx3-gadget: a controller with damaged firmware as a real USB device.
// The FX3 model of sim/ (boot loader, boot programmer, SPI flash) served
// through the kernel's gadget side, so that the unmodified tool restores it
// through the kernel's USB stack (dummy_hcd in the test machine).
//
//   tyvo-fx3-gadget --image APP1.IMG --flash-out FILE [--fault S:KIND:K[@R]]
//                   [--fault-direction in|out] [--udc NAME] [--verbose]
//       Makes the gadget and waits off the bus ("ready" on standard output).
//       SIGUSR1 plugs the controller in, powered up in its boot loader; if it
//       is on the bus, it is unplugged first and plugged in again a second
//       later (without the fault, which only the first plug-in shows).
//       SIGTERM or SIGINT end it: the flash goes to FILE, and the time the
//       restore took through the kernel is told beside the timing model's.
//   tyvo-fx3-gadget --compare FLASH --image APP1.IMG
//       Exit status 0 when FLASH holds APP1.IMG personalised as the restore
//       writes it, else 1 with the difference.

#include "sim/Fx3Chip.h"
#include "sim/gadget/Ep0Exchange.h"
#include "sim/gadget/FunctionFsBus.h"
#include "sim/host/ExpectedFlash.h"
#include "sim/host/ReenumerationHook.h"
#include "sim/host/Scenario.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace tyvo::sim;
using namespace tyvo::sim::gadget;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kReplugPause = 1000ms;

struct Options {
    std::string image;
    std::string flashOut;
    std::string compare;
    std::string udc;
    std::optional<host::ScenarioFault> fault;
    std::optional<bool> faultDeviceToHost;
    bool verbose = false;
};

int usage(const std::string& error) {
    std::cerr << "tyvo-fx3-gadget: " << error << "\n"
              << "usage: tyvo-fx3-gadget --image APP1.IMG --flash-out FILE [--fault S:KIND:K[@R]]\n"
                 "                       [--fault-direction in|out] [--udc NAME] [--verbose]\n"
                 "       tyvo-fx3-gadget --compare FLASH --image APP1.IMG\n";
    return 2;
}

std::optional<Options> parse(int argc, char* argv[], std::string& error) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (arg == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (!(v = value())) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        if (arg == "--image") {
            o.image = *v;
        } else if (arg == "--flash-out") {
            o.flashOut = *v;
        } else if (arg == "--compare") {
            o.compare = *v;
        } else if (arg == "--udc") {
            o.udc = *v;
        } else if (arg == "--fault") {
            o.fault = host::ParseScenarioFault(*v);
            if (!o.fault) {
                error = "malformed fault \"" + *v + "\"";
                return std::nullopt;
            }
        } else if (arg == "--fault-direction") {
            if (*v != "in" && *v != "out") {
                error = "--fault-direction is in or out";
                return std::nullopt;
            }
            o.faultDeviceToHost = *v == "in";
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    if (o.image.empty()) {
        error = "--image is needed";
        return std::nullopt;
    }
    if (o.compare.empty() && o.flashOut.empty()) {
        error = "--flash-out or --compare is needed";
        return std::nullopt;
    }
    return o;
}

// The restore writes the controller image personalised with this serial.
std::optional<host::Bytes> expectedImage(const std::string& imagePath, std::string& why) {
    const auto image = host::ReadFile(imagePath);
    if (!image) {
        why = "cannot read " + imagePath;
        return std::nullopt;
    }
    return host::PersonalisedImage(*image, host::kRestoredSerial, why);
}

int compare(const Options& o) {
    std::string why;
    const auto personalised = expectedImage(o.image, why);
    if (!personalised) {
        std::cerr << "tyvo-fx3-gadget: " << why << std::endl;
        return 2;
    }
    const auto flash = host::ReadFile(o.compare);
    if (!flash) {
        std::cerr << "tyvo-fx3-gadget: cannot read " << o.compare << std::endl;
        return 2;
    }
    const std::string difference = host::CompareFlash(*flash, host::PaddedToPages(*personalised), personalised->size());
    if (!difference.empty()) {
        std::cout << difference << std::endl;
        return 1;
    }
    std::cout << "the flash holds the firmware personalised for " << host::kRestoredSerial << std::endl;
    return 0;
}

// The traffic between the first and the last vendor request: the restore as
// the kernel carried it.
struct RestoreClock {
    std::optional<Clock::time_point> first;
    Clock::time_point last;
    std::size_t requests = 0;
    // What the timing model gives for these requests on the wire alone; the
    // chip's modelled total adds the flash's programming and erase times.
    std::chrono::nanoseconds wire{0};
};

// Powers the chip up in its boot loader; the fault, when given, is shown by
// the boot loader (stage 1) or by the boot programmer it restarts as.
std::shared_ptr<UsbDeviceModel> powerUp(Fx3Chip& chip, const std::optional<FaultRule>& rule, int stage) {
    std::shared_ptr<UsbDeviceModel> model = chip.powerUp();
    auto loader = std::dynamic_pointer_cast<StandardUsbDevice>(model);
    if (!loader) throw std::runtime_error("the controller did not come up in its boot loader");
    if (rule && stage == 1) loader->injectFault(*rule);
    if (rule && stage == 2) {
        const FaultRule r = *rule;
        model = std::make_shared<host::ReenumerationHook>(model, [r](const std::shared_ptr<UsbDeviceModel>& next) {
            if (auto programmer = std::dynamic_pointer_cast<StandardUsbDevice>(next)) programmer->injectFault(r);
        });
    }
    return model;
}

int serve(const Options& o) {
    const auto image = host::ReadFile(o.image);
    if (!image) {
        std::cerr << "tyvo-fx3-gadget: cannot read " << o.image << std::endl;
        return 2;
    }
    // A controller whose update was cut short: half of an image in flash,
    // which the ROM refuses, so the chip comes up in its boot loader.
    auto chip = Fx3Chip::create(Fx3Options{});
    chip->flash().load(0, host::Bytes(image->begin(), image->begin() + static_cast<std::ptrdiff_t>(image->size() / 2)));

    std::optional<FaultRule> rule;
    if (o.fault) rule = FaultRule{o.fault->kind, o.fault->nth, o.fault->request, o.faultDeviceToHost, false};

    sigset_t signals;
    sigemptyset(&signals);
    for (int s : {SIGUSR1, SIGTERM, SIGINT}) sigaddset(&signals, s);
    sigprocmask(SIG_BLOCK, &signals, nullptr);
    const int signalFd = signalfd(-1, &signals, SFD_CLOEXEC);

    FunctionFsBusOptions busOptions;
    busOptions.gadgetName = "tyvo-fx3";
    busOptions.mountPoint = "/dev/ffs-tyvo-fx3";
    busOptions.udc = o.udc;
    busOptions.verbose = o.verbose;
    FunctionFsBus bus(busOptions, chip->powerUp()->descriptors());

    RestoreClock clock;
    bus.onExchange([&](const Ep0Exchange& e) {
        if (e.setup.requestType() != 2) return;
        if (!clock.first) clock.first = e.answered;
        clock.last = e.answered;
        ++clock.requests;
        clock.wire += TimingModel{}.busTime(gadget::RequestFromSetup(e.setup, {}), e.bytes, UsbSpeed::High, 64);
    });

    std::cout << "ready" << std::endl;
    bool firstPlug = true;
    std::optional<Clock::time_point> plugAt;
    for (bool running = true; running;) {
        std::optional<Clock::time_point> due = bus.nextDeadline();
        if (plugAt && (!due || *plugAt < *due)) due = plugAt;
        int timeout = -1;
        if (due) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - Clock::now()).count();
            timeout = static_cast<int>(std::max<long long>(left, 0));
        }
        pollfd fds[2] = {{bus.ep0Fd(), POLLIN, 0}, {signalFd, POLLIN, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR) throw std::runtime_error("poll failed");
        if (fds[0].revents & POLLIN) bus.serveEp0();
        if (fds[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signalFd, &info, sizeof info) == sizeof info) {
                if (info.ssi_signo == SIGUSR1) {
                    // Out (if in), and in again after a pause, as a hand would.
                    const bool wasOn = bus.plugged() || bus.reenumerating();
                    bus.unplug();
                    plugAt = Clock::now() + (wasOn ? std::chrono::milliseconds(kReplugPause) : 0ms);
                    if (o.verbose) std::cerr << "gadget: plug-in requested" << std::endl;
                } else {
                    running = false;
                }
            }
        }
        bus.tick();
        if (plugAt && Clock::now() >= *plugAt) {
            plugAt.reset();
            bus.plug(powerUp(*chip, firstPlug ? rule : std::nullopt, o.fault ? o.fault->stage : 0));
            firstPlug = false;
        }
    }
    bus.unplug();

    const host::Bytes flash = chip->flash().contents();
    std::ofstream out(o.flashOut, std::ios::binary);
    out.write(reinterpret_cast<const char*>(flash.data()), static_cast<std::streamsize>(flash.size()));
    if (!out) {
        std::cerr << "tyvo-fx3-gadget: cannot write " << o.flashOut << std::endl;
        return 1;
    }
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    const long long measured = clock.first ? duration_cast<milliseconds>(clock.last - *clock.first).count() : 0;
    // The gadget answers at once: the flash times of the model are not
    // waited out here, so the measured time compares with the wire time.
    std::cout << "restore through the kernel: " << clock.requests << " vendor requests in " << measured
              << " ms (first to last); timing model: " << duration_cast<milliseconds>(clock.wire).count()
              << " ms on the wire, " << duration_cast<milliseconds>(chip->modelledTime()).count()
              << " ms with flash programming and erasing" << std::endl;
    return 0;
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string error;
    const auto options = parse(argc, argv, error);
    if (!options) return usage(error);
    try {
        return options->compare.empty() ? serve(*options) : compare(*options);
    } catch (const std::exception& e) {
        std::cerr << "tyvo-fx3-gadget: " << e.what() << std::endl;
        return 1;
    }
}
