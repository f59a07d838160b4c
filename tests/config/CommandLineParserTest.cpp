#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "config/CommandLineParser.h"

namespace {

using Action = CommandLineParser::Action;

struct Parsed {
    CommandLineParser::Result result;
    std::string errors;
};

Parsed parse(CommandLineParser& parser, std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/tyvo-reset");
    std::ostringstream errors;
    auto result = parser.parse(static_cast<int>(arguments.size()), arguments.data(), errors);
    return {result, errors.str()};
}

// --- accepted command lines ---------------------------------------------------

TEST(CommandLine, WithoutOptionsTheMapStaysEmpty) {
    CommandLineParser parser;
    auto parsed = parse(parser, {});
    EXPECT_EQ(parsed.result.action, Action::Run);
    EXPECT_TRUE(parser.variables().empty());
    EXPECT_EQ(parser.count("config"), 0u);
    EXPECT_EQ(parser.value("config"), "");
    EXPECT_EQ(parsed.errors, "");
}

TEST(CommandLine, ValuedOptionsInBothSpellings) {
    CommandLineParser parser;
    auto parsed = parse(parser, {"--config", "/etc/x.json", "--firmware-dir=/opt/fw"});
    EXPECT_EQ(parsed.result.action, Action::Run);
    EXPECT_EQ(parser.count("config"), 1u);
    EXPECT_EQ(parser.value("config"), "/etc/x.json");
    EXPECT_EQ(parser.value("firmware-dir"), "/opt/fw");
    EXPECT_EQ(parser.count("simulate"), 0u);
}

TEST(CommandLine, SimulateHasAnImplicitScenario) {
    CommandLineParser bare;
    parse(bare, {"--simulate"});
    EXPECT_EQ(bare.value("simulate"), "restore");
    CommandLineParser named;
    parse(named, {"--simulate=late-replug"});
    EXPECT_EQ(named.value("simulate"), "late-replug");
    CommandLineParser separate;
    EXPECT_EQ(parse(separate, {"--simulate", "late-replug"}).result.action, Action::Run);
    EXPECT_EQ(separate.value("simulate"), "late-replug");
}

TEST(CommandLine, HelpAndVersionAskTheEntryPointToExitCleanly) {
    for (const char* option : {"--help", "-h"}) {
        CommandLineParser parser;
        auto parsed = parse(parser, {option});
        EXPECT_EQ(parsed.result.action, Action::Help) << option;
        EXPECT_EQ(parsed.result.exitStatus, 0);
    }
    CommandLineParser parser;
    EXPECT_EQ(parse(parser, {"--version"}).result.action, Action::Version);
}

// --- refused command lines ----------------------------------------------------

TEST(CommandLine, MistakesGiveOneLineTheUsageAndStatusTwo) {
    const std::vector<std::vector<const char*>> mistakes = {
        {"--bogus"},
        {"--config"},
        {"--config="},
        {"--conf", "x"},                          // no abbreviations
        {"--config", "a", "--config", "b"},       // given twice
        {"stray"},
        {"--help=yes"},
    };
    for (const auto& mistake : mistakes) {
        CommandLineParser parser;
        auto parsed = parse(parser, mistake);
        EXPECT_EQ(parsed.result.action, Action::Error) << mistake[0];
        EXPECT_EQ(parsed.result.exitStatus, 2);
        auto lineEnd = parsed.errors.find('\n');
        ASSERT_NE(lineEnd, std::string::npos);
        EXPECT_EQ(parsed.errors.rfind("tyvo-reset: ", 0), 0u) << parsed.errors;
        EXPECT_EQ(parsed.errors.substr(lineEnd + 1), parser.usage());
        EXPECT_TRUE(parser.variables().empty()) << "nothing half-parsed is kept";
    }
}

TEST(CommandLine, UsageListsEveryOptionWithinEightyColumns) {
    CommandLineParser parser;
    const std::string usage = parser.usage();
    EXPECT_EQ(usage.rfind("Usage: tyvo-reset [options]\n", 0), 0u);
    for (const char* option : {"--help", "--version", "--config PATH", "--simulate [=SCENARIO(=restore)]",
                               "--firmware-dir DIR"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option << "\n" << usage;
    }
    std::istringstream lines(usage);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

}  // namespace
