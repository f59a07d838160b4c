#pragma once
// Scenarios of the emulation host: which devices appear on the emulated bus
// and when, which faults they show, and what must hold at the end. A
// scenario is a list of steps, each started by something the tool printed
// or by a condition, then carried out after a delay; and a check of the
// devices' state once the tool has ended.
//
// Families of scenarios add themselves to the catalog (BuiltInScenarios):
// the restore family lives in RestoreScenarios.cpp; a family for
// controllers in normal operation adds its own file and one call there.

#include "sim/EmulatedUsbBus.h"
#include "sim/FaultPlan.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tyvo::sim::host {

class ScenarioRun;
class ToolProcess;

// A fault given on the host's command line: the nth transfer (counted over
// every transfer the device sees from its plug-in, or over the control
// requests with one request code) of the device of one restore stage.
struct ScenarioFault {
    int stage = 1;  // 1: the boot loader, 2: the boot programmer
    FaultKind kind = FaultKind::Fail;
    unsigned nth = 1;
    std::optional<uint8_t> request;
};

// "STAGE:KIND:K[@REQUEST]", e.g. "2:timeout:7" or "1:error:5@A0" (REQUEST
// in hexadecimal); KIND is error, stall, timeout, unplug, corrupt or
// garbage. nullopt when malformed.
std::optional<ScenarioFault> ParseScenarioFault(std::string_view text);

struct HostOptions {
    std::string scenario = "restore";
    // The tool and its arguments.
    std::vector<std::string> program;
    // Where the plain images (app1.img, ...) lie: the tool's --firmware-dir,
    // else the tool's own folder.
    std::string firmwareFolder;
    std::optional<ScenarioFault> fault;
    // The devices take the time real ones take (bus, flash programming and
    // erase times).
    bool timing = false;
    // Steps of the scenario are told on standard error as they happen.
    bool verbose = false;
    // The flash programs pages slowly (2 ms a page, with the timing on), so
    // that writing it takes seconds: for watching the tool's progress.
    bool slowFlash = false;
    // The program runs unattended (it was given --yes): it prints its
    // dialogue without waiting and ends after a failed stage. Steps that
    // wait for the plug-in request start at once, the replugs after a
    // failure may never happen, and the program's exit status is its own
    // verdict (the host passes it on).
    bool unattended = false;
    // The program lists the devices and ends (it was given --list): the
    // scenario's devices are plugged in before it starts, and nothing else
    // of the scenario happens.
    bool listing = false;
    // For the scenario "devices": what is on the bus from the start, each
    // one of boot-loader, boot-programmer, controller, embedded.
    std::vector<std::string> devices;
};

struct ScenarioStep {
    std::string description;
    // Starts once the tool has printed this, after where the previous
    // step's text was found ...
    std::string afterOutput;
    // ... or once this holds (checked every few milliseconds).
    std::function<bool(ScenarioRun&)> when;
    std::chrono::milliseconds delay{0};
    std::function<void(ScenarioRun&)> action;
    // A step that may rightly never start (a recovery that was not needed).
    bool optional = false;
};

struct Scenario {
    std::string name;
    std::chrono::seconds timeLimit{60};
    int expectedExitStatus = 0;
    // In normal operation the tool never ends by itself: once every step
    // has happened, the host ends it, and its exit status is not checked.
    bool endsOnceObserved = false;
    std::vector<ScenarioStep> steps;
    // Texts the tool's output must contain, in this order.
    std::vector<std::string> expectedOutput;
    // The devices' state once the tool has ended; report what does not hold
    // with ScenarioRun::fail.
    std::function<void(ScenarioRun&)> verify;
    // Carried out before the program starts (devices already plugged in).
    std::function<void(ScenarioRun&)> setUp;
    // The program's exit status is its own verdict, not checked here.
    bool anyExitStatus = false;
    // Unattended, verify still runs after a run that ended with status 0
    // (the restores); otherwise it is left out (a working controller that an
    // unattended program leaves alone shows nothing to verify).
    bool verifyWhenUnattended = false;
};

// The scenario as an unattended or listing program meets it (see
// HostOptions::unattended and listing).
Scenario AdaptScenario(Scenario scenario, const HostOptions& options);

