#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "tests/app/ExpectedDialogue.h"
#include "tests/support/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

const std::string kWholeDialogue = std::string(kExpectedBanner) + kExpectedPlugIn;

TEST(EntryPoint, WithStandardInputClosedTheWholeDialogueAppearsAndTheToolKeepsRunning) {
    testsupport::ChildProcess tool({TYVO_RESET_PATH}, /*closeStdin=*/true);
    // After the dialogue the platform starts: the log server's console
    // output reports the resource host (its line carries the local time).
    bool started = tool.ReadUntil(
        [](const std::string& out) { return out.find("ResourceHost running\n") != std::string::npos; }, 20s);
    EXPECT_TRUE(started) << "got: " << tool.Stdout();
    // Nothing more is printed, and the tool does not end on its own.
    EXPECT_FALSE(tool.Wait(1500ms).has_value());
    const std::string& out = tool.Stdout();
    ASSERT_GE(out.size(), kWholeDialogue.size());
    EXPECT_EQ(out.substr(0, kWholeDialogue.size()), kWholeDialogue);
    EXPECT_TRUE(std::regex_match(out.substr(kWholeDialogue.size()),
                                 std::regex(R"(\[\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} )"
                                            R"(\d{2}:\d{2}:\d{2}\] \[Info\] ResourceHost running\n)")))
        << out.substr(kWholeDialogue.size());
}

TEST(EntryPoint, WaitsForEnterBeforeAskingForTheController) {
    testsupport::ChildProcess tool({TYVO_RESET_PATH}, /*closeStdin=*/false);
    ASSERT_TRUE(
        tool.ReadUntil([](const std::string& out) { return out.size() >= std::string(kExpectedBanner).size(); }, 20s));
    EXPECT_FALSE(tool.Wait(300ms).has_value());
    EXPECT_EQ(tool.Stdout(), kExpectedBanner) << "nothing after the box before Enter";
    tool.Write("\n");
    ASSERT_TRUE(tool.ReadUntil([](const std::string& out) { return out.size() >= kWholeDialogue.size(); }, 20s));
    EXPECT_EQ(tool.Stdout().substr(0, kWholeDialogue.size()), kWholeDialogue);
}

}  // namespace

namespace {

TEST(EntryPointOptions, VersionAndHelpPrintAndExitZero) {
    testsupport::ChildProcess version({TYVO_RESET_PATH, "--version"}, true);
    EXPECT_EQ(version.Wait(10s), 0);
    EXPECT_EQ(version.Stdout(), "tyvo-reset 1.0.0\n");

    testsupport::ChildProcess help({TYVO_RESET_PATH, "--help"}, true);
    EXPECT_EQ(help.Wait(10s), 0);
    EXPECT_EQ(help.Stdout().rfind("Usage: tyvo-reset [options]\n", 0), 0u) << help.Stdout();
    for (const char* option : {"--config", "--simulate", "--firmware-dir", "--version"}) {
        EXPECT_NE(help.Stdout().find(option), std::string::npos) << option;
    }
}

TEST(EntryPointOptions, BadCommandLineSaysWhyOnOneLineAndExitsTwo) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--bogus"}, std::vector<std::string>{"--config"},
                                          std::vector<std::string>{"stray"}}) {
        args.insert(args.begin(), TYVO_RESET_PATH);
        testsupport::ChildProcess tool(args, true);
        EXPECT_EQ(tool.Wait(10s), 2) << args[1];
        EXPECT_EQ(tool.Stdout(), "") << "nothing of the dialogue";
        const std::string& err = tool.Stderr();
        auto firstLineEnd = err.find('\n');
        ASSERT_NE(firstLineEnd, std::string::npos);
        EXPECT_EQ(err.rfind("tyvo-reset: ", 0), 0u) << err;
        EXPECT_EQ(err.compare(firstLineEnd + 1, 27, "Usage: tyvo-reset [options]"), 0) << err;
    }
}

}  // namespace
