#include "sim/host/HostCommandLine.h"

#include <algorithm>
#include <filesystem>

namespace tyvo::sim::host {
namespace {

HostCommand error(std::string text) {
    HostCommand command;
    command.action = HostCommand::Action::Error;
    command.error = std::move(text);
    return command;
}

std::string folderOf(const std::string& program) {
    const std::filesystem::path parent = std::filesystem::path(program).parent_path();
    return parent.empty() ? "." : parent.string();
}

}  // namespace

HostCommand ParseHostCommandLine(const std::vector<std::string>& args, const std::string& defaultProgramFolder,
                                 const ScenarioCatalog& catalog) {
    HostCommand command;
    HostOptions& options = command.options;
    if (!catalog.entries().empty()) options.scenario = catalog.entries().front().name;
    std::size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](const std::string& name, std::string& into) {
            if (arg.rfind(name + "=", 0) == 0) {
                into = arg.substr(name.size() + 1);
                return true;
            }
            if (arg == name && i + 1 < args.size()) {
                into = args[++i];
                return true;
            }
            return false;
        };
        std::string text;
        if (arg == "--") {
            ++i;
            break;
        } else if (arg == "--help" || arg == "-h") {
            command.action = HostCommand::Action::Help;
            return command;
        } else if (arg == "--verbose") {
            options.verbose = true;
        } else if (arg == "--timing") {
            options.timing = true;
        } else if (arg == "--slow-flash") {
            options.slowFlash = true;
        } else if (arg.rfind("--devices", 0) == 0 && value("--devices", text)) {
            options.devices.clear();
            for (std::size_t start = 0; start <= text.size() && !text.empty();) {
                const auto comma = std::min(text.find(',', start), text.size());
                if (comma == start) return error("bad device list \"" + text + "\"");
                options.devices.push_back(text.substr(start, comma - start));
                start = comma + 1;
            }
        } else if (arg.rfind("--scenario", 0) == 0 && value("--scenario", text)) {
            if (!catalog.find(text)) return error("unknown scenario \"" + text + "\"");
            options.scenario = text;
        } else if (arg.rfind("--fault", 0) == 0 && value("--fault", text)) {
            options.fault = ParseScenarioFault(text);
            if (!options.fault) return error("bad fault \"" + text + "\" (expected STAGE:KIND:K[@REQUEST])");
        } else {
            return error("unexpected argument \"" + arg + "\"");
        }
    }
    options.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (options.program.empty()) options.program.push_back(defaultProgramFolder + "/tyvo-reset");

    options.firmwareFolder = folderOf(options.program.front());
    for (std::size_t k = 1; k < options.program.size(); ++k) {
        const std::string& arg = options.program[k];
        if (arg == "--") break;
        if (arg == "--yes" || arg == "-y") options.unattended = true;
        if (arg == "--list" || arg == "-l") options.listing = true;
        if (arg == "--firmware-dir" && k + 1 < options.program.size()) options.firmwareFolder = options.program[k + 1];
        if (arg.rfind("--firmware-dir=", 0) == 0) options.firmwareFolder = arg.substr(15);
    }
    return command;
}

std::string HostUsage(const ScenarioCatalog& catalog) {
    std::string text =
        "Usage: tyvo-sim [options] [-- PROGRAM [ARGS...]]\n"
        "Runs PROGRAM (by default tyvo-reset from tyvo-sim's folder) on an emulated USB bus,\n"
        "plays a scenario of devices and faults, answers the program's Enter prompts, and\n"
        "checks the devices at the end.\n"
        "\n"
        "Options:\n"
        "  --scenario NAME       the scenario to play (default: restore)\n"
        "  --fault S:KIND:K[@R]  for the scenario \"fault\": the K-th transfer of the\n"
        "                        device of stage S (1 or 2), or its K-th request R\n"
        "                        (hexadecimal, e.g. C2), fails; KIND is error, stall,\n"
        "                        timeout, unplug, corrupt or garbage\n"
        "  --timing              the devices take the time real ones take\n"
        "  --slow-flash          the flash takes 2 ms a page, so writing it takes seconds\n"
        "  --devices LIST        for the scenario \"devices\": what is on the bus from the\n"
        "                        start, comma-separated: boot-loader, boot-programmer,\n"
        "                        controller, embedded (FX3 modes take =SERIAL)\n"
        "  --verbose             tell each step of the scenario on standard error\n"
        "  -h, --help            print this help and exit\n"
        "\n"
        "Scenarios:\n";
    for (const auto& entry : catalog.entries()) {
        std::string name = "  " + entry.name;
        name.resize(std::max<std::size_t>(name.size() + 2, 24), ' ');
        text += name + entry.summary + "\n";
    }
    text +=
        "\n"
        "A program given --yes runs unattended: the devices are plugged in as it starts and\n"
        "its exit status is its verdict; a program given --list finds the scenario's devices\n"
        "on the bus from the start, and nothing else of the scenario happens.\n"
        "\n"
        "Standard output is the program's own; the host's findings go to standard error.\n"
        "Exit status: when the scenario's expectations held, the program's own (0 for a\n"
        "restore); 1 when they did not; 2 for a bad command line.\n";
    return text;
}

}  // namespace tyvo::sim::host
