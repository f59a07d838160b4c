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

TEST(CommandLine, UnattendedListingAndVerifyOptionsFillTheMap) {
    CommandLineParser yes;
    EXPECT_EQ(parse(yes, {"-y", "--wait", "5", "--json", "--verify", "--progress=plain", "-q"}).first.action,
              Action::Run);
    for (const char* name : {"yes", "json", "verify", "quiet"}) EXPECT_EQ(yes.count(name), 1u) << name;
    EXPECT_EQ(yes.value("wait"), "5");
    EXPECT_EQ(yes.value("progress"), "plain");

    CommandLineParser list;
    EXPECT_EQ(parse(list, {"-l", "--json"}).first.action, Action::Run);
    EXPECT_EQ(list.count("list"), 1u);
    EXPECT_EQ(list.count("json"), 1u);
}

TEST(CommandLine, OptionsThatNeedAnotherOrABoundedValueAreMistakes) {
    const std::vector<std::vector<const char*>> mistakes = {
        {"--json"},                 // neither --list nor --yes
        {"--wait", "5"},            // without --yes
        {"--list", "--yes"},        // listing restores nothing
        {"--yes", "--wait", "0"},   // no wait at all is no bound
        {"--yes", "--wait", "-3"},  //
        {"--yes", "--wait", "5s"},  // whole seconds only
        {"--yes", "--wait", "86401"},
        {"--yes", "--wait="},
        {"--progress", "fancy"},
    };
    for (const auto& mistake : mistakes) {
        CommandLineParser parser;
        auto [result, errors] = parse(parser, mistake);
        EXPECT_EQ(result.action, Action::Error) << mistake[0] << " " << (mistake.size() > 1 ? mistake[1] : "");
        EXPECT_EQ(result.exitStatus, 2);
        EXPECT_EQ(errors.rfind("tyvo-reset: ", 0), 0u) << errors;
        EXPECT_TRUE(parser.variables().empty());
    }
    CommandLineParser longest;
    EXPECT_EQ(parse(longest, {"--yes", "--wait", "86400"}).first.action, Action::Run);
}

TEST(CommandLine, UsageEndsWithEveryExitStatus) {
    const std::string usage = CommandLineParser().usage();
    const auto statuses = usage.find("\nExit status:\n");
    ASSERT_NE(statuses, std::string::npos) << usage;
    for (const char* status :
         {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  5 ", "\n  6 ", "\n  7 ", "\n  10+N ", "\n  20+N "})
        EXPECT_NE(usage.find(status, statuses), std::string::npos) << status;
}

TEST(CommandLine, UsageListsEveryOptionWithinEightyColumns) {
    const std::string usage = CommandLineParser().usage();
    EXPECT_EQ(usage.rfind("Usage: tyvo-reset [options]\n", 0), 0u);
    for (const char* option :
         {"--help", "--version", "--config PATH", "--simulate [=SCENARIO(=restore)]", "--firmware-dir DIR", "--list",
          "-l", "--json", "--yes", "-y", "--wait SECONDS", "--verify", "--progress MODE", "--quiet", "-q"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
    std::istringstream lines(usage);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
}

}  // namespace
