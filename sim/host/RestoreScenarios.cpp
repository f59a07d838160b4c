// The restore family: a controller whose firmware is damaged comes up as the
// bare FX3 boot loader; the tool takes it through both stages. The chip
// starts with half of an old image in its flash (an update that was cut
// short), which the ROM refuses, so it enumerates as the boot loader.

#include "sim/Fx3Chip.h"
#include "sim/host/ExpectedFlash.h"
#include "sim/host/ReenumerationHook.h"
#include "sim/host/Scenario.h"

#include <stdexcept>

namespace tyvo::sim::host {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The user plugs the controller in shortly after being asked to.
constexpr auto kPlugDelay = 500ms;
// A failed attempt is noticed, then the controller stays out for a moment.
constexpr auto kUnplugDelay = 300ms;
constexpr auto kReplugPause = 1000ms;

// A flash this slow takes seconds to write the image: long enough to watch
// the tool's progress line move.
constexpr auto kSlowPageProgram = std::chrono::milliseconds(2);
constexpr auto kSlowSectorErase = std::chrono::milliseconds(100);

constexpr const char kStage1Done[] = "Restoring firmware (Part 1/2)\n   ... Done\n";
constexpr const char kStage2Done[] =
    "Restoring firmware (Part 2/2)\n   ... Done\nFirmware update succeeded. Press Enter to quit.\n";

struct StageFault {
    int stage = 1;
    FaultRule rule;
};

// One controller on the bus and what its flash must hold at the end.
struct RestoreRig {
    std::shared_ptr<Fx3Chip> chip;
    Bytes expectedFlash;
    std::size_t imageSize = 0;
    std::string port;
    std::optional<Clock::time_point> replugAt;
    std::size_t attemptStart = 0;  // where the current attempt's output begins
};

std::shared_ptr<RestoreRig> makeRig(const HostOptions& options) {
    const std::string path = options.firmwareFolder + "/app1.img";
    const auto image = ReadFile(path);
    if (!image) throw std::runtime_error("cannot read the controller image " + path);
    std::string why;
    const auto personalised = PersonalisedImage(*image, kRestoredSerial, why);
    if (!personalised) throw std::runtime_error(path + ": " + why);

    auto rig = std::make_shared<RestoreRig>();
    rig->imageSize = personalised->size();
    rig->expectedFlash = PaddedToPages(*personalised);
    Fx3Options chip;
    chip.timing.enabled = options.timing || options.slowFlash;
    if (options.slowFlash) {
        chip.timing.pageProgram = kSlowPageProgram;
        chip.timing.sectorErase = kSlowSectorErase;
    }
    rig->chip = Fx3Chip::create(chip);
    rig->chip->flash().load(0, Bytes(image->begin(), image->begin() + static_cast<std::ptrdiff_t>(image->size() / 2)));
    return rig;
}

// Powers the chip up and plugs it in; with a fault, the boot loader (stage
// 1) or the boot programmer it restarts as (stage 2) shows it.
void plugController(ScenarioRun& run, RestoreRig& rig, const std::optional<StageFault>& fault) {
    // The flash model does not see the power cycle: an erase whose status
    // the tool stopped polling is still running there. A real flash drops
    // it when the power goes; let it finish first (a stuck flash stays so).
    for (int polls = 0; polls < 64 && rig.chip->flash().pollBusy(); ++polls) {
    }
    std::shared_ptr<UsbDeviceModel> model = rig.chip->powerUp();
    auto loader = std::dynamic_pointer_cast<StandardUsbDevice>(model);
    if (!loader) throw std::runtime_error("the controller did not come up in its boot loader");
    if (fault && fault->stage == 1) loader->injectFault(fault->rule);
    if (fault && fault->stage == 2) {
        const FaultRule rule = fault->rule;
        model = std::make_shared<ReenumerationHook>(model, [rule](const std::shared_ptr<UsbDeviceModel>& next) {
            if (auto programmer = std::dynamic_pointer_cast<StandardUsbDevice>(next)) programmer->injectFault(rule);
        });
    }
    rig.attemptStart = run.output().size();
    rig.port = run.bus().plug(model, rig.port);
    run.note("plugged in the controller at " + rig.port + " (boot loader)");
}

void unplugController(ScenarioRun& run, RestoreRig& rig) {
    if (run.bus().modelAt(rig.port) && run.bus().unplug(rig.port)) run.note("unplugged the controller");
}

void verifyFlash(ScenarioRun& run, const RestoreRig& rig) {
    const Bytes flash = rig.chip->flash().contents();
    const std::string difference = CompareFlash(flash, rig.expectedFlash, rig.imageSize);
    if (!difference.empty())
        run.fail(difference);
    else
        run.note("the flash holds the firmware personalised for " + std::string(kRestoredSerial));
}

// Whether the attempt since the last plug-in has failed: a stage printed its
// error line or "...", or stage 1 finished without the chip restarting.
bool attemptFailed(ScenarioRun& run, const RestoreRig& rig) {
    const std::string_view attempt = std::string_view(run.output()).substr(rig.attemptStart);
    if (attempt.find(" when restoring firmware (") != std::string_view::npos) return true;
    if (attempt.find("\n...\n") != std::string_view::npos) return true;
    if (attempt.find("Firmware update succeeded.") != std::string_view::npos) return false;
    return attempt.find(kStage1Done) != std::string_view::npos && rig.chip->mode() != Fx3Chip::Mode::BootProgrammer;
}

ScenarioStep plugStep(const std::shared_ptr<RestoreRig>& rig, std::optional<StageFault> fault) {
    ScenarioStep step;
    step.description = "plug in the controller, in its boot loader";
    step.afterOutput = std::string(kPlugInRequest);
    step.delay = kPlugDelay;
    step.action = [rig, fault](ScenarioRun& run) { plugController(run, *rig, fault); };
    return step;
}

// After the failure line: out, a pause, in again (without the fault).
void addReplugAfter(Scenario& scenario, const std::shared_ptr<RestoreRig>& rig, const std::string& failureLine) {
    ScenarioStep out;
    out.description = "unplug the controller after \"" + failureLine.substr(0, failureLine.size() - 1) + "\"";
    out.afterOutput = failureLine;
    out.delay = kUnplugDelay;
    out.action = [rig](ScenarioRun& run) { unplugController(run, *rig); };
    scenario.steps.push_back(out);

    ScenarioStep in;
    in.description = "plug the controller in again";
    in.delay = kReplugPause;
    in.action = [rig](ScenarioRun& run) { plugController(run, *rig, std::nullopt); };
    scenario.steps.push_back(in);
}

Scenario restoreScenario(const std::string& name, const std::shared_ptr<RestoreRig>& rig,
                         std::optional<StageFault> fault) {
    Scenario scenario;
    scenario.name = name;
    scenario.steps.push_back(plugStep(rig, fault));
    scenario.verify = [rig](ScenarioRun& run) { verifyFlash(run, *rig); };
    scenario.verifyWhenUnattended = true;
    return scenario;
}

Scenario makeRestore(const HostOptions& options) {
    auto rig = makeRig(options);
    Scenario scenario = restoreScenario("restore", rig, std::nullopt);
    scenario.expectedOutput = {kStage1Done, kStage2Done};
    return scenario;
}

// A first attempt that fails with error 1 in its stage, then out and in
// again, and a whole restore.
Scenario failureThenReplug(const std::string& name, const std::shared_ptr<RestoreRig>& rig, const StageFault& fault) {
    Scenario scenario = restoreScenario(name, rig, fault);
    const std::string stage = fault.stage == 1 ? "1" : "2";
    const std::string failure = "Error 1 when restoring firmware (" + stage + "/2)\n";
    addReplugAfter(scenario, rig, failure);
    const std::string failedStage = "Restoring firmware (Part " + stage + "/2)\n" + failure;
    if (fault.stage == 1)
        scenario.expectedOutput = {failedStage, kStage1Done, kStage2Done};
    else
        scenario.expectedOutput = {kStage1Done, failedStage, kStage1Done, kStage2Done};
    return scenario;
}

Scenario makeStage1Failure(const HostOptions& options) {
    // The third read-back of the first block fails: only that pass counts.
    return failureThenReplug("stage1-failure", makeRig(options),
                             StageFault{1, FaultRule{FaultKind::Fail, 3, 0xA0, true, false}});
}

Scenario makeStage2Failure(const HostOptions& options) {
    // The second flash write fails.
    return failureThenReplug("stage2-failure", makeRig(options),
                             StageFault{2, FaultRule{FaultKind::Fail, 2, 0xC2, false, false}});
}

Scenario makeStage2Unplug(const HostOptions& options) {
    auto rig = makeRig(options);
    // Pulled out halfway through writing the flash.
    const std::size_t writes = (rig->expectedFlash.size() + 2047) / 2048;
    const unsigned halfway = static_cast<unsigned>(std::max<std::size_t>(writes / 2, 1));
    return failureThenReplug("stage2-unplug", rig,
                             StageFault{2, FaultRule{FaultKind::Unplug, halfway, 0xC2, false, false}});
}

Scenario makeFault(const HostOptions& options) {
    if (!options.fault) throw std::runtime_error("scenario \"fault\" needs --fault STAGE:KIND:K[@REQUEST]");
    auto rig = makeRig(options);
    const ScenarioFault& chosen = *options.fault;
    const StageFault fault{chosen.stage, FaultRule{chosen.kind, chosen.nth, chosen.request, {}, false}};
    Scenario scenario = restoreScenario("fault", rig, fault);
    // Transfers time out after 10 s each, descriptor reads after 5 s.
    scenario.timeLimit = std::chrono::seconds(120);

    ScenarioStep out;
    out.description = "unplug the controller after the failed attempt";
    out.optional = true;
    out.when = [rig](ScenarioRun& run) { return attemptFailed(run, *rig); };
    out.delay = kUnplugDelay;
    out.action = [rig](ScenarioRun& run) {
        unplugController(run, *rig);
        rig->replugAt = Clock::now() + kReplugPause;
    };
    scenario.steps.push_back(out);

    ScenarioStep in;
    in.description = "plug the controller in again";
    in.optional = true;
    in.when = [rig](ScenarioRun&) { return rig->replugAt && Clock::now() >= *rig->replugAt; };
    in.action = [rig](ScenarioRun& run) { plugController(run, *rig, std::nullopt); };
    scenario.steps.push_back(in);

    scenario.expectedOutput = {kStage2Done};
    return scenario;
}

// A restore that only an unattended tool ends, with `status`: what the
// tool reports is the verdict, and the flash is not checked after it.
Scenario endedByUnattendedTool(Scenario scenario, int status) {
    scenario.expectedExitStatus = status;
    scenario.verify = nullptr;
    scenario.verifyWhenUnattended = false;
    return scenario;
}

// Stage 1 jumps to the boot programmer, which never comes back on the bus.
Scenario makeProgrammerLost(const HostOptions& options) {
    auto rig = makeRig(options);
    rig->chip->setReenumeration(0ms, true);
    Scenario scenario = restoreScenario("programmer-lost", rig, std::nullopt);
    scenario.expectedOutput = {kStage1Done};
    // It gives up waiting for the programmer.
    return endedByUnattendedTool(std::move(scenario), 5);
}

// Where a weak cell shows: the first byte of the middle page of the image
// that programming changes (one left 0xFF would not show).
void placeWeakCell(RestoreRig& rig, bool once) {
    const std::size_t pages = rig.expectedFlash.size() / SpiFlashModel::kPageSize;
    for (std::size_t page = pages / 2; page < pages; ++page) {
        for (std::size_t offset = 0; offset < SpiFlashModel::kPageSize; ++offset) {
            if (rig.expectedFlash[page * SpiFlashModel::kPageSize + offset] == 0xFF) continue;
            rig.chip->flash().setWeakCell(static_cast<uint32_t>(page), offset, once);
            return;
        }
    }
    throw std::runtime_error("the controller image has no byte a weak cell could spoil");
}

// One byte of a page fails to program the first time: only a tool that
// reads the flash back (--verify) finds it and writes its sector again.
Scenario makeVerifyRewrite(const HostOptions& options) {
    auto rig = makeRig(options);
    placeWeakCell(*rig, true);
    Scenario scenario = restoreScenario("verify-rewrite", rig, std::nullopt);
    scenario.expectedOutput = {kStage1Done, kStage2Done};
    scenario.verify = [rig](ScenarioRun& run) {
        if (rig->chip->flash().weakCellMisses() != 1) run.fail("the weak cell did not fail exactly once");
        verifyFlash(run, *rig);
    };
    return scenario;
}

// The byte never programs: verification fails with its address (for
// --yes --verify, which ends with status 7).
Scenario makeVerifyStuck(const HostOptions& options) {
    auto rig = makeRig(options);
    placeWeakCell(*rig, false);
    Scenario scenario = restoreScenario("verify-stuck", rig, std::nullopt);
    scenario.expectedOutput = {kStage1Done};
    return endedByUnattendedTool(std::move(scenario), 7);
}

// A boot programmer without the read request: it stalls 0xC3. The restore
// itself succeeds.
Scenario makeVerifyUnsupported(const HostOptions& options) {
    auto rig = makeRig(options);
    Scenario scenario =
        restoreScenario("verify-unsupported", rig, StageFault{2, FaultRule{FaultKind::Stall, 1, 0xC3, true, true}});
    scenario.expectedOutput = {kStage1Done, kStage2Done};
    return scenario;
}

}  // namespace

void AddRestoreScenarios(ScenarioCatalog& catalog) {
    catalog.add({"restore", "(default) a controller in FX3 boot-loader mode is restored", makeRestore});
    catalog.add({"stage1-failure", "stage 1 fails (last read-back pass); a replug restores", makeStage1Failure});
    catalog.add({"stage2-failure", "stage 2 fails (a flash write); a replug restores", makeStage2Failure});
    catalog.add({"stage2-unplug", "unplugged halfway through stage 2; a replug restores", makeStage2Unplug});
    catalog.add({"fault", "the fault given by --fault; a replug restores if needed", makeFault});
    catalog.add(
        {"programmer-lost", "stage 1 jumps, the boot programmer never appears (for --yes)", makeProgrammerLost});
    catalog.add(
        {"verify-rewrite", "a flash byte fails to program once; --verify writes its sector again", makeVerifyRewrite});
    catalog.add(
        {"verify-stuck", "a flash byte never programs; --verify reports its address (for --yes)", makeVerifyStuck});
    catalog.add(
        {"verify-unsupported", "the boot programmer cannot read the flash back (0xC3 stalls)", makeVerifyUnsupported});
}

}  // namespace tyvo::sim::host
