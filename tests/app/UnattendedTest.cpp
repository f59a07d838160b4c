// tyvo-reset --yes on the emulated bus: every restore scenario and fault
// scenario of the emulation host, each ending by itself with the agreed
// exit status and one JSON object on standard output that says why.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/app/ToolUnderEmulation.h"

namespace {

using tooltest::RunUnderHost;
using tooltest::WithPython;
using namespace std::chrono_literals;

// outcome status stage error verification device, then the message.
const std::string kDescribeOutcome = R"(
assert isinstance(data, dict)
assert sorted(data) == sorted(["outcome", "status", "stage", "error", "verification", "device", "message"]), sorted(data)
print(data["outcome"], data["status"], data["stage"], data["error"], data["verification"], data["device"])
print(data["message"])
)";

struct Expected {
    const char* scenario;
    std::vector<std::string> toolArgs;
    int status;
    const char* outcome;  // the first line kDescribeOutcome prints
    const char* message;  // part of the message
};

void Check(const Expected& expected) {
    SCOPED_TRACE(expected.scenario);
    std::vector<std::string> tool = {"--yes", "--json", "--wait", "3"};
    tool.insert(tool.end(), expected.toolArgs.begin(), expected.toolArgs.end());
    const auto run = RunUnderHost({"--scenario", expected.scenario}, tool);
    ASSERT_EQ(run.status, expected.status) << run.err;
    const std::string described = WithPython(run.out, kDescribeOutcome);
    const auto lineEnd = described.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << described << "\nfrom: " << run.out;
    EXPECT_EQ(described.substr(0, lineEnd), expected.outcome) << run.out;
    EXPECT_NE(described.find(expected.message, lineEnd), std::string::npos) << described;
    // The dialogue went to standard error; the host's checks held.
    EXPECT_NE(run.err.find("Please plug in your Tyvo Controller.\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Press Enter to continue."), std::string::npos) << "no box to press Enter in";
    EXPECT_NE(run.err.find("every expectation held"), std::string::npos) << run.err;
    // Standard error is no terminal here: no progress, not a byte of it.
    EXPECT_EQ(run.err.find('\r'), std::string::npos);
    EXPECT_EQ(run.err.find("\x1b["), std::string::npos);
    EXPECT_EQ(run.err.find("the flash:"), std::string::npos);
}

TEST(Unattended, ARestoreEndsByItselfWithStatusZero) {
    Check({"restore", {}, 0, "restored 0 2 None None None", "Firmware update succeeded."});
}

TEST(Unattended, AFailedStageEndsTheRunWithTenOrTwentyPlusItsLoadResult) {
    Check({"stage1-failure", {}, 11, "stage-failed 11 1 1 None None", "Error 1 when restoring firmware (1/2)"});
    Check({"stage2-failure", {}, 21, "stage-failed 21 2 1 None None", "Error 1 when restoring firmware (2/2)"});
    Check({"stage2-unplug", {}, 21, "stage-failed 21 2 1 None None", "No such device"});
}

TEST(Unattended, FaultPlansEndWithTheStatusOfTheStageTheyHit) {
    // The sixth 0xA0 request is the last pass's read-back of the first block,
    // the one pass that must succeed; then the first erase of the flash.
    const auto stall = RunUnderHost({"--scenario", "fault", "--fault", "1:stall:6@A0"}, {"--yes", "--json"});
    EXPECT_EQ(stall.status, 11) << stall.err;
    EXPECT_EQ(WithPython(stall.out, "print(data['outcome'], data['stage'], data['error'])"), "stage-failed 1 1\n");

    const auto erase = RunUnderHost({"--scenario", "fault", "--fault", "2:error:1@C4"}, {"--yes", "--json"});
    EXPECT_EQ(erase.status, 27) << erase.err;
    EXPECT_EQ(WithPython(erase.out, "print(data['outcome'], data['stage'], data['error'])"), "stage-failed 2 7\n");
}

TEST(Unattended, ABootProgrammerThatNeverAppearsEndsWithinTheWait) {
    const auto started = std::chrono::steady_clock::now();
    Check({"programmer-lost",
           {},
           5,
           "no-boot-programmer 5 1 None None None",
           "The boot programmer did not appear within 3 seconds after stage 1"});
    // Bounded by the host's own limit of a minute, far above the wait: the
    // run ended because of the wait, not the host.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(55));
}

TEST(Unattended, NoControllerWithinTheWaitEndsWithThree) {
    const auto run =
        RunUnderHost({"--scenario", "devices"}, {"--yes", "--json", "--wait", "1"}, std::chrono::seconds(60));
    EXPECT_EQ(run.status, 3) << run.err;
    EXPECT_EQ(WithPython(run.out, "print(data['outcome'], data['status'])"), "no-device 3\n");
    EXPECT_NE(run.err.find("tyvo-reset: No Tyvo Controller arrived within 1 second.\n"), std::string::npos) << run.err;
}

TEST(Unattended, AWorkingControllerIsLeftAloneAndTheRunEndsWithZero) {
    Check({"controller", {}, 0, "working 0 None None None f182:0003", "without --yes"});
    Check({"embedded", {}, 0, "working 0 None None None 05a9:f580", "there is nothing to restore"});
}

TEST(Unattended, VerifyReportsVerifiedRewrittenUnavailableAndFailed) {
    Check({"restore", {"--verify"}, 0, "restored 0 2 None verified None", "Firmware update succeeded."});
    Check({"verify-rewrite", {"--verify"}, 0, "restored 0 2 None verified None", "Firmware update succeeded."});
    Check({"verify-unsupported", {"--verify"}, 0, "restored 0 2 None unavailable None", "Firmware update succeeded."});
    Check({"verify-stuck",
           {"--verify"},
           7,
           "verify-failed 7 2 None failed None",
           "the flash differs from the firmware at address 0x"});
}

// The build's synthetic images are refused off the emulated bus (here: the
// tool runs without the emulation's declaration). The refusal comes from
// inside the stage's file reading; the run still ends with its object.
TEST(Unattended, ARefusedSyntheticImageEndsWithItsOutcomeObject) {
    // The build's images lie beside the tool; the host reads the plain
    // ones from the folder the tool is told.
    const std::string images = std::filesystem::path(TYVO_RESET_PATH).parent_path().string();
    const auto run =
        testsupport::RunToEnd({TYVO_SIM_PATH, "--scenario", "restore", "--", "/usr/bin/env", "-u", "TYVO_EMULATED_BUS",
                               TYVO_RESET_PATH, "--firmware-dir", images, "--yes", "--json", "--wait", "3"},
                              120s);
    const std::string described = WithPython(run.out, kDescribeOutcome);
    EXPECT_EQ(described.substr(0, described.find('\n')), "firmware-refused 6 None None None None") << run.out;
    EXPECT_NE(described.find("app0.dat is a synthetic firmware image"), std::string::npos) << described;
    EXPECT_NE(run.err.find("it is never loaded into a real controller"), std::string::npos) << run.err;
}

TEST(Unattended, WithoutJsonTheDialogueStaysOnStandardOutput) {
    const auto run = RunUnderHost({"--scenario", "verify-rewrite"}, {"--yes", "--verify"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string expected =
        "Restoring firmware (Part 2/2)\n"
        "Verification found a difference at address 0x";
    EXPECT_NE(run.out.find(expected), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("written again.\nVerified: the flash holds the "), std::string::npos) << run.out;
    EXPECT_NE(run.out.find(" bytes written.\n   ... Done\nFirmware update succeeded."), std::string::npos) << run.out;
}

}  // namespace
