#include "app/Simulation.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

namespace {

std::string SelfPath() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

bool IsSimulateOption(const std::string& arg) { return arg == "--simulate" || arg.rfind("--simulate=", 0) == 0; }

}  // namespace

int RunUnderEmulation(const std::string& scenario, int argc, char* argv[]) {
    const std::string self = SelfPath();
    const std::string host = (std::filesystem::path(self).parent_path() / "tyvo-sim").string();

    std::vector<std::string> args = {host, "--scenario", scenario, "--", self};
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (IsSimulateOption(arg)) {
            // "--simulate NAME": the command line takes no stray arguments,
            // so a following word that is not an option is the scenario.
            if (arg == "--simulate" && i + 1 < argc && argv[i + 1][0] != '-') ++i;
            continue;
        }
        args.push_back(arg);
    }
    std::vector<char*> raw;
    raw.reserve(args.size() + 1);
    for (auto& a : args) raw.push_back(a.data());
    raw.push_back(nullptr);

    std::cout.flush();
    execv(host.c_str(), raw.data());
    std::cerr << "tyvo-reset: cannot start the emulation host " << host << ": " << std::strerror(errno) << std::endl;
    return 1;
}
