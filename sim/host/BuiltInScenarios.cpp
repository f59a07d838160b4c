#include "sim/host/ControllerScenarios.h"
#include "sim/host/Scenario.h"

namespace tyvo::sim::host {

ScenarioCatalog BuiltInScenarios() {
    ScenarioCatalog catalog;
    // The first one is the default.
    AddRestoreScenarios(catalog);
    AddControllerScenarios(catalog);
    AddDeviceScenarios(catalog);
    return catalog;
}

}  // namespace tyvo::sim::host
