// The controller scenarios: tyvo-reset under tyvo-sim takes a working
// controller, and the host ends it once the controller streams. What the
// tool prints besides its log lines is compared byte for byte; the host's
// exit status says whether the devices ended as they should.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/app/ExpectedDialogue.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LogLines.h"
#include "tests/support/TempFolder.h"
#include "tools/ChunkWriter.h"
#include "tools/SyntheticImages.h"

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

// Controller images in a folder of their own: small, so that the update
// (one control request per 16-bit word) is quick.
class SmallFirmware {
public:
    // With `mismatch`, the plain app2.img the host checks against is not
    // the image app2.dat holds.
    explicit SmallFirmware(bool mismatch = false) {
        for (int n : {1, 2}) {
            ControllerImageOptions options;
            options.size = 8192;
            options.seed = static_cast<std::uint64_t>(n);
            const FirmwareImage image = MakeControllerImage(options);
            const std::string base = m_folder.file("app" + std::to_string(n));
            std::string error;
            EXPECT_TRUE(WriteChunkFile(image, base + ".dat", error)) << error;
            ControllerImageOptions plain = options;
            if (mismatch) plain.seed += 10;
            const FirmwareImage written = MakeControllerImage(plain);
            std::ofstream(base + ".img", std::ios::binary)
                .write(reinterpret_cast<const char*>(written.data()), static_cast<std::streamsize>(written.size()));
        }
    }
    std::string folder() const { return m_folder.string(); }

private:
    TempFolder m_folder{"tyvo-scenario"};
};

TEST(ControllerScenarios, OldFirmwareIsUpdatedInPlaceAndTheControllerStreamsAgain) {
    SmallFirmware firmware;
    const HostRun run =
        runHost({"--scenario", "controller-update", "--", TYVO_RESET_PATH, "--firmware-dir", firmware.folder()}, 180s);
    expectHeld(run, "controller-update");
    EXPECT_EQ(WithoutLogLines(run.out), kDialogue + "FX3 firmware version: 16\nFX3 firmware version: 17\n" + kUpToDate);
    // The first device's setup ended with the update's exception.
    EXPECT_NE(run.err.find("Firmware update succeeded.\n"), std::string::npos) << run.err;
}

TEST(ControllerScenarios, TheHostFailsWhenTheControllerGotAnotherImage) {
    SmallFirmware firmware(/*mismatch=*/true);
    const HostRun run =
        runHost({"--scenario", "controller-update", "--", TYVO_RESET_PATH, "--firmware-dir", firmware.folder()}, 180s);
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_NE(run.err.find("not the personalised app2.img"), std::string::npos) << run.err;
}

TEST(ControllerScenarios, BothProgramsNameTheControllerScenariosInTheirHelp) {
    testsupport::ChildProcess host({TYVO_SIM_PATH, "--help"}, true);
    EXPECT_EQ(host.Wait(10s), 0);
    testsupport::ChildProcess tool({TYVO_RESET_PATH, "--help"}, true);
    EXPECT_EQ(tool.Wait(10s), 0);
    // As the host lists them (indented, then the summary), and as the tool
    // names them in its option's text.
    for (const char* name : {"controller", "controller-update", "embedded"})
        EXPECT_NE(host.Stdout().find(std::string("\n  ") + name + " "), std::string::npos) << name;
    for (const char* name : {"controller,", "controller-update", "embedded"})
        EXPECT_NE(tool.Stdout().find(name), std::string::npos) << name;
}

}  // namespace
