#include "sim/host/Scenario.h"

#include "logging/LogLineFormat.h"
#include "sim/host/ToolProcess.h"

#include <charconv>
#include <exception>
#include <thread>
#include <utility>

namespace tyvo::sim::host {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// How often the host looks at the tool's output and the steps' conditions.
constexpr auto kPollInterval = 5ms;

std::size_t countOf(const std::string& text, std::string_view needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) ++n;
    return n;
}

// A text as it appears in a finding: line ends shown as \n.
std::string quoted(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

}  // namespace

void ScenarioRun::takeOutput(std::string_view chunk) {
    m_partialLine += chunk;
    std::size_t start = 0;
    for (auto end = m_partialLine.find('\n'); end != std::string::npos; end = m_partialLine.find('\n', start)) {
        const std::string_view line(m_partialLine.data() + start, end + 1 - start);
        if (!IsTimestampedLogLine(line)) m_output += line;
        start = end + 1;
    }
    m_partialLine.erase(0, start);
}

std::optional<ScenarioFault> ParseScenarioFault(std::string_view text) {
    const auto first = text.find(':');
    const auto second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos) return std::nullopt;
    const std::string_view stage = text.substr(0, first);
    const std::string_view kind = text.substr(first + 1, second - first - 1);
    std::string_view nth = text.substr(second + 1);
    std::optional<uint8_t> request;
    if (const auto at = nth.find('@'); at != std::string_view::npos) {
        const std::string_view code = nth.substr(at + 1);
        nth = nth.substr(0, at);
        unsigned value = 0;
        const auto [end, error] = std::from_chars(code.data(), code.data() + code.size(), value, 16);
        if (code.empty() || code.size() > 2 || error != std::errc{} || end != code.data() + code.size())
            return std::nullopt;
        request = static_cast<uint8_t>(value);
    }

    ScenarioFault chosen;
    if (stage == "1")
        chosen.stage = 1;
    else if (stage == "2")
        chosen.stage = 2;
    else
        return std::nullopt;
    static const std::pair<std::string_view, FaultKind> kinds[] = {
        {"error", FaultKind::Fail},    {"stall", FaultKind::Stall},         {"timeout", FaultKind::Timeout},
        {"unplug", FaultKind::Unplug}, {"corrupt", FaultKind::CorruptRead}, {"garbage", FaultKind::Garbage}};
    bool known = false;
    for (const auto& [name, value] : kinds) {
        if (name == kind) {
            chosen.kind = value;
            known = true;
        }
    }
    if (!known) return std::nullopt;
    const auto [end, error] = std::from_chars(nth.data(), nth.data() + nth.size(), chosen.nth);
    if (nth.empty() || error != std::errc{} || end != nth.data() + nth.size() || chosen.nth == 0) return std::nullopt;
    chosen.request = request;
    return chosen;
}

Scenario AdaptScenario(Scenario scenario, const HostOptions& options) {
    if (options.listing) {
        // The devices the scenario plugs in after the dialogue are there
        // from the start; the listing changes nothing, so nothing is checked.
        std::vector<ScenarioStep> plugs;
        for (auto& step : scenario.steps)
            if (step.afterOutput == kPlugInRequest) plugs.push_back(step);
        auto setUp = scenario.setUp;
        scenario.setUp = [setUp, plugs](ScenarioRun& run) {
            if (setUp) setUp(run);
            for (const auto& step : plugs) {
                run.note("step: " + step.description);
                step.action(run);
            }
        };
        scenario.steps.clear();
        scenario.expectedOutput.clear();
        scenario.verify = nullptr;
        scenario.endsOnceObserved = false;
        scenario.anyExitStatus = true;
        return scenario;
    }
    if (options.unattended) {
        // The dialogue does not wait for Enter, and with --json it goes to
        // standard error, which the host does not read: plug in as soon as
        // the program runs. What follows a failure never comes (the program
        // ends), and what a working controller would show neither (it is
        // left alone).
        for (auto& step : scenario.steps) {
            if (step.afterOutput == kPlugInRequest) {
                step.afterOutput.clear();
                step.when = [](ScenarioRun&) { return true; };
            } else {
                step.optional = true;
            }
        }
        scenario.expectedOutput.clear();
        scenario.endsOnceObserved = false;
        scenario.anyExitStatus = true;
        // The devices' state is the scenario's to judge only after a
        // successful run; a run that failed left them as the failure did.
        auto verify = scenario.verifyWhenUnattended ? scenario.verify : nullptr;
        scenario.verify = [verify](ScenarioRun& run) {
            if (verify && run.toolStatus() == 0) verify(run);
        };
    }
    return scenario;
}

