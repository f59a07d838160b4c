#pragma once

#include <array>
#include <cstddef>

// The optical model of one camera of a controller, as the calibration record
// stores it: 23 floats per camera. The first 17 travel in the device's
// calibration block; the six inverse radial coefficients are fitted when a
// record is built (camera/InverseRadialFit.h).
using CameraParameters = std::array<float, 23>;

// A 3 x 3 matrix stored row by row.
using Matrix3 = std::array<float, 9>;

// Indices into CameraParameters. Pixel coordinates are relative to the image
// centre; "normalised" coordinates are pixel offsets divided by the focal
// length.
struct LensParam {
    static constexpr std::size_t Focal = 0;    // f of the raw camera, pixels
    static constexpr std::size_t CentreX = 1;  // cx of the raw camera
    static constexpr std::size_t CentreY = 2;  // cy of the raw camera
    static constexpr std::size_t P1 = 3;       // tangential distortion
    static constexpr std::size_t P2 = 4;
    static constexpr std::size_t K1 = 5;  // radial numerator k1..k3
    static constexpr std::size_t K2 = 6;
    static constexpr std::size_t K3 = 7;
    static constexpr std::size_t K4 = 8;  // radial denominator k4..k6
    static constexpr std::size_t K5 = 9;
    static constexpr std::size_t K6 = 10;
    static constexpr std::size_t RectifiedFocal = 11;    // t
    static constexpr std::size_t RectifiedCentreX = 12;  // u0
    static constexpr std::size_t RectifiedCentreY = 13;  // v0
    static constexpr std::size_t RotationA = 14;
    static constexpr std::size_t RotationB = 15;
    static constexpr std::size_t RotationC = 16;
    static constexpr std::size_t J1 = 17;  // inverse numerator j1..j3
    static constexpr std::size_t J4 = 20;  // inverse denominator j4..j6

    static constexpr std::size_t Stored = 17;  // parameters carried in a block
    static constexpr std::size_t Count = 23;
};

// The formulas below are written once for any arithmetic type V: float for
// single points (project) and float vectors for the lookup maps, so the maps
// and the projection can never disagree. Coefficients are floats, broadcast
// across the lanes, read from any indexable P (parameters) and M (matrix):
// usually CameraParameters and Matrix3.
template <class V>
struct LensPoint {
    V x;
    V y;
};

// (m0 x + m1 y + m2, m3 x + m4 y + m5) / (m6 x + m7 y + m8).
template <class V, class M>
inline LensPoint<V> applyHomography(const M& m, V x, V y) {
    const V w = 1.0f / (m[6] * x + m[7] * y + m[8]);
    return {(m[0] * x + m[1] * y + m[2]) * w, (m[3] * x + m[4] * y + m[5]) * w};
}

// (1 + a r + b r^2 + c r^3) / (1 + d r + e r^2 + g r^3), coefficients taken
// from p starting at the numerator index and the denominator index.
template <class V, class P>
inline V radialRatio(const P& p, std::size_t numerator, std::size_t denominator, V r) {
    const V num = 1.0f + r * (p[numerator] + r * (p[numerator + 1] + r * p[numerator + 2]));
    const V den = 1.0f + r * (p[denominator] + r * (p[denominator + 1] + r * p[denominator + 2]));
    return num / den;
}

// Raw-to-ideal: a normalised raw point through the radial and tangential
// distortion to the normalised ideal point (x', y').
template <class V, class P>
inline LensPoint<V> rawToIdeal(const P& p, V x, V y) {
    const V r2 = x * x + y * y;
    const V l = radialRatio(p, LensParam::K1, LensParam::K4, r2);
    const V xy2 = 2.0f * x * y;
    return {l * x + p[LensParam::P1] * xy2 + p[LensParam::P2] * (r2 + 2.0f * x * x),
            l * y + p[LensParam::P1] * (r2 + 2.0f * y * y) + p[LensParam::P2] * xy2};
}

// The lens model: a raw pixel (centred) to the rectified pixel (centred)
// through the raw-to-rectified matrix (block 1 of the record).
template <class V, class P, class M>
inline LensPoint<V> rawPixelToRectified(const P& p, const M& rawToRectified, V column, V row) {
    const float inverseFocal = 1.0f / p[LensParam::Focal];
    const LensPoint<V> ideal =
        rawToIdeal(p, (column - p[LensParam::CentreX]) * inverseFocal, (row - p[LensParam::CentreY]) * inverseFocal);
    return applyHomography(rawToRectified, ideal.x, ideal.y);
}

// Ideal-to-raw: a normalised ideal point (h, v) back to the raw pixel
// (centred), through the fitted inverse radial factor and a first-order
// removal of the tangential term.
template <class V, class P>
inline LensPoint<V> idealToRawPixel(const P& p, LensPoint<V> ideal) {
    const V rho = ideal.x * ideal.x + ideal.y * ideal.y;
    const V l = radialRatio(p, LensParam::J1, LensParam::J4, rho);
    const V h = l * ideal.x;
    const V v = l * ideal.y;
    const V m = h * h + v * v;
    const V hv2 = 2.0f * h * v;
    const float p1 = p[LensParam::P1];
    const float p2 = p[LensParam::P2];
    const float f = p[LensParam::Focal];
    return {(h - ((2.0f * h * h + m) * p2 + hv2 * p1) * l) * f + p[LensParam::CentreX],
            (v - ((2.0f * v * v + m) * p1 + hv2 * p2) * l) * f + p[LensParam::CentreY]};
}

// A point through a matrix to normalised raw coordinates, then to the raw
// pixel: the projection used by `project` (block 2) and by the
// rectified-to-raw maps (block 3).
template <class V, class P, class M>
inline LensPoint<V> projectThrough(const P& p, const M& toNormalisedRaw, V x, V y) {
    return idealToRawPixel(p, applyHomography(toNormalisedRaw, x, y));
}
