// tyvo-sim: the emulation host. Runs the unmodified tyvo-reset as its child
// on an emulated USB bus (umockdev), plays a scenario of devices and faults
// underneath it, and checks the devices' state at the end.

#include "sim/EmulatedUsbBus.h"
#include "sim/host/HostCommandLine.h"
#include "sim/host/Scenario.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace tyvo::sim;
using namespace tyvo::sim::host;

constexpr const char kWrappedMarker[] = "TYVO_SIM_UNDER_WRAPPER";

std::string selfPath() {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

bool insideEmulation() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

// The emulation needs umockdev's preload library in this process (it sends
// the device events) and in the tool: start again under umockdev-wrapper.
[[noreturn]] void reexecUnderWrapper(const std::string& self, int argc, char* argv[]) {
    if (std::getenv(kWrappedMarker)) {
        std::cerr << "tyvo-sim: umockdev-wrapper did not set up the emulation" << std::endl;
        std::exit(1);
    }
    setenv(kWrappedMarker, "1", 1);
    // The preload library comes before a sanitizer's runtime.
    std::string asan = std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "";
    if (asan.find("verify_asan_link_order") == std::string::npos) {
        asan += asan.empty() ? "verify_asan_link_order=0" : ":verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asan.c_str(), 1);
    }
    std::vector<char*> args;
    std::string wrapper = "umockdev-wrapper";
    std::string program = self;
    args.push_back(wrapper.data());
    args.push_back(program.data());
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp(wrapper.c_str(), args.data());
    std::cerr << "tyvo-sim: cannot start umockdev-wrapper: " << std::strerror(errno)
              << " (scripts/setup installs the umockdev package)" << std::endl;
    std::exit(1);
}

void writeAll(std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = write(STDOUT_FILENO, text.data(), text.size());
        if (put < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(put));
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    const ScenarioCatalog catalog = BuiltInScenarios();
    const std::string self = selfPath();
    const std::string folder = std::filesystem::path(self).parent_path().string();
    const HostCommand command = ParseHostCommandLine(std::vector<std::string>(argv + 1, argv + argc), folder, catalog);
    switch (command.action) {
        case HostCommand::Action::Help: std::cout << HostUsage(catalog) << std::flush; return 0;
        case HostCommand::Action::Error:
            std::cerr << "tyvo-sim: " << command.error << "\n" << HostUsage(catalog) << std::flush;
            return 2;
        case HostCommand::Action::Run: break;
    }
    if (!insideEmulation()) reexecUnderWrapper(self, argc, argv);

    // The tool loads the build's synthetic firmware images only when the bus
    // declares itself emulated (and it checks that umockdev is really there).
    setenv("TYVO_EMULATED_BUS", "umockdev", 1);
    // A tool that has gone must not take the host with it.
    signal(SIGPIPE, SIG_IGN);
    const HostOptions& options = command.options;
    auto report = [](const std::string& text) { std::cerr << "tyvo-sim: " << text << std::endl; };
    try {
        EmulatedUsbBus bus;
        const Scenario scenario = AdaptScenario(catalog.find(options.scenario)->make(options), options);
        ScenarioRunner runner(bus, options, writeAll, report);
        const int status = runner.run(scenario);
        report("scenario \"" + scenario.name +
               "\": " + (status == 0 ? "every expectation held" : "expectations did not hold"));
        // The program's own status is the answer when the scenario held: a
        // listing that found nothing, an unattended run that failed.
        if (status != 0) return status;
        // A program the host ended itself has no verdict of its own.
        if (scenario.endsOnceObserved) return 0;
        return runner.toolStatus().value_or(1);
    } catch (const std::exception& e) {
        report(e.what());
        return 1;
    }
}
