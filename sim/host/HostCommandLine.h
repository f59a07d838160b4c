#pragma once
// The command line of tyvo-sim.

#include "sim/host/Scenario.h"

#include <string>
#include <vector>

namespace tyvo::sim::host {

struct HostCommand {
    enum class Action { Run, Help, Error } action = Action::Run;
    std::string error;  // for Action::Error
    HostOptions options;
};

// tyvo-sim [--scenario NAME] [--fault S:KIND:K[@R]] [--timing] [--verbose] [--help] [-- PROGRAM ARGS...]
// Without a program, runs tyvo-reset from defaultProgramFolder. The
// firmware folder is the program's --firmware-dir when it has one, else the
// program's own folder.
HostCommand ParseHostCommandLine(const std::vector<std::string>& args, const std::string& defaultProgramFolder,
                                 const ScenarioCatalog& catalog);

std::string HostUsage(const ScenarioCatalog& catalog);

}  // namespace tyvo::sim::host
