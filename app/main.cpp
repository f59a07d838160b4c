// tyvo-reset: restores the firmware of a Tyvo controller.
//
// The entry point only assembles the platform in the global context and leads
// the user through the dialogue; the restore itself runs on the device
// monitor's thread when the controller is plugged in, inside the
// constructors of the device objects. The main thread never returns: the
// process ends when the restore has succeeded and the user presses Enter, or
// when the user stops it.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "app/Dialogue.h"
#include "app/Simulation.h"
#include "config/CommandLineParser.h"
#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "config/ConfigLoader.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "devices/DeviceAttachMonitorLinux.h"
#include "devices/DeviceModelManifest.h"
#include "firmware/FirmwareLocation.h"
#include "links/LinkManager.h"
#include "links/ResourceHost.h"
#include "logging/EventLogServer.h"

int main(int argc, char* argv[]) {
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

    WriteBanner(std::cout);
    WaitForEnter(std::cin);
    WritePlugInRequest(std::cout);

    // Values read from the configuration file do not survive into the
    // running tool; its log output goes to the console.
    Config::applyDefaults();
    Config::set("debug_output_mode", Value("console"), false);

    CoreContext::Current()->Initiate();

    // One second at a time, for ever; but without USB access no controller
    // can ever be seen, so the tool says why on one line and ends. Other
    // threads still run: quick_exit, as at the end of a restore.
    for (;;) {
        if (const auto failure = linuxMonitor->WaitForStartFailure(std::chrono::seconds(1))) {
            std::cout.flush();
            std::cerr << "tyvo-reset: " << *failure << std::endl;
            std::fflush(nullptr);
            std::quick_exit(1);
        }
    }
}
