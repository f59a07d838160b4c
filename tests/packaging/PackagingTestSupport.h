#pragma once
// Runs the programs, man and bash for the packaging tests, each bounded.

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"

namespace packagingtest {

struct ProgramRun {
    int status = -1;
    std::string out;
    std::string err;
};

inline ProgramRun RunProgram(const std::vector<std::string>& argv) {
    using namespace std::chrono_literals;
    testsupport::ChildProcess child(argv, true);
    ProgramRun run;
    const auto status = child.Wait(60s);
    if (!status) child.Kill();
    run.status = status.value_or(-1);
    run.out = child.Stdout();
    run.err = child.Stderr();
    return run;
}

// Every long option (--name) in text.
inline std::set<std::string> LongOptions(const std::string& text) {
    std::set<std::string> options;
    const std::regex option(R"((^|[^A-Za-z0-9-])(--[a-z][a-z0-9-]*))");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
        options.insert((*it)[2].str());
    return options;
}

// The long options a program's --help prints.
inline std::set<std::string> HelpOptions(const std::string& program) {
    const ProgramRun help = RunProgram({program, "--help"});
    EXPECT_EQ(help.status, 0) << program << ": " << help.err;
    return LongOptions(help.out + help.err);
}

}  // namespace packagingtest
