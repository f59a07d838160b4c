#include "camera/capture/ExposureConversion.h"

#include <climits>
#include <cmath>
#include <cstdint>

int exposureToLog2Seconds(int units100us) {
    if (units100us <= 0) return -13;
    // Truncation of x + 0.5, not lround: the two differ below -0.5, and the
    // camera's firmware counts its steps this way.
    // NOLINTNEXTLINE(bugprone-incorrect-roundings)
    return static_cast<int>(std::log(0.8192 * units100us) * 1.44269 + 0.5) - 13;
}

int exposureFromLog2Seconds(int log2Seconds) {
    const unsigned shift = static_cast<unsigned>(log2Seconds + 13) & 31u;
    // A signed power, as the shift of a signed 1 gives it.
    const auto power = static_cast<std::int32_t>(std::uint32_t{1} << shift);
    const double value = std::trunc(static_cast<double>(power) * 1.2207 + 0.5);
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

int exposureThroughLog2Seconds(int units100us) { return exposureFromLog2Seconds(exposureToLog2Seconds(units100us)); }
