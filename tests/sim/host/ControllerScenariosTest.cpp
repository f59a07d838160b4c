// The controller scenarios: tyvo-reset under tyvo-sim takes a working
// controller, and the host ends it once the controller streams. What the
// tool prints besides its log lines is compared byte for byte; the host's
// exit status says whether the devices ended as they should.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "tests/app/ExpectedDialogue.h"
#include "tests/sim/host/ControllerFirmware.h"
#include "tests/sim/host/HostScenarios.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogLines.h"

namespace {

using namespace std::chrono_literals;

using HostRun = testsupport::ProgramRun;

HostRun runHost(std::vector<std::string> args, std::chrono::seconds bound) {
    args.insert(args.begin(), TYVO_SIM_PATH);
    return testsupport::RunToEnd(args, bound);
}

using testsupport::WithoutLogLines;

const std::string kDialogue = std::string(kExpectedBanner) + kExpectedPlugIn;
const std::string kUpToDate = "Your Tyvo Controller's Firmware is up to date.\n";

void expectHeld(const HostRun& run, const std::string& scenario) {
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("scenario \"" + scenario + "\": every expectation held"), std::string::npos) << run.err;
}

TEST(ControllerScenarios, WorkingControllersStreamAndTheHostEndsTheTool) {
    const struct {
        const char* name;
        std::string printed;
    } cases[] = {
        {"controller", "FX3 firmware version: 17\n" + kUpToDate},
        {"embedded", "Zindo Firmware v718\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const HostRun run = runHost({"--scenario", c.name, "--", TYVO_RESET_PATH}, 120s);
        expectHeld(run, c.name);
        EXPECT_EQ(WithoutLogLines(run.out), kDialogue + c.printed);
    }
}

TEST(ControllerScenarios, OldFirmwareIsUpdatedInPlaceAndTheControllerStreamsAgain) {
    ControllerFirmware firmware;
    const HostRun run =
        runHost({"--scenario", "controller-update", "--", TYVO_RESET_PATH, "--firmware-dir", firmware.folder()}, 180s);
    expectHeld(run, "controller-update");
    EXPECT_EQ(WithoutLogLines(run.out), kDialogue + "FX3 firmware version: 16\nFX3 firmware version: 17\n" + kUpToDate);
    // The first device's setup ended with the update's exception.
    EXPECT_NE(run.err.find("Firmware update succeeded.\n"), std::string::npos) << run.err;
}

// Progress asked for: the update's plain lines on standard error, the
// dialogue on standard output unchanged.
TEST(ControllerScenarios, TheUpdateShowsItsProgressOnStandardError) {
    ControllerFirmware firmware;
    const HostRun run = runHost({"--scenario", "controller-update", "--", TYVO_RESET_PATH, "--firmware-dir",
                                 firmware.folder(), "--progress", "plain"},
                                180s);
    expectHeld(run, "controller-update");
    EXPECT_EQ(WithoutLogLines(run.out), kDialogue + "FX3 firmware version: 16\nFX3 firmware version: 17\n" + kUpToDate);
    // 8 KiB of image: the first and the last tenth at least.
    EXPECT_NE(run.err.find("Updating the firmware: 0%\n"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Updating the firmware: 100%\n"), std::string::npos) << run.err;
    EXPECT_EQ(run.out.find("Updating the firmware"), std::string::npos);
}

TEST(ControllerScenarios, TheHostFailsWhenTheControllerGotAnotherImage) {
    ControllerFirmware firmware(/*mismatch=*/true);
    const HostRun run =
        runHost({"--scenario", "controller-update", "--", TYVO_RESET_PATH, "--firmware-dir", firmware.folder()}, 180s);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("not the personalised app2.img"), std::string::npos) << run.err;
}

// Every scenario the host lists under "Scenarios:" is named in the tool's
// --simulate text, but "fault", which needs a fault plan that --simulate
// cannot pass.
TEST(ControllerScenarios, TheToolNamesEveryScenarioOfTheHostInItsHelp) {
    testsupport::ChildProcess host({TYVO_SIM_PATH, "--help"}, true);
    EXPECT_EQ(host.Wait(10s), 0);
    testsupport::ChildProcess tool({TYVO_RESET_PATH, "--help"}, true);
    EXPECT_EQ(tool.Wait(10s), 0);
    const std::set<std::string> names = ScenariosInHostHelp(host.Stdout());
    EXPECT_GE(names.size(), 13u) << host.Stdout();
    // The option's text as one line: the help wraps it.
    std::string toolHelp = tool.Stdout();
    std::replace(toolHelp.begin(), toolHelp.end(), '\n', ' ');
    for (const auto& name : names) {
        if (name == "fault") continue;
        EXPECT_TRUE(std::regex_search(toolHelp, std::regex("[ ,]" + name + "[ ,)]"))) << name;
    }
}

}  // namespace
