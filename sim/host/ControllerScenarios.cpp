// Controllers in normal operation: a current Cypress controller, one whose
// firmware is too old and is updated in place, and an embedded controller.
// Each is plugged in after the dialogue; the scenario is over once the
// controller has served the tool a number of frames, which it does only
// after the tool has identified, authenticated and set it up.

#include "sim/host/ControllerScenarios.h"

#include "sim/controller/UvcControllerModel.h"
#include "sim/host/ExpectedFlash.h"

#include <stdexcept>

namespace tyvo::sim::host {
namespace {

using namespace std::chrono_literals;

constexpr auto kPlugDelay = 500ms;
constexpr const char kSerial[] = "MKT-210012345";
constexpr const char kUpToDate[] = "Your Tyvo Controller's Firmware is up to date.\n";
// The update sends the image in whole blocks of this size.
constexpr std::size_t kUpdateBlock = 256;

struct ControllerRig {
    std::shared_ptr<UvcControllerModel> model;
    std::string port;
    // For the update: the image the controller must receive.
    std::optional<Bytes> expectedImage;
};

// The controller that streams now: after an update, the one it came back as.
std::shared_ptr<UvcControllerModel> streamingModel(const ControllerRig& rig) {
    std::shared_ptr<UvcControllerModel> model = rig.model;
    while (model && model->successor()) model = model->successor();
    return model;
}

ScenarioStep plugStep(const std::shared_ptr<ControllerRig>& rig, const std::string& what) {
    ScenarioStep step;
    step.description = "plug in " + what;
    step.afterOutput = std::string(kPlugInRequest);
    step.delay = kPlugDelay;
    step.action = [rig, what](ScenarioRun& run) {
        rig->port = run.bus().plug(rig->model, rig->port);
        run.note("plugged in " + what + " at " + rig->port);
    };
    return step;
}

ScenarioStep observeStep(const std::shared_ptr<ControllerRig>& rig) {
    ScenarioStep step;
    step.description = "see the controller stream " + std::to_string(kObservedFrames) + " frames to the tool";
    step.when = [rig](ScenarioRun&) {
        const auto model = streamingModel(*rig);
        return model && model->videoStats().framesDelivered >= kObservedFrames;
    };
    step.action = [rig](ScenarioRun& run) {
        const auto stats = streamingModel(*rig)->videoStats();
        if (!stats.formatsSet.empty())
            run.note("streaming " + std::to_string(stats.formatsSet.back().width) + " x " +
                     std::to_string(stats.formatsSet.back().height));
    };
    return step;
}

Scenario streamingScenario(const std::string& name, const std::shared_ptr<ControllerRig>& rig,
                           const std::string& what) {
    Scenario scenario;
    scenario.name = name;
    scenario.timeLimit = 60s;
    scenario.endsOnceObserved = true;
    scenario.steps = {plugStep(rig, what), observeStep(rig)};
    return scenario;
}

// The tool answered the controller's challenge with the right digest.
void verifyAuthenticated(ScenarioRun& run, const UvcControllerModel& model) {
    if (!model.hostAuthenticated()) run.fail("the tool did not authenticate the controller");
}

Scenario makeController(const HostOptions&) {
    auto rig = std::make_shared<ControllerRig>();
    rig->model = UvcControllerModel::create(UvcControllerOptions::cypress(kSerial, 17));
    Scenario scenario = streamingScenario("controller", rig, "a controller with current firmware");
    scenario.expectedOutput = {"FX3 firmware version: 17\n" + std::string(kUpToDate)};
    scenario.verify = [rig](ScenarioRun& run) {
        verifyAuthenticated(run, *rig->model);
        if (rig->model->successor()) run.fail("the controller was updated although its firmware is current");
    };
    return scenario;
}

Scenario makeControllerUpdate(const HostOptions& options) {
    // What the controller must receive: app2.img (the image for firmware 13
    // and later) personalised with its serial, zero-padded to whole blocks.
    const std::string path = options.firmwareFolder + "/app2.img";
    const auto image = ReadFile(path);
    if (!image) throw std::runtime_error("cannot read the controller image " + path);
    std::string why;
    auto expected = PersonalisedImage(*image, kSerial, why);
    if (!expected) throw std::runtime_error(path + ": " + why);
    expected->resize((expected->size() + kUpdateBlock - 1) / kUpdateBlock * kUpdateBlock, 0);

    auto rig = std::make_shared<ControllerRig>();
    rig->model = UvcControllerModel::create(UvcControllerOptions::cypress(kSerial, 16));
    rig->expectedImage = std::move(*expected);
    Scenario scenario = streamingScenario("controller-update", rig, "a controller with firmware 16");
    // One control request per 16-bit word of the image.
    scenario.timeLimit = 300s;
    scenario.expectedOutput = {"FX3 firmware version: 16\n", "FX3 firmware version: 17\n" + std::string(kUpToDate)};
    scenario.verify = [rig](ScenarioRun& run) {
        const auto& first = *rig->model;
        if (!first.updateFinished()) run.fail("the controller's firmware was not updated");
        if (first.receivedImage() != *rig->expectedImage)
            run.fail("the controller received " + std::to_string(first.receivedImage().size()) +
                     " bytes that are not the personalised app2.img padded to " + std::to_string(kUpdateBlock) +
                     "-byte blocks (" + std::to_string(rig->expectedImage->size()) + " bytes)");
        const auto updated = first.successor();
        if (!updated) {
            run.fail("the controller did not come back after the update");
            return;
        }
        if (updated->firmwareVersion() != 17)
            run.fail("the controller came back with firmware " + std::to_string(updated->firmwareVersion()));
        verifyAuthenticated(run, *updated);
        run.note("the controller runs the personalised firmware 17 and streams");
    };
    return scenario;
}

Scenario makeEmbedded(const HostOptions&) {
    auto rig = std::make_shared<ControllerRig>();
    rig->model = UvcControllerModel::create(UvcControllerOptions::embedded(0x05A9, 0xF580, 718));
    Scenario scenario = streamingScenario("embedded", rig, "an embedded controller with firmware 7.18");
    scenario.expectedOutput = {"Zindo Firmware v718\n"};
    scenario.verify = [rig](ScenarioRun& run) { verifyAuthenticated(run, *rig->model); };
    return scenario;
}

}  // namespace

void AddControllerScenarios(ScenarioCatalog& catalog) {
    catalog.add(
        {"controller", "a controller with current firmware is authenticated, calibrated and streams", makeController});
    catalog.add({"controller-update", "a controller with firmware 16 is updated in place, taken again and streams",
                 makeControllerUpdate});
    catalog.add({"embedded", "an embedded controller is authenticated and streams", makeEmbedded});
}

}  // namespace tyvo::sim::host
