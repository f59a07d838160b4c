#pragma once

#include <string>

// `tyvo-reset --simulate[=SCENARIO]` runs the same binary again as the child
// of the emulation host tyvo-sim (installed beside it), which builds the
// emulated devices of the scenario underneath. The tool itself never links
// the emulation. Returns only when tyvo-sim could not be started, with the
// exit status to use; `self` is this executable, `args` the remaining
// arguments without the --simulate option.
int RunUnderEmulation(const std::string& scenario, int argc, char* argv[]);
