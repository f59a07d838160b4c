#pragma once
// Runs the programs, man and bash for the packaging tests, each bounded.

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <set>
#include <sstream>
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

// The long options a program's --help defines: those on its usage line, and
// those in the first column of its indented lists ("  -l [ --list ]",
// "  watch [--seconds N]"). Descriptions and unindented prose, where
// tyvo-sim speaks of the options of the program it runs, define nothing.
inline std::set<std::string> HelpOptions(const std::string& program) {
    const ProgramRun help = RunProgram({program, "--help"});
    EXPECT_EQ(help.status, 0) << program << ": " << help.err;
    std::set<std::string> options;
    std::istringstream lines(help.out + help.err);
    const std::regex usage(R"(^[Uu]sage:)");
    const std::regex firstColumn(R"(^\s+(\S+( \S+)*))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch column;
        std::string defining;
        if (std::regex_search(line, usage))
            defining = line;
        else if (std::regex_search(line, column, firstColumn))
            defining = column[1].str();
        const std::set<std::string> found = LongOptions(defining);
        options.insert(found.begin(), found.end());
    }
    EXPECT_FALSE(options.empty()) << program << " --help defines no option";
    return options;
}

}  // namespace packagingtest
