#pragma once

// The scenario names the emulation host lists in its --help, under
// "Scenarios:", one per line ("  NAME  summary").

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>

inline std::set<std::string> ScenariosInHostHelp(const std::string& help) {
    std::set<std::string> names;
    const std::size_t start = help.find("\nScenarios:\n");
    EXPECT_NE(start, std::string::npos) << help;
    if (start == std::string::npos) return names;
    std::istringstream lines(help.substr(start + 12));
    const std::regex entry(R"(^  ([a-z0-9-]+) )");
    for (std::string line; std::getline(lines, line) && !line.empty();) {
        std::smatch m;
        if (std::regex_search(line, m, entry)) names.insert(m[1]);
    }
    return names;
}
