// tyvo-reset: restores the firmware of a Tyvo controller.
//
// The entry point only assembles the platform in the global context and leads
// the user through the dialogue; the restore itself runs on the device
// monitor's thread when the controller is plugged in, inside the
// constructors of the device objects. Without options the main thread never
// returns: the process ends when the restore has succeeded and the user
// presses Enter, or when the user stops it. With --yes it waits, within
// bounds, for the outcome and ends with a status that tells it; --list
// only looks at the bus.

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <memory>
#include <string>

#include "app/DeviceList.h"
#include "app/Dialogue.h"
#include "app/ProgressLine.h"
#include "app/Simulation.h"
#include "app/Unattended.h"
#include "config/CommandLineParser.h"
#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "config/ConfigLoader.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "devices/DeviceAttachMonitorLinux.h"
#include "devices/DeviceModelManifest.h"
#include "firmware/FirmwareLocation.h"
#include "firmware/SyntheticImage.h"
#include "firmware/restore/RestoreSession.h"
#include "firmware/update/UpdateSession.h"
#include "links/LinkManager.h"
#include "links/ResourceHost.h"
#include "logging/EventLogServer.h"
#include "usb/UsbBusEnumerator.h"

namespace {

constexpr int kStatusNoDevice = 3;
constexpr std::chrono::seconds kDefaultWait{60};

// tyvo-reset --list [--json]
int ListDevices(bool json) {
    UsbBusEnumerator bus;
    if (const uint32_t error = bus.initError()) {
        std::cerr << "tyvo-reset: cannot start USB access: " << std::strerror(static_cast<int>(error)) << std::endl;
        return 1;
    }
    const std::vector<ListedDevice> devices = ListTyvoDevices(DeviceModelManifest(), bus);
    if (json) {
        std::cout << FormatListedDevicesJson(devices) << std::endl;
    } else {
        for (const auto& device : devices) std::cout << FormatListedDevice(device) << '\n';
        std::cout << std::flush;
    }
    if (devices.empty()) {
        std::cerr << "tyvo-reset: no Tyvo device is attached" << std::endl;
        return kStatusNoDevice;
    }
    return 0;
}

// The progress the stages show: --progress, --quiet and whether standard
// error is a terminal decide.
std::shared_ptr<ProgressSink> ChooseProgress(const CommandLineParser& commandLine) {
    if (commandLine.count("quiet")) return nullptr;
    const std::string mode = commandLine.count("progress") ? commandLine.value("progress") : "auto";
    if (mode == "plain") return std::make_shared<PlainProgress>(std::cerr);
    if (mode == "auto" && isatty(STDERR_FILENO))
        return std::make_shared<TerminalProgress>(std::cerr, TerminalColumns(STDERR_FILENO));
    return nullptr;
}

// Ends an unattended run: what went wrong on standard error, the outcome
// object on the saved standard output with --json. Other threads are still
// running, so the process ends without destroying anything (see
// QuitAfterEnter).
[[noreturn]] void EndUnattended(const UnattendedOutcome& outcome, int outcomeFd, bool quiet) {
    std::cout.flush();
    if (outcome.status != 0 || !quiet) std::cerr << "tyvo-reset: " << outcome.message << std::endl;
    if (outcomeFd >= 0) {
        const std::string text = outcome.json() + "\n";
        for (std::size_t put = 0; put < text.size();) {
            const ssize_t n = write(outcomeFd, text.data() + put, text.size() - put);
            if (n <= 0) break;
            put += static_cast<std::size_t>(n);
        }
    }
    std::cerr.flush();
    std::fflush(nullptr);
    std::quick_exit(outcome.status);
}

// Where an unattended run writes its outcome object, for the ends that
// come from inside the stages through a plain function (see below); set
// once before the context starts its threads.
int g_outcomeFd = -1;
bool g_quiet = false;

// A synthetic image refused in an unattended run: the refusal has been said
// on standard error; the run ends with its outcome object like any other.
[[noreturn]] void EndUnattendedOnRefusedImage(const std::string& path) {
    UnattendedOutcome outcome;
    outcome.outcome = "firmware-refused";
    outcome.status = kFirmwareRefusedExitStatus;
    outcome.message = path + " is a synthetic firmware image, never loaded into a real controller";
    EndUnattended(outcome, g_outcomeFd, g_quiet);
}

// Ends a run that has no USB access: one line on standard error saying what
// failed and what to check, status 1 (and the outcome object with --json).
// Other threads still run: quick_exit, as at the end of a restore.
[[noreturn]] void EndWithoutUsbAccess(const std::string& reason, bool unattended, int outcomeFd, bool quiet) {
    if (unattended) {
        UnattendedOutcome outcome;
        outcome.outcome = "usb-unavailable";
        outcome.status = 1;
        outcome.message = reason;
        EndUnattended(outcome, outcomeFd, quiet);
    }
    std::cout.flush();
    std::cerr << "tyvo-reset: " << reason << std::endl;
    std::fflush(nullptr);
    std::quick_exit(1);
}

int RunTool(int argc, char* argv[]) {
    // The options come first: without any, the tool behaves exactly as it
    // always has.
    AutoRequired<CommandLineParser> commandLine;
    const auto options = commandLine->parse(argc, argv, std::cerr);
    switch (options.action) {
        case CommandLineParser::Action::Error: return options.exitStatus;
        case CommandLineParser::Action::Help: std::cout << commandLine->usage() << std::flush; return 0;
        case CommandLineParser::Action::Version: std::cout << "tyvo-reset " << TYVO_VERSION << std::endl; return 0;
        case CommandLineParser::Action::Run: break;
    }
    if (commandLine->count("simulate")) {
        return RunUnderEmulation(commandLine->value("simulate"), argc, argv);
    }
    if (commandLine->count("firmware-dir")) SetFirmwareFolder(commandLine->value("firmware-dir"));
    if (commandLine->count("list")) return ListDevices(commandLine->count("json") > 0);

    const bool unattended = commandLine->count("yes") > 0;
    const bool quiet = commandLine->count("quiet") > 0;
    RestoreStageSettings settings;
    settings.verify = commandLine->count("verify") > 0;
    settings.progress = ChooseProgress(*commandLine);
    std::shared_ptr<UnattendedRun> run;
    int outcomeFd = -1;
    if (unattended) {
        // With --json standard output carries only the outcome: the
        // dialogue (and the log lines) go to standard error from here on.
        if (commandLine->count("json")) {
            std::cout.flush();
            outcomeFd = dup(STDOUT_FILENO);
            if (outcomeFd < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
                std::cerr << "tyvo-reset: cannot set up standard output: " << std::strerror(errno) << std::endl;
                return 1;
            }
        }
        const auto wait =
            commandLine->count("wait") ? std::chrono::seconds(std::stoul(commandLine->value("wait"))) : kDefaultWait;
        run = std::make_shared<UnattendedRun>(wait);
        g_outcomeFd = outcomeFd;
        g_quiet = quiet;
        SetSyntheticImageRefusalEnd(EndUnattendedOnRefusedImage);
        settings.observer = run;
        settings.finishRestore = [run] { run->restored(); };
        // Found by the manifest slot below instead of the default rows.
        CoreContext::Current()->AddMember(
            std::make_shared<DeviceModelManifest>(UnattendedModels(DeviceModelManifest().Models(), run)));
    }
    if (unattended || settings.verify || settings.progress)
        CoreContext::Current()->AddMember(std::make_shared<RestoreSession>(settings));
    // The in-place update of a working controller shows the same progress.
    if (settings.progress) CoreContext::Current()->AddMember(std::make_shared<UpdateSession>(settings.progress));

    // The slots live on this stack for the life of the process.
    AutoRequired<DeviceModelManifest> manifest;
    AutoRequired<ConfigLoader> configLoader;
    AutoRequired<EventLogServer> logServer;
    AutoRequired<LinkManager> linkManager;
    AutoRequired<ResourceHost> resourceHost;

    // The monitor joins the global context now; its thread starts with the
    // context's initiation below.
    Autowired<DeviceAttachMonitor> monitor;
    const auto linuxMonitor = std::make_shared<DeviceAttachMonitorLinux>();
    monitor = linuxMonitor;

    if (unattended) {
        WriteTitle(std::cout);
    } else {
        WriteBanner(std::cout);
        WaitForEnter(std::cin);
    }
    WritePlugInRequest(std::cout);

    // Values read from the configuration file do not survive into the
    // running tool; its log output goes to the console.
    Config::applyDefaults();
    Config::set("debug_output_mode", Value("console"), false);

    CoreContext::Current()->Initiate();

    // Without USB access no controller can ever be seen. The monitor's
    // thread finds that at once when the context starts.
    if (const auto failure = linuxMonitor->WaitForStartFailure(std::chrono::seconds(1)))
        EndWithoutUsbAccess(*failure, run != nullptr, outcomeFd, quiet);
    if (run) EndUnattended(run->waitForOutcome(), outcomeFd, quiet);
    for (;;) {
        if (const auto failure = linuxMonitor->WaitForStartFailure(std::chrono::seconds(1)))
            EndWithoutUsbAccess(*failure, false, -1, quiet);
    }
}

}  // namespace

// Anything thrown while the platform is put together (a member of the global
// context that cannot start, say) is one line on standard error and status 1
// rather than std::terminate. Other threads may be running: quick_exit, as
// at the end of a restore.
int main(int argc, char* argv[]) {
    try {
        return RunTool(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "tyvo-reset: " << e.what() << std::endl;
    } catch (...) {
        std::cerr << "tyvo-reset: an unexpected error ended the tool" << std::endl;
    }
    std::fflush(nullptr);
    std::quick_exit(1);
}
