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

std::optional<FaultSpec> ParseFaultSpec(std::string_view text) {
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

    FaultSpec spec;
    if (stage == "1")
        spec.stage = 1;
    else if (stage == "2")
        spec.stage = 2;
    else
        return std::nullopt;
    static const std::pair<std::string_view, FaultKind> kinds[] = {
        {"error", FaultKind::Fail},     {"stall", FaultKind::Stall},         {"timeout", FaultKind::Timeout},
        {"unplug", FaultKind::Unplug},  {"corrupt", FaultKind::CorruptRead}, {"garbage", FaultKind::Garbage}};
    bool known = false;
    for (const auto& [name, value] : kinds) {
        if (name == kind) {
            spec.kind = value;
            known = true;
        }
    }
    if (!known) return std::nullopt;
    const auto [end, error] = std::from_chars(nth.data(), nth.data() + nth.size(), spec.nth);
    if (nth.empty() || error != std::errc{} || end != nth.data() + nth.size() || spec.nth == 0) return std::nullopt;
    spec.request = request;
    return spec;
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

int ScenarioRunner::run(const Scenario& scenario) {
    ScenarioRun run(m_bus, m_options);
    auto tell = [&](const std::string& text) {
        if (m_options.verbose) m_report(text);
    };

    run.m_tell = tell;

    ToolProcess tool(m_options.program);
    run.m_enter = [&tool] { tool.write("\n"); };
    run.m_started = Clock::now();
    const auto deadline = run.m_started + scenario.timeLimit;

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

    while (!status) {
        if (outputOpen) {
            std::string chunk;
            outputOpen = tool.read(chunk, kPollInterval);
            if (!chunk.empty()) {
                m_writeOutput(chunk);
                run.takeOutput(chunk);
            }
            // A last line the tool did not end counts as it is.
            if (!outputOpen && !IsTimestampedLogLine(run.m_partialLine)) run.m_output += run.m_partialLine;
        } else {
            std::this_thread::sleep_for(kPollInterval);
        }

        // The two Enter prompts: after the box and after the closing lines.
        for (std::size_t seen = countOf(run.m_output, kBoxPrompt); boxAnswered < seen; ++boxAnswered) {
            tell("pressing Enter after the box");
            run.pressEnter();
        }
        for (std::size_t seen = countOf(run.m_output, kClosingPrompt); closingAnswered < seen; ++closingAnswered) {
            tell("pressing Enter after the closing lines");
            run.pressEnter();
        }

        while (!aborted && stepIndex < scenario.steps.size()) {
            const ScenarioStep& step = scenario.steps[stepIndex];
            if (!stepDue) {
                bool started = true;
                if (!step.afterOutput.empty()) {
                    const auto at = run.m_output.find(step.afterOutput, cursor);
                    started = at != std::string::npos;
                    if (started) cursor = at + step.afterOutput.size();
                } else if (step.when) {
                    started = step.when(run);
                }
                if (!started) break;
                stepDue = Clock::now() + step.delay;
            }
            if (Clock::now() < *stepDue) break;
            tell("step: " + step.description);
            try {
                if (step.action) step.action(run);
            } catch (const std::exception& e) {
                run.fail("step \"" + step.description + "\" failed: " + e.what());
                aborted = true;
            }
            ++stepIndex;
            stepDue.reset();
        }

        if (!outputOpen) status = tool.exitStatus();
        if (status) break;
        if (scenario.endsOnceObserved && !aborted && stepIndex == scenario.steps.size()) {
            tell("ending the tool");
            tool.kill();
            status = tool.exitStatus();
            endedByHost = true;
            break;
        }
        if (aborted) {
            tool.kill();
            status = tool.exitStatus();
            break;
        }
        if (Clock::now() >= deadline) {
            timedOut = true;
            tool.kill();
            status = tool.exitStatus();
            break;
        }
    }
    // Nothing more happens on the bus now: the tool is gone.
    m_bus.stopTimers();
    if (const auto peak = tool.peakResidentKiB()) tell("the tool's peak resident memory: " + std::to_string(*peak) + " KiB");

    if (timedOut)
        run.fail("the tool did not end within the time limit of " + std::to_string(scenario.timeLimit.count()) +
                 " s and was stopped");
    for (std::size_t i = stepIndex; i < scenario.steps.size(); ++i)
        if (!scenario.steps[i].optional) run.fail("step \"" + scenario.steps[i].description + "\" never happened");
    if (!timedOut && !aborted && !endedByHost && status != scenario.expectedExitStatus)
        run.fail("the tool ended with status " + std::to_string(status.value_or(-1)) + ", expected " +
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

    for (const auto& finding : run.m_failures) m_report(finding);
    return run.m_failures.empty() ? 0 : 1;
}

}  // namespace tyvo::sim::host
