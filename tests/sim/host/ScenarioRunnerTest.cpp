// The scenario runner with stand-in programs: it answers the prompts,
// forwards the output unchanged, starts steps on the program's words in
// order, stops a program that overruns its time, and reports every
// expectation that did not hold.

#include "sim/host/Scenario.h"

#include <gtest/gtest.h>

namespace tyvo::sim::host {
namespace {

using namespace std::chrono_literals;

class Runner : public ::testing::Test {
protected:
    // Runs a shell script as the program; $1 is the box prompt.
    int run(const std::string& script, const Scenario& scenario) {
        options.program = {"/bin/sh", "-c", script, "sh", std::string(kBoxPrompt)};
        ScenarioRunner runner(
            bus, options, [this](std::string_view text) { forwarded += text; },
            [this](const std::string& finding) { findings.push_back(finding); });
        return runner.run(scenario);
    }
    bool found(const std::string& text) const {
        for (const auto& f : findings)
            if (f.find(text) != std::string::npos) return true;
        return false;
    }

    EmulatedUsbBus bus;
    HostOptions options;
    std::string forwarded;
    std::vector<std::string> findings;
};

// The dialogue in miniature: the box, Enter, the plug-in request, two
// attempts, the closing line, Enter.
const std::string kDialogue =
    "printf '%s' \"$1\"; read a; printf 'Please plug in your Tyvo Controller.\\n\\n'; "
    "printf 'try\\nfail\\ntry\\nwin\\n'; sleep 0.2; "
    "printf 'Then, select \"Resume Tracking\" in the Tyvo tray icon.\\n'; read b; echo \"got [$a][$b]\"";

TEST_F(Runner, AnswersBothPromptsAndForwardsTheOutputUnchanged) {
    Scenario scenario;
    EXPECT_EQ(run(kDialogue, scenario), 0);
    EXPECT_EQ(forwarded,
              std::string(kBoxPrompt) + std::string(kPlugInRequest) +
                  "try\nfail\ntry\nwin\nThen, select \"Resume Tracking\" in the Tyvo tray icon.\ngot [][]\n");
    EXPECT_TRUE(findings.empty());
}

TEST_F(Runner, StepsStartOnTheProgramsWordsInOrderAfterTheirDelays) {
    std::vector<std::string> done;
    Scenario scenario;
    auto step = [&](const std::string& after, std::chrono::milliseconds delay) {
        ScenarioStep s;
        s.description = after;
        s.afterOutput = after;
        s.delay = delay;
        s.action = [&done, after](ScenarioRun& r) { done.push_back(after + "@" + std::to_string(r.output().size())); };
        return s;
    };
    scenario.steps = {step("try\n", 0ms), step("try\n", 0ms), step("win\n", 50ms)};
    EXPECT_EQ(run(kDialogue, scenario), 0);
    ASSERT_EQ(done.size(), 3u);
    // The second "try" is found after the first one's place, not again.
    const std::size_t before = kBoxPrompt.size() + kPlugInRequest.size();
    EXPECT_EQ(done[0].rfind("try\n@", 0), 0u);
    EXPECT_GE(std::stoul(done[0].substr(5)), before + 4);
    EXPECT_GE(std::stoul(done[1].substr(5)), before + 14) << "after the second try";
    EXPECT_EQ(done[2].rfind("win\n@", 0), 0u);
}

TEST_F(Runner, AProgramThatOverrunsItsTimeIsStoppedAndTheScenarioFails) {
    Scenario scenario;
    scenario.timeLimit = 1s;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("echo started; exec sleep 60", scenario), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 30s) << "the program was not waited for";
    EXPECT_TRUE(found("time limit of 1 s")) << ::testing::PrintToString(findings);
    EXPECT_EQ(forwarded, "started\n");
}

TEST_F(Runner, ReportsTheExitStatusMissingOutputAndStepsThatNeverHappened) {
    Scenario scenario;
    scenario.expectedExitStatus = 0;
    scenario.expectedOutput = {"b\n", "a\n"};
    ScenarioStep never;
    never.description = "waits for z";
    never.afterOutput = "z";
    ScenarioStep maybe = never;
    maybe.description = "may wait for y";
    maybe.afterOutput = "y";
    maybe.optional = true;
    scenario.steps = {never, maybe};
    EXPECT_EQ(run("printf 'a\\nb\\n'; exit 3", scenario), 1);
    EXPECT_TRUE(found("ended with status 3, expected 0"));
    EXPECT_TRUE(found("lacks \"a\\n\""));
    EXPECT_TRUE(found("step \"waits for z\" never happened"));
    EXPECT_FALSE(found("may wait for y"));
}

TEST_F(Runner, AStepThatFailsStopsTheProgramAndTheVerdictIsFailure) {
    Scenario scenario;
    ScenarioStep broken;
    broken.description = "plugs into a taken port";
    broken.action = [](ScenarioRun&) { throw std::runtime_error("port 1-1 is taken"); };
    scenario.steps = {broken};
    bool verified = false;
    scenario.verify = [&](ScenarioRun& r) {
        verified = true;
        r.fail("flash not restored");
    };
    EXPECT_EQ(run("exec sleep 60", scenario), 1);
    EXPECT_TRUE(found("step \"plugs into a taken port\" failed: port 1-1 is taken"));
    EXPECT_TRUE(verified);
    EXPECT_TRUE(found("flash not restored"));
}

TEST_F(Runner, WhenVerboseTellsEachStepAndTheProgramsPeakMemory) {
    options.verbose = true;
    Scenario scenario;
    ScenarioStep step;
    step.description = "after the request";
    step.afterOutput = std::string(kPlugInRequest);
    step.action = [](ScenarioRun& r) { r.note("acting"); };
    scenario.steps = {step};
    EXPECT_EQ(run(kDialogue, scenario), 0);
    EXPECT_TRUE(found("pressing Enter after the box"));
    EXPECT_TRUE(found("step: after the request"));
    EXPECT_TRUE(found("acting"));
    EXPECT_TRUE(found("the tool's peak resident memory: "));
    EXPECT_TRUE(found("pressing Enter after the closing lines"));
}

TEST_F(Runner, AProgramThatCannotStartIsAnError) {
    options.program = {"/nonexistent/tyvo-reset"};
    ScenarioRunner runner(
        bus, options, [](std::string_view) {}, [](const std::string&) {});
    EXPECT_THROW(runner.run(Scenario{}), std::runtime_error);
}

}  // namespace
// A listing program: the steps that would follow the plug-in request are
// done before it starts, nothing else happens, and its status is its own.
TEST_F(Runner, AListingFindsThePlugInStepsDoneBeforeItStarts) {
    options.listing = true;
    bool plugged = false;
    Scenario scenario;
    ScenarioStep plug;
    plug.description = "plug";
    plug.afterOutput = std::string(kPlugInRequest);
    plug.action = [&plugged](ScenarioRun&) { plugged = true; };
    ScenarioStep later;
    later.description = "after a failure";
    later.afterOutput = "never printed";
    scenario.steps = {plug, later};
    scenario.expectedOutput = {"never printed either"};
    scenario.verify = [](ScenarioRun& run) { run.fail("verified a listing"); };
    const Scenario adapted = AdaptScenario(scenario, options);

    options.program = {"/bin/sh", "-c", "echo listed; exit 3"};
    ScenarioRunner runner(
        bus, options, [this](std::string_view text) { forwarded += text; },
        [this](const std::string& finding) { findings.push_back(finding); });
    EXPECT_EQ(runner.run(adapted), 0) << (findings.empty() ? "" : findings.front());
    EXPECT_TRUE(plugged);
    EXPECT_EQ(runner.toolStatus(), 3);
    EXPECT_EQ(forwarded, "listed\n");
}

