#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "tests/app/ExpectedDialogue.h"
#include "tests/support/ChildProcess.h"

using namespace std::chrono_literals;

namespace {

const std::string kWholeDialogue = std::string(kExpectedBanner) + kExpectedPlugIn;

TEST(EntryPoint, WithStandardInputClosedTheWholeDialogueAppearsAndTheToolKeepsRunning) {
    testsupport::ChildProcess tool({TYVO_RESET_PATH}, /*closeStdin=*/true);
    bool complete = tool.ReadUntil(
        [](const std::string& out) { return out.size() >= kWholeDialogue.size(); }, 20s);
    EXPECT_TRUE(complete) << "got: " << tool.Stdout();
    // Nothing more is printed, and the tool does not end on its own.
    EXPECT_FALSE(tool.Wait(500ms).has_value());
    EXPECT_EQ(tool.Stdout(), kWholeDialogue);
}

TEST(EntryPoint, WaitsForEnterBeforeAskingForTheController) {
    testsupport::ChildProcess tool({TYVO_RESET_PATH}, /*closeStdin=*/false);
    ASSERT_TRUE(tool.ReadUntil(
        [](const std::string& out) { return out.size() >= std::string(kExpectedBanner).size(); },
        20s));
    EXPECT_FALSE(tool.Wait(300ms).has_value());
    EXPECT_EQ(tool.Stdout(), kExpectedBanner) << "nothing after the box before Enter";
    tool.Write("\n");
    ASSERT_TRUE(tool.ReadUntil(
        [](const std::string& out) { return out.size() >= kWholeDialogue.size(); }, 20s));
    EXPECT_EQ(tool.Stdout(), kWholeDialogue);
}

}  // namespace
