// Progress in a real terminal: tyvo-reset restores on the emulated bus
// inside a tmux pane, and the screen is read while stage 2 writes the
// flash. And none of it when standard error is a file.

#include <gtest/gtest.h>

#include <unistd.h>

#include <exception>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "tests/app/ToolUnderEmulation.h"
#include "tests/sim/host/ControllerFirmware.h"
#include "tests/support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

std::string Run(const std::vector<std::string>& argv) {
    testsupport::ChildProcess child(argv, true);
    child.Wait(20s);
    return child.Stdout();
}

bool HaveTmux() { return access("/usr/bin/tmux", X_OK) == 0; }

// A tmux server of its own (its own socket), so that the pane runs with this
// test's environment and nothing of another tmux user is touched.
class TmuxSession {
public:
    TmuxSession(std::string name, const std::string& command) : m_name(std::move(name)) {
        Run({"/usr/bin/tmux", "-L", m_name, "-f", "/dev/null", "new-session", "-d", "-s", m_name, "-x", "160", "-y",
             "40", command});
    }
    // A server left behind only costs a process; a destructor must not throw.
    ~TmuxSession() {
        try {
            Run({"/usr/bin/tmux", "-L", m_name, "kill-server"});
        } catch (const std::exception& e) {
            ADD_FAILURE() << "cannot stop the tmux server " << m_name << ": " << e.what();
        }
    }
    std::string Screen() const { return Run({"/usr/bin/tmux", "-L", m_name, "capture-pane", "-p", "-t", m_name}); }

private:
    std::string m_name;
};

// Runs `command` (which must end by writing its status to `done`, then
// sleep, so that the pane stays to be read) in a pane of its own and reads
// the screen while it runs: the percentages seen on a live line that
// begins with `what`, the status, and the screen once the command ended.
struct WatchedRun {
    std::set<std::string> percents;
    int status = -1;
    std::string screen;
};

WatchedRun Watch(const std::string& session, const std::string& command, const std::string& done,
                 const std::string& what, std::chrono::seconds bound) {
    TmuxSession pane(session + "-" + std::to_string(getpid()), command);
    WatchedRun run;
    const std::regex line(what + R"(: [0-9.]+ [KM]?i?B of [0-9.]+ [KM]?i?B, ([0-9]+)%)");
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline && !std::ifstream(done).good()) {
        run.screen = pane.Screen();
        std::smatch match;
        if (std::regex_search(run.screen, match, line)) run.percents.insert(match[1]);
        std::this_thread::sleep_for(50ms);
    }
    std::ifstream statusFile(done);
    if (!(statusFile >> run.status)) {
        ADD_FAILURE() << "the command did not end within " << bound.count() << " s; screen:\n" << run.screen;
        return run;
    }
    run.screen = pane.Screen();
    return run;
}

TEST(ProgressInATerminal, TheLineMovesWhileStageTwoWritesAndIsClearedAfterwards) {
    if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed (scripts/setup installs it)";
    TempFolder folder;
    const std::string done = folder.file("status");
    // The host's flash is slow, so that writing it takes seconds. Standard
    // output goes to a file: the host relays it through a pipe of its own,
    // so on the pane a relayed line could land beside the live line at any
    // moment (how the tool keeps its own lines apart from the live line is
    // tested with the line itself).
    const std::string out = folder.file("out");
    const std::string command = std::string(TYVO_SIM_PATH) + " --slow-flash --scenario restore -- " + TYVO_RESET_PATH +
                                " --yes > " + out + "; echo $? > " + done + "; sleep 60";
    const WatchedRun run = Watch("tyvo-progress", command, done, "Writing the flash", 120s);
    ASSERT_FALSE(::testing::Test::HasFailure());
    EXPECT_EQ(run.status, 0) << run.screen;
    EXPECT_GE(run.percents.size(), 2u) << "the line did not move; last screen:\n" << run.screen;

    // After the stage the line is gone: nothing of it is left on the
    // screen. The dialogue's lines are whole, and none of the line reached
    // standard output.
    const std::string& screen = run.screen;
    EXPECT_EQ(screen.find("Writing the flash"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("Erasing the flash"), std::string::npos) << screen;
    EXPECT_EQ(screen.find('%'), std::string::npos) << screen;
    std::ostringstream dialogue;
    dialogue << std::ifstream(out).rdbuf();
    const std::string printed = dialogue.str();
    EXPECT_NE(printed.find("\nRestoring firmware (Part 2/2)\n"), std::string::npos) << printed;
    EXPECT_NE(printed.find("\n   ... Done\nFirmware update succeeded. Press Enter to quit.\n"), std::string::npos)
        << printed;
    EXPECT_EQ(printed.find('%'), std::string::npos) << printed;
    EXPECT_EQ(printed.find('\r'), std::string::npos) << printed;
}

// The in-place update of a working controller shows the same line while
// the image goes over. Standard output goes to a file here: the host relays
// it through a pipe of its own, so on the pane its lines could land next to
// the live line at any moment (how the tool keeps its own lines apart from
// the live line is tested with the line itself).
TEST(ProgressInATerminal, TheLineMovesWhileTheUpdateSendsTheImageAndIsClearedAfterwards) {
    if (!HaveTmux()) GTEST_SKIP() << "tmux is not installed (scripts/setup installs it)";
    // Large enough that sending it word by word takes seconds.
    ControllerFirmware firmware(/*mismatch=*/false, 64 * 1024);
    TempFolder folder;
    const std::string done = folder.file("status");
    const std::string command = std::string(TYVO_SIM_PATH) + " --scenario controller-update -- " + TYVO_RESET_PATH +
                                " --firmware-dir " + firmware.folder() + " > " + folder.file("out") + "; echo $? > " +
                                done + "; sleep 60";
    const WatchedRun run = Watch("tyvo-update", command, done, "Updating the firmware", 180s);
    ASSERT_FALSE(::testing::Test::HasFailure());
    EXPECT_EQ(run.status, 0) << run.screen;
    EXPECT_GE(run.percents.size(), 2u) << "the line did not move; last screen:\n" << run.screen;
    EXPECT_EQ(run.screen.find("Updating the firmware"), std::string::npos) << run.screen;
}

// Standard error to a file gets no progress bytes by default: every
// unattended run of UnattendedTest checks that. Plain lines come when asked
// for, and --quiet wins.
TEST(ProgressInATerminal, PlainLinesOnlyWhenAskedForAndNotWhenQuiet) {
    const auto plain = tooltest::RunUnderHost({"--scenario", "restore"}, {"--yes", "--progress", "plain"});
    EXPECT_EQ(plain.status, 0) << plain.err;
    EXPECT_NE(plain.err.find("Writing the flash: 50%\n"), std::string::npos) << plain.err;
    EXPECT_NE(plain.err.find("Writing the flash: 100%\n"), std::string::npos) << plain.err;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos);
    EXPECT_EQ(plain.out.find('%'), std::string::npos) << "standard output keeps the dialogue's lines";

    const auto quiet = tooltest::RunUnderHost({"--scenario", "restore"}, {"--yes", "--progress", "plain", "--quiet"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err.find("the flash"), std::string::npos) << quiet.err;
}

}  // namespace
