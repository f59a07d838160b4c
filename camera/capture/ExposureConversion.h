#pragma once

// Capture control 1 (exposure) takes its value in units of 100 µs, while the
// camera control that carries it on the original platform counts in base-2
// logarithms of seconds, rounded. Both directions are kept exactly, so that a
// controller receives the same values on every platform.

// 100 µs units -> log2 seconds: trunc(ln(0.8192 x) x 1.44269 + 0.5) - 13, and
// -13 for x = 0. A negative x is taken as 0 (no logarithm exists for it).
int exposureToLog2Seconds(int units100us);

// log2 seconds -> 100 µs units: trunc(2^(v + 13) x 1.2207 + 0.5), the power
// taken as an integer shift by (v + 13) modulo 32 (so v = 18 shifts into the
// sign bit). Results beyond the int range are clamped to it.
int exposureFromLog2Seconds(int log2Seconds);

// The 100 µs value a UVC camera receives (and reports back) for x: the
// original platform's camera driver turned the log2-seconds value into the
// UVC exposure time, 10000 x 2^v in 100 µs units, which is exactly the
// read-back conversion above. So exposure moves in powers of two of a second.
int exposureThroughLog2Seconds(int units100us);
