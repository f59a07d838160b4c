#pragma once

#include <array>
#include <cstddef>

#include "camera/calibration/LensModel.h"

// The lens model carries its radial distortion as a ratio of two cubics in
// r^2 for the raw-to-ideal direction. Projecting ideal points back to raw
// pixels needs the opposite direction; there is no closed form, so a second
// ratio of cubics (the inverse coefficients j1..j6) is fitted to samples of
// the forward model whenever a record is built.

// Samples of the forward radial factor along increasing field angle. Only
// the samples up to the first one where the factor turns negative or the
// ideal radius stops growing are kept: beyond that the model no longer
// describes the lens.
struct RadialSamples {
    static constexpr std::size_t Capacity = 32;
    std::array<double, Capacity> factor{};
    std::array<double, Capacity> radius{};  // ideal r^2 = factor^2 x raw r^2
    std::size_t count = 0;
};

RadialSamples sampleRadialFactor(const CameraParameters& camera);

// The fitting error of the candidate r0..r5 over the samples: the sum of
// radius x (G(radius) - factor)^2, taken over the samples two at a time (an
// odd last sample is left out; fewer than two give 0).
double inverseFitError(const RadialSamples& samples, const std::array<double, 6>& r);

// Fits j1..j6 for the camera's k1..k6 and stores them at J1..J6 (indices 17
// to 22). The inverse factor (1 + j1 p + j2 p^2 + j3 p^3) /
// (1 + j4 p + j5 p^2 + j6 p^3) then approximates 1 / (forward factor) as a
// function of the ideal radius p.
void fitInverseRadial(CameraParameters& camera);