void ScenarioCatalog::add(ScenarioEntry entry) { m_entries.push_back(std::move(entry)); }

const ScenarioEntry* ScenarioCatalog::find(std::string_view name) const {
    for (const auto& entry : m_entries)
        if (entry.name == name) return &entry;
    return nullptr;
}

ScenarioRun::ScenarioRun(EmulatedUsbBus& bus, const HostOptions& options) : m_bus(bus), m_options(options) {}

void ScenarioRun::pressEnter() {
    if (m_enter) m_enter();
}

void ScenarioRun::fail(std::string finding) { m_failures.push_back(std::move(finding)); }

void ScenarioRun::note(const std::string& text) {
    if (m_tell) m_tell(text);
}

ScenarioRunner::ScenarioRunner(EmulatedUsbBus& bus, const HostOptions& options,
                               std::function<void(std::string_view)> writeOutput,
                               std::function<void(const std::string&)> report)
    : m_bus(bus), m_options(options), m_writeOutput(std::move(writeOutput)), m_report(std::move(report)) {}

// Where a run stands: the prompts answered, the steps carried out, and how
// the tool ended.
struct ScenarioRunner::Progress {
    std::size_t boxAnswered = 0;
    std::size_t closingAnswered = 0;
    std::size_t stepIndex = 0;
    std::size_t cursor = 0;  // where the last step's text ended
    std::optional<Clock::time_point> stepDue;
    bool outputOpen = true;
    bool timedOut = false;
    bool aborted = false;
    bool endedByHost = false;
    std::optional<int> status;
};

int ScenarioRunner::run(const Scenario& scenario) {
    ScenarioRun run(m_bus, m_options);
    run.m_tell = [this](const std::string& text) {
        if (m_options.verbose) m_report(text);
    };
    if (scenario.setUp) {
        run.note("setting up the bus");
        scenario.setUp(run);
    }
    ToolProcess tool(m_options.program);
    run.m_enter = [&tool] { tool.write("\n"); };
    run.m_started = Clock::now();
    const auto deadline = run.m_started + scenario.timeLimit;

    Progress progress;
    while (!progress.status) {
        readOutput(tool, run, progress);
        answerPrompts(run, progress);
        carryOutSteps(scenario, run, progress);
        endIfDone(scenario, tool, run, progress, deadline);
    }
    // Nothing more happens on the bus now: the tool is gone.
    m_bus.stopTimers();
    m_toolStatus = progress.status;
    run.m_toolStatus = progress.status;
    if (const auto peak = tool.peakResidentKiB())
        run.note("the tool's peak resident memory: " + std::to_string(*peak) + " KiB");

    checkExpectations(scenario, run, progress);
    for (const auto& finding : run.m_failures) m_report(finding);
    return run.m_failures.empty() ? 0 : 1;
}

void ScenarioRunner::readOutput(ToolProcess& tool, ScenarioRun& run, Progress& progress) {
    if (!progress.outputOpen) {
        std::this_thread::sleep_for(kPollInterval);
        return;
    }
    std::string chunk;
    progress.outputOpen = tool.read(chunk, kPollInterval);
    if (!chunk.empty()) {
        m_writeOutput(chunk);
        run.takeOutput(chunk);
    }
    // A last line the tool did not end counts as it is.
    if (!progress.outputOpen && !IsTimestampedLogLine(run.m_partialLine)) run.m_output += run.m_partialLine;
}

