#include "camera/calibration/InverseRadialFit.h"

#include "camera/calibration/NelderMead.h"

namespace {

double forwardFactor(const CameraParameters& c, double rho) {
    const double num = 1.0 + c[LensParam::K1] * rho + c[LensParam::K2] * rho * rho + c[LensParam::K3] * rho * rho * rho;
    const double den = 1.0 + c[LensParam::K4] * rho + c[LensParam::K5] * rho * rho + c[LensParam::K6] * rho * rho * rho;
    return num / den;
}

}  // namespace

RadialSamples sampleRadialFactor(const CameraParameters& camera) {
    RadialSamples samples;
    double previousRadius = 0.0;
    for (std::size_t i = 0; i < RadialSamples::Capacity; ++i) {
        // q runs over cosines of the field angle from 0.99 down to 0.37, so
        // rho = 1/q^2 - 1 is tan^2 of the angle: dense near the axis,
        // sparse at the rim.
        const double q = 0.02 * static_cast<double>(i) - 0.99;
        const double rho = 1.0 / (q * q) - 1.0;
        const double factor = forwardFactor(camera, rho);
        const double radius = factor * factor * rho;
        // Written as "not (good)" so that a factor or radius that is not a
        // number (coefficients from a damaged block) also ends the samples.
        if (!(factor >= 0.0)) break;
        if (i > 0 && !(radius >= previousRadius)) break;
        samples.factor[i] = factor;
        samples.radius[i] = radius;
        samples.count = i + 1;
        previousRadius = radius;
    }
    return samples;
}

double inverseFitError(const RadialSamples& samples, const std::array<double, 6>& r) {
    double sum = 0.0;
    for (std::size_t i = 0; i + 1 < samples.count; i += 2) {
        for (std::size_t k = i; k < i + 2; ++k) {
            const double x = samples.radius[k];
            const double den = 1.0 + r[0] * x + r[1] * x * x + r[2] * x * x * x;
            const double num = 1.0 + (r[0] + r[3]) * x + (r[1] + r[4]) * x * x + (r[2] + r[5]) * x * x * x;
            const double d = num / den - samples.factor[k];
            sum += x * d * d;
        }
    }
    return sum;
}

void fitInverseRadial(CameraParameters& camera) {
    const RadialSamples samples = sampleRadialFactor(camera);
    // Start from G = the forward factor itself: exact at the axis and a fair
    // first guess for a mild lens.
    const std::array<double, 6> start{
        camera[LensParam::K4],
        camera[LensParam::K5],
        camera[LensParam::K6],
        static_cast<double>(camera[LensParam::K1]) - camera[LensParam::K4],
        static_cast<double>(camera[LensParam::K2]) - camera[LensParam::K5],
        static_cast<double>(camera[LensParam::K3]) - camera[LensParam::K6],
    };
    const auto fit = minimiseNelderMead<6>(
        [&samples](const std::array<double, 6>& r) { return inverseFitError(samples, r); }, start);
    const auto& r = fit.point;
    for (std::size_t k = 0; k < 3; ++k) {
        camera[LensParam::J1 + k] = static_cast<float>(r[k]);
        camera[LensParam::J4 + k] = static_cast<float>(r[k] + r[k + 3]);
    }
}
