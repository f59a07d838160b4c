// The bash completion, sourced into a bare bash and asked as bash asks it.

#include <filesystem>
#include <sstream>

#include "config/ConfigDefaults.h"
#include "tests/packaging/PackagingTestSupport.h"
#include "tests/sim/host/HostScenarios.h"
#include "tests/support/TempFolder.h"

namespace {

using namespace packagingtest;

std::string Quoted(const std::string& word) {
    std::string quoted = "'";
    for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The candidates the completion function offers for words (the last is the
// one being completed), split as bash splits them (for example at '=').
std::set<std::string> Complete(const std::string& program, const std::vector<std::string>& words,
                               const std::string& workingFolder = ".") {
    std::string script = "cd " + Quoted(workingFolder) + " && source " +
                         Quoted(std::string(TYVO_COMPLETION_DIR) + "/" + program + ".bash");
    script += " && COMP_WORDS=(";
    for (const std::string& word : words) script += Quoted(word) + " ";
    script += ") && COMP_CWORD=" + std::to_string(words.size() - 1);
    script += " && COMP_LINE=\"${COMP_WORDS[*]}\" && COMP_POINT=${#COMP_LINE} && COMPREPLY=()";
    script += " && func=$(complete -p " + program + " | sed -n 's/.*-F \\([^ ]*\\) .*/\\1/p')";
    script += " && \"$func\" && printf '%s\\n' \"${COMPREPLY[@]}\"";
    const ProgramRun run = RunProgram({"/bin/bash", "--norc", "--noprofile", "-c", script});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    std::set<std::string> candidates;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty()) candidates.insert(line);
    return candidates;
}

// The scenarios tyvo-sim --help lists.
std::set<std::string> SimScenarios() { return ScenariosInHostHelp(RunProgram({TYVO_SIM_PATH, "--help"}).out); }

TEST(Completion, ResetOffersEveryOptionOfItsHelp) {
    const std::set<std::string> offered = Complete("tyvo-reset", {"tyvo-reset", "--"});
    for (const std::string& option : HelpOptions(TYVO_RESET_PATH)) EXPECT_TRUE(offered.count(option)) << option;
    for (const char* option : {"--list", "--yes", "--wait", "--verify", "--json", "--progress", "--quiet"})
        EXPECT_TRUE(offered.count(option)) << option;
    EXPECT_EQ(Complete("tyvo-reset", {"tyvo-reset", "--fi"}), std::set<std::string>{"--firmware-dir"});
}

// Every scenario the emulation host plays, but "fault", whose fault plan
// --simulate cannot pass.
TEST(Completion, ResetOffersTheScenariosAfterSimulate) {
    std::set<std::string> expected = SimScenarios();
    expected.erase("fault");
    EXPECT_GE(expected.size(), 12u);
    EXPECT_EQ(Complete("tyvo-reset", {"tyvo-reset", "--simulate", "="}), expected);
    EXPECT_EQ(Complete("tyvo-reset", {"tyvo-reset", "--simulate", "=", "stage2"}),
              (std::set<std::string>{"stage2-failure", "stage2-unplug"}));
}

TEST(Completion, ResetCompletesTheValuesOfItsOptions) {
    EXPECT_EQ(Complete("tyvo-reset", {"tyvo-reset", "--progress", ""}),
              (std::set<std::string>{"auto", "plain", "none"}));
    EXPECT_EQ(Complete("tyvo-reset", {"tyvo-reset", "--progress", "=", "p"}), std::set<std::string>{"plain"});
    TempFolder folder;
    std::filesystem::create_directory(folder.file("firmware-a"));
    writeText(folder.file("firmware-notes.txt"), "x");
    EXPECT_EQ(Complete("tyvo-reset", {"tyvo-reset", "--firmware-dir", "firm"}, folder.string()),
              std::set<std::string>{"firmware-a"})
        << "folders only";
    EXPECT_EQ(Complete("tyvo-reset", {"tyvo-reset", "--config", "firm"}, folder.string()),
              (std::set<std::string>{"firmware-a", "firmware-notes.txt"}));
}

TEST(Completion, ClientOffersItsCommandsAndEverySettingKey) {
    EXPECT_EQ(Complete("tyvo-client", {"tyvo-client", ""}),
              (std::set<std::string>{"--host", "--port", "--timeout", "--help", "get", "set", "watch", "devices"}));
    EXPECT_EQ(Complete("tyvo-client", {"tyvo-client", "--port", "6438", "d"}), std::set<std::string>{"devices"});

    std::set<std::string> keys;
    for (const auto& row : Config::defaultRows()) keys.insert(row.key);
    EXPECT_EQ(Complete("tyvo-client", {"tyvo-client", "get", ""}), keys);
    EXPECT_EQ(Complete("tyvo-client", {"tyvo-client", "set", "camera_mo"}), std::set<std::string>{"camera_mode"});
    EXPECT_EQ(Complete("tyvo-client", {"tyvo-client", "set", "camera_mode", ""}), std::set<std::string>{})
        << "a value is not completed";
    EXPECT_EQ(Complete("tyvo-client", {"tyvo-client", "watch", ""}), std::set<std::string>{"--seconds"});
}

TEST(Completion, SimOffersItsOptionsAndScenarios) {
    const std::set<std::string> offered = Complete("tyvo-sim", {TYVO_SIM_PATH, "--"});
    for (const std::string& option : HelpOptions(TYVO_SIM_PATH)) EXPECT_TRUE(offered.count(option)) << option;
    const std::set<std::string> scenarios = SimScenarios();
    EXPECT_GE(scenarios.size(), 8u);
    EXPECT_EQ(Complete("tyvo-sim", {TYVO_SIM_PATH, "--scenario", ""}), scenarios);
    EXPECT_EQ(Complete("tyvo-sim", {TYVO_SIM_PATH, "--scenario", "=", "controller"}),
              (std::set<std::string>{"controller", "controller-update"}));
}

}  // namespace