// The two Enter prompts: after the box and after the closing lines.
void ScenarioRunner::answerPrompts(ScenarioRun& run, Progress& progress) {
    for (std::size_t seen = countOf(run.m_output, kBoxPrompt); progress.boxAnswered < seen; ++progress.boxAnswered) {
        run.note("pressing Enter after the box");
        run.pressEnter();
    }
    for (std::size_t seen = countOf(run.m_output, kClosingPrompt); progress.closingAnswered < seen;
         ++progress.closingAnswered) {
        run.note("pressing Enter after the closing lines");
        run.pressEnter();
    }
}

// Starts each step once its text has appeared (or its condition holds) and
// carries it out after its delay; a step that throws aborts the scenario.
void ScenarioRunner::carryOutSteps(const Scenario& scenario, ScenarioRun& run, Progress& progress) {
    while (!progress.aborted && progress.stepIndex < scenario.steps.size()) {
        const ScenarioStep& step = scenario.steps[progress.stepIndex];
        if (!progress.stepDue) {
            bool started = true;
            if (!step.afterOutput.empty()) {
                const auto at = run.m_output.find(step.afterOutput, progress.cursor);
                started = at != std::string::npos;
                if (started) progress.cursor = at + step.afterOutput.size();
            } else if (step.when) {
                started = step.when(run);
            }
            if (!started) break;
            progress.stepDue = Clock::now() + step.delay;
        }
        if (Clock::now() < *progress.stepDue) break;
        run.note("step: " + step.description);
        try {
            if (step.action) step.action(run);
        } catch (const std::exception& e) {
            run.fail("step \"" + step.description + "\" failed: " + e.what());
            progress.aborted = true;
        }
        ++progress.stepIndex;
        progress.stepDue.reset();
    }
}

// Sets the status once the tool has ended by itself, or ends it: when the
// scenario ends once everything was observed, after an aborted step, and at
// the time limit.
void ScenarioRunner::endIfDone(const Scenario& scenario, ToolProcess& tool, ScenarioRun& run, Progress& progress,
                               Clock::time_point deadline) {
    if (!progress.outputOpen) progress.status = tool.exitStatus();
    if (progress.status) return;
    const bool allObserved = progress.stepIndex == scenario.steps.size();
    if (scenario.endsOnceObserved && !progress.aborted && allObserved) {
        run.note("ending the tool");
        progress.endedByHost = true;
    } else if (!progress.aborted) {
        if (Clock::now() < deadline) return;
        progress.timedOut = true;
    }
    tool.kill();
    progress.status = tool.exitStatus();
}

void ScenarioRunner::checkExpectations(const Scenario& scenario, ScenarioRun& run, const Progress& progress) {
    if (progress.timedOut)
        run.fail("the tool did not end within the time limit of " + std::to_string(scenario.timeLimit.count()) +
                 " s and was stopped");
    for (std::size_t i = progress.stepIndex; i < scenario.steps.size(); ++i)
        if (!scenario.steps[i].optional) run.fail("step \"" + scenario.steps[i].description + "\" never happened");
    if (!progress.timedOut && !progress.aborted && !progress.endedByHost && !scenario.anyExitStatus &&
        progress.status != scenario.expectedExitStatus)
        run.fail("the tool ended with status " + std::to_string(progress.status.value_or(-1)) + ", expected " +
                 std::to_string(scenario.expectedExitStatus));
    std::size_t at = 0;
    for (const auto& text : scenario.expectedOutput) {
        const auto found = run.m_output.find(text, at);
        if (found == std::string::npos) {
            run.fail("the tool's output lacks " + quoted(text) + " (in order)");
            break;
        }
        at = found + text.size();
    }
    if (scenario.verify) scenario.verify(run);
}

}  // namespace tyvo::sim::host
