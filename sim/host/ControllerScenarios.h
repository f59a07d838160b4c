#pragma once
// The family of controllers in normal operation: a working controller is
// plugged in after the dialogue and the tool takes it as a camera. The tool
// never ends by itself then; the host ends it once it has seen what the
// scenario is about (the controller streaming to the tool), and its own exit
// status tells whether the expectations held.

#include "sim/host/Scenario.h"

namespace tyvo::sim::host {

// How many frames the controller must have served the tool before the
// host ends a scenario of this family.
inline constexpr uint64_t kObservedFrames = 50;

void AddControllerScenarios(ScenarioCatalog& catalog);

}  // namespace tyvo::sim::host