struct ScenarioEntry {
    std::string name;
    std::string summary;  // one line for --help
    // Builds the scenario; throws std::runtime_error when it cannot (a
    // missing image, an option it needs).
    std::function<Scenario(const HostOptions&)> make;
};

class ScenarioCatalog {
public:
    void add(ScenarioEntry entry);
    const ScenarioEntry* find(std::string_view name) const;
    const std::vector<ScenarioEntry>& entries() const { return m_entries; }

private:
    std::vector<ScenarioEntry> m_entries;
};

// Every scenario the host knows, family by family.
ScenarioCatalog BuiltInScenarios();
void AddRestoreScenarios(ScenarioCatalog& catalog);
void AddDeviceScenarios(ScenarioCatalog& catalog);

// What a step may do while the scenario runs.
class ScenarioRun {
public:
    ScenarioRun(EmulatedUsbBus& bus, const HostOptions& options);

    EmulatedUsbBus& bus() { return m_bus; }
    const HostOptions& options() const { return m_options; }
    // The lines the tool has printed for the user so far: its log lines,
    // which the log server's thread writes between them whenever its batch
    // is due, are left out.
    const std::string& output() const { return m_output; }
    std::chrono::steady_clock::time_point started() const { return m_started; }
    // How the tool ended, once it has.
    std::optional<int> toolStatus() const { return m_toolStatus; }

    // Presses Enter in the tool's console.
    void pressEnter();
    // An expectation that did not hold.
    void fail(std::string finding);
    // Told on standard error with --verbose.
    void note(const std::string& text);

    const std::vector<std::string>& failures() const { return m_failures; }

private:
    friend class ScenarioRunner;
    void takeOutput(std::string_view chunk);
    EmulatedUsbBus& m_bus;
    const HostOptions& m_options;
    std::string m_output;
    std::string m_partialLine;  // the tool's last line, not yet ended
    std::function<void()> m_enter;
    std::function<void(const std::string&)> m_tell;
    std::vector<std::string> m_failures;
    std::chrono::steady_clock::time_point m_started = std::chrono::steady_clock::now();
    std::optional<int> m_toolStatus;
};

// Prompts of the tool that the host answers with Enter.
inline constexpr std::string_view kBoxPrompt =
    "          |              Press Enter to continue.              |\n"
    "          |____________________________________________________|\n"
    "\n";
inline constexpr std::string_view kClosingPrompt = "Then, select \"Resume Tracking\" in the Tyvo tray icon.\n";
inline constexpr std::string_view kPlugInRequest = "Please plug in your Tyvo Controller.\n\n";

// Runs the scenario with the tool as a child: forwards its standard output
// unchanged to writeOutput, answers its prompts, carries out the steps,
// kills it at the time limit, and checks the expectations. Findings go to
// report, one line each. Returns 0 when every expectation held, else 1.
class ScenarioRunner {
public:
    ScenarioRunner(EmulatedUsbBus& bus, const HostOptions& options, std::function<void(std::string_view)> writeOutput,
                   std::function<void(const std::string&)> report);
    int run(const Scenario& scenario);
    // The program's exit status in the last run (killed: 128 + signal).
    std::optional<int> toolStatus() const { return m_toolStatus; }

private:
    using Clock = std::chrono::steady_clock;
    struct Progress;
    void readOutput(ToolProcess& tool, ScenarioRun& run, Progress& progress);
    static void answerPrompts(ScenarioRun& run, Progress& progress);
    static void carryOutSteps(const Scenario& scenario, ScenarioRun& run, Progress& progress);
    static void endIfDone(const Scenario& scenario, ToolProcess& tool, ScenarioRun& run, Progress& progress,
                          Clock::time_point deadline);
    static void checkExpectations(const Scenario& scenario, ScenarioRun& run, const Progress& progress);

    EmulatedUsbBus& m_bus;
    const HostOptions& m_options;
    std::function<void(std::string_view)> m_writeOutput;
    std::function<void(const std::string&)> m_report;
    std::optional<int> m_toolStatus;
};

}  // namespace tyvo::sim::host