// An unattended program: plugged in at once, though it never prints the
// request (its dialogue is on standard error); the replug after a failure
// may never come, and its status is its own.
TEST_F(Runner, AnUnattendedProgramIsPluggedInAtOnceAndNeedNotBeReplugged) {
    options.unattended = true;
    Scenario scenario;
    ScenarioStep plug;
    plug.description = "plug";
    plug.afterOutput = std::string(kPlugInRequest);
    plug.action = [](ScenarioRun& run) { run.note("plugged"); };
    ScenarioStep replug;
    replug.description = "replug";
    replug.afterOutput = "Error 1 when restoring firmware (1/2)\n";
    scenario.steps = {plug, replug};
    scenario.expectedOutput = {"Restoring firmware (Part 2/2)"};
    scenario.verify = [](ScenarioRun& run) { run.fail("verified a failed run"); };
    scenario.verifyWhenUnattended = true;
    const Scenario adapted = AdaptScenario(scenario, options);

    options.verbose = true;
    options.program = {"/bin/sh", "-c", "sleep 0.3; exit 11"};
    ScenarioRunner runner(
        bus, options, [this](std::string_view text) { forwarded += text; },
        [this](const std::string& finding) { findings.push_back(finding); });
    EXPECT_EQ(runner.run(adapted), 0);
    EXPECT_EQ(runner.toolStatus(), 11);
    EXPECT_TRUE(found("plugged")) << "the plug-in step ran without the request";
    EXPECT_FALSE(found("never happened"));
    EXPECT_FALSE(found("verified a failed run")) << "verify runs only after status 0";
}

}  // namespace tyvo::sim::host
