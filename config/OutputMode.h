#pragma once

#include <cstdint>

namespace Tyvo::OutputPeripheral {

// How the service hands tracking results to the operating system. The
// configuration only ever stores it as the default of "os_interaction_mode";
// the value is a plain 32-bit enumeration so other modes can be cast in.
enum OutputMode : int32_t {
    OutputModeDefault = 0,
};

}  // namespace Tyvo::OutputPeripheral
