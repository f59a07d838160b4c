// The scenario "devices": the devices named on the host's command line are
// on the bus before the program starts, and stay there. Made for programs
// that look at the bus and end (tyvo-reset --list); nothing is checked but
// that the program ends, and its exit status is passed on.

#include "sim/Fx3Chip.h"
#include "sim/controller/UvcControllerModel.h"
#include "sim/host/Scenario.h"

#include <stdexcept>
#include <string>

namespace tyvo::sim::host {
namespace {

// "boot-loader", "boot-programmer", "controller", "embedded"; the two FX3
// modes take "=SERIAL" for a serial-number string (the ROM has none).
std::shared_ptr<UsbDeviceModel> makeDevice(const std::string& spec) {
    const auto equals = spec.find('=');
    const std::string kind = spec.substr(0, equals);
    const std::string serial = equals == std::string::npos ? "" : spec.substr(equals + 1);
    if (kind == "boot-loader" || kind == "boot-programmer") {
        Fx3Options options;
        options.serialNumber.assign(serial.begin(), serial.end());
        auto chip = Fx3Chip::create(options);
        auto model = chip->powerUp();
        if (kind == "boot-loader") return model;
        // A boot programmer already running: its signature in RAM and the
        // jump, with nothing on the bus to re-enumerate.
        const std::string signature = kBootProgrammerSignature;
        chip->writeMemory(Fx3Chip::kSystemRamBase, Bytes(signature.begin(), signature.end()));
        return chip->jump(Fx3Chip::kSystemRamBase, nullptr);
    }
    if (!serial.empty()) throw std::runtime_error("device \"" + spec + "\": only the FX3 modes take a serial");
    if (kind == "controller") return UvcControllerModel::create(UvcControllerOptions::cypress());
    if (kind == "embedded") return UvcControllerModel::create(UvcControllerOptions::embedded());
    throw std::runtime_error("unknown device \"" + spec +
                             "\" (expected boot-loader, boot-programmer, controller or embedded)");
}

Scenario makeDevices(const HostOptions& options) {
    std::vector<std::shared_ptr<UsbDeviceModel>> models;
    for (const auto& spec : options.devices) models.push_back(makeDevice(spec));
    Scenario scenario;
    scenario.name = "devices";
    scenario.timeLimit = std::chrono::seconds(60);
    scenario.anyExitStatus = true;
    scenario.setUp = [models](ScenarioRun& run) {
        for (const auto& model : models) run.note("plugged in " + model->name() + " at " + run.bus().plug(model));
    };
    return scenario;
}

}  // namespace

void AddDeviceScenarios(ScenarioCatalog& catalog) {
    catalog.add({"devices", "the devices given by --devices are on the bus from the start (for --list)", makeDevices});
}

}  // namespace tyvo::sim::host
