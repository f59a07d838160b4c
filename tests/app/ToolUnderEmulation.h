#pragma once

// Runs tyvo-reset under the emulation host, and reads what it printed as
// JSON with Python's json module (a parser that is not the tool's own).

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace tooltest {

using namespace std::chrono_literals;

// tyvo-sim HOST_ARGS -- tyvo-reset TOOL_ARGS, to its end (bounded).
inline testsupport::ProgramRun RunUnderHost(const std::vector<std::string>& hostArgs,
                                            const std::vector<std::string>& toolArgs,
                                            std::chrono::milliseconds bound = 120s) {
    std::vector<std::string> argv = {TYVO_SIM_PATH};
    argv.insert(argv.end(), hostArgs.begin(), hostArgs.end());
    argv.emplace_back("--");
    argv.emplace_back(TYVO_RESET_PATH);
    argv.insert(argv.end(), toolArgs.begin(), toolArgs.end());
    return testsupport::RunToEnd(argv, bound);
}

// Feeds `json` to a Python program that has it as `data` (json.loads of
// the whole text, so anything beside one JSON value fails) and returns what
// the program printed; a parse error or a failed assertion gives
// "python failed: " and its standard error.
inline std::string WithPython(const std::string& json, const std::string& program) {
    const std::string script = "import json, sys\ndata = json.loads(sys.stdin.read())\n" + program;
    testsupport::ChildProcess python({"/usr/bin/python3", "-c", script}, /*closeStdin=*/false);
    python.Write(json);
    python.CloseInput();
    const auto status = python.Wait(30s);
    if (status != 0) return "python failed: " + python.Stderr();
    return python.Stdout();
}

}  // namespace tooltest
