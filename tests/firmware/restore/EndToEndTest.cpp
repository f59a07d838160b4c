// The unmodified tyvo-reset under the emulation host: the whole standard
// output of each scenario, byte for byte, and a sample of faults at single
// transfers; every run must end with the flash restored (the host checks
// it and says so in its exit status).

#include "tests/app/ExpectedDialogue.h"
#include "tests/firmware/restore/FaultSweep.h"
#include "tests/firmware/restore/RestoreTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogLines.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace restoretest {
namespace {

using namespace std::chrono_literals;

const std::string kDialogue = std::string(kExpectedBanner) + kExpectedPlugIn;

using HostRun = testsupport::ProgramRun;

HostRun RunHost(std::vector<std::string> args, std::chrono::seconds bound = 90s) {
    args.insert(args.begin(), TYVO_SIM_PATH);
    return testsupport::RunToEnd(args, bound);
}

std::string Failed(Outcome outcome) { return ExpectedOutput(outcome); }

struct ScenarioCase {
    const char* name;
    std::string afterDialogue;
};

TEST(EndToEnd, EveryScenarioPrintsExactlyWhatTheUserSeesAndEndsRestored) {
    const std::string restored = SuccessfulRestoreOutput();
    const ScenarioCase cases[] = {
        {"restore", restored},
        {"stage1-failure", Failed(Outcome::Stage1Error1) + restored},
        {"stage2-failure", Failed(Outcome::Stage2Error1) + restored},
        {"stage2-unplug", Failed(Outcome::Stage2Error1) + restored},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HostRun run = RunHost({"--scenario", c.name});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(testsupport::WithoutLogLines(run.out), kDialogue + c.afterDialogue);
        EXPECT_NE(run.err.find("scenario \"" + std::string(c.name) + "\": every expectation held"), std::string::npos)
            << run.err;
    }
}

TEST(EndToEnd, TheToolsOwnSimulateOptionRunsTheSameScenarios) {
    for (const auto& [option, afterDialogue] :
         {std::pair<std::string, std::string>{"--simulate", SuccessfulRestoreOutput()},
          {"--simulate=stage1-failure", Failed(Outcome::Stage1Error1) + SuccessfulRestoreOutput()}}) {
        SCOPED_TRACE(option);
        testsupport::ChildProcess tool({TYVO_RESET_PATH, option}, /*closeStdin=*/true);
        EXPECT_EQ(tool.Wait(90s), 0) << tool.Stderr();
        EXPECT_EQ(testsupport::WithoutLogLines(tool.Stdout()), kDialogue + afterDialogue);
    }
}

// The number of 2048-byte blocks a boot image is loaded in.
std::size_t RamBlocks(const std::string& imagePath) {
    std::ifstream in(imagePath, std::ios::binary);
    const Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t blocks = 0;
    for (std::size_t p = 4; p + 8 <= image.size();) {
        const uint32_t words = uint32_t{image[p]} | uint32_t{image[p + 1]} << 8 | uint32_t{image[p + 2]} << 16 |
                               uint32_t{image[p + 3]} << 24;
        if (words == 0) break;
        blocks += (words * 4 + 2047) / 2048;
        p += 8 + words * 4;
    }
    return blocks;
}

struct FaultCase {
    std::string layout;
    Outcome outcome;
};

TEST(EndToEnd, AFaultAtOneTransferGivesTheStagesOutcomeAndAReplugRestores) {
    // The boot loader's 0xA0 requests go write, read-back, three passes per
    // block, then the jump.
    const std::size_t jump = 6 * RamBlocks(std::string(TYVO_FIRMWARE_FOLDER) + "/app0.img") + 1;
    const FaultCase cases[] = {
        {"1:error:1", Outcome::Restored},          // first open: opened again
        {"1:error:2@A0", Outcome::Restored},       // first read-back
        {"1:error:5@A0", Outcome::Stage1Error1},   // last write of block 1
        {"1:unplug:8@A0", Outcome::Stage1Error1},  // block 2, pass 1
        {"1:timeout:3@A0", Outcome::Restored},     // pass 2 write never answers
        {"1:error:" + std::to_string(jump) + "@A0", Outcome::Stage1DoneWithoutRestart},
        {"2:unplug:1", Outcome::Stage2NotOpened},   // gone while being opened
        {"2:error:2@C4", Outcome::Stage2Error7},    // first status poll
        {"2:timeout:1@C4", Outcome::Stage2Error7},  // the erase never answers
        {"2:unplug:40@C2", Outcome::Stage2Error1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.layout);
        const HostRun run = RunHost({"--scenario", "fault", "--fault", c.layout}, 150s);
        ASSERT_TRUE(run.status.has_value()) << "the host must end on its own";
        EXPECT_EQ(run.status, 0) << run.err;
        const std::string expected = c.outcome == Outcome::Restored
                                         ? SuccessfulRestoreOutput()
                                         : ExpectedOutput(c.outcome) + SuccessfulRestoreOutput();
        EXPECT_EQ(testsupport::WithoutLogLines(run.out), kDialogue + expected);
    }
}

TEST(EndToEnd, BothProgramsNameTheScenariosInTheirHelp) {
    testsupport::ChildProcess host({TYVO_SIM_PATH, "--help"}, true);
    EXPECT_EQ(host.Wait(10s), 0);
    testsupport::ChildProcess tool({TYVO_RESET_PATH, "--help"}, true);
    EXPECT_EQ(tool.Wait(10s), 0);
    for (const char* name : {"restore", "stage1-failure", "stage2-failure", "stage2-unplug"}) {
        EXPECT_NE(host.Stdout().find(name), std::string::npos) << name;
        EXPECT_NE(tool.Stdout().find(name), std::string::npos) << name;
    }
}

TEST(EndToEnd, TheHostRefusesWhatItCannotPlay) {
    const HostRun unknown = RunHost({"--scenario", "nonsense"}, 10s);
    EXPECT_EQ(unknown.status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err.rfind("tyvo-sim: unknown scenario \"nonsense\"\n", 0), 0u) << unknown.err;

    const HostRun noFault = RunHost({"--scenario", "fault"}, 30s);
    EXPECT_EQ(noFault.status, 1);
    EXPECT_EQ(noFault.out, "") << "the tool is not started";
    EXPECT_NE(noFault.err.find("--fault"), std::string::npos) << noFault.err;
}

}  // namespace
}  // namespace restoretest
