#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "config/CommandLineParser.h"

namespace {

using Action = CommandLineParser::Action;

std::pair<CommandLineParser::Result, std::string> parse(CommandLineParser& parser, std::vector<const char*> arguments) {
    arguments.insert(arguments.begin(), "/usr/bin/tyvo-reset");
    std::ostringstream errors;
    auto result = parser.parse(static_cast<int>(arguments.size()), arguments.data(), errors);
    return {result, errors.str()};
}

TEST(CommandLine, AcceptedOptionsFillTheMap) {
    CommandLineParser none;
    EXPECT_EQ(parse(none, {}).first.action, Action::Run);
    EXPECT_TRUE(none.variables().empty());
    EXPECT_EQ(none.count("config"), 0u);
    EXPECT_EQ(none.value("config"), "");

    CommandLineParser some;
    EXPECT_EQ(parse(some, {"--config", "/etc/x.json", "--firmware-dir=/opt/fw", "--simulate"}).first.action,
              Action::Run);
    EXPECT_EQ(some.value("config"), "/etc/x.json");
    EXPECT_EQ(some.value("firmware-dir"), "/opt/fw");
    EXPECT_EQ(some.value("simulate"), "restore") << "the implicit scenario";
    for (const auto& scenario : {std::vector<const char*>{"--simulate=late"}, {"--simulate", "late"}}) {
        CommandLineParser named;
        parse(named, scenario);
        EXPECT_EQ(named.value("simulate"), "late");
    }
    for (auto [option, action] :
         {std::pair{"--help", Action::Help}, {"-h", Action::Help}, {"--version", Action::Version}}) {
        CommandLineParser parser;
        auto result = parse(parser, {option}).first;
        EXPECT_EQ(result.action, action) << option;
        EXPECT_EQ(result.exitStatus, 0);
    }
}

TEST(CommandLine, MistakesGiveOneLineTheUsageAndStatusTwo) {
    const std::vector<std::vector<const char*>> mistakes = {
        {"--bogus"},
        {"--config"},
        {"--config="},
        {"--conf", "x"},  // no abbreviations
        {"--config", "a", "--config", "b"},
        {"stray"},
        {"--help=yes"},
    };
    for (const auto& mistake : mistakes) {
        CommandLineParser parser;
        auto [result, errors] = parse(parser, mistake);
        EXPECT_EQ(result.action, Action::Error) << mistake[0];
        EXPECT_EQ(result.exitStatus, 2);
        auto lineEnd = errors.find('\n');
        ASSERT_NE(lineEnd, std::string::npos);
        EXPECT_EQ(errors.rfind("tyvo-reset: ", 0), 0u) << errors;
        EXPECT_EQ(errors.substr(lineEnd + 1), parser.usage());
        EXPECT_TRUE(parser.variables().empty()) << "nothing half-parsed is kept";
    }
}

TEST(CommandLine, UsageListsEveryOptionWithinEightyColumns) {
    const std::string usage = CommandLineParser().usage();
    EXPECT_EQ(usage.rfind("Usage: tyvo-reset [options]\n", 0), 0u);
    for (const char* option :
         {"--help", "--version", "--config PATH", "--simulate [=SCENARIO(=restore)]", "--firmware-dir DIR"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    std::istringstream lines(usage);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

}  // namespace
