#pragma once

// The loop that fills one pair of lookup maps, shared by the generic build
// (4 float lanes) and the AVX2 build (8 lanes, camera/DistortionMapAvx2.cpp).
// Only for those two files.
//
// Every instantiation must involve a type private to the including file
// (its lane vector, its coefficient view): the AVX2 file is compiled for
// AVX2, and an inline function it shared with the rest of the program could
// end up as the one copy the linker keeps, and then run on a machine without
// AVX2.

#include <cstddef>

#include "camera/calibration/LensModel.h"

namespace mapkernels {

// A copy of a camera's parameters and one of its matrices in plain arrays.
struct Coefficients {
    float p[LensParam::Count];
    float m[9];
};

// Which formula a map pair evaluates for a centred pixel (x, y).
enum class Formula { RectifiedToRaw, RawToRectified };

// Fills width x height floats of columns and rows, Lanes pixels at a time
// with the lane vector V, the rest one by one. P and M index the
// coefficients; they are taken by value and the outputs are declared
// unaliased, so that the compiler keeps the coefficients in registers
// instead of reloading them after every store.
template <class V, int Lanes, class P, class M>
void fillPair(const P p, const M m, Formula formula, float* __restrict columns, float* __restrict rows, int width,
              int height) {
    const float halfW = static_cast<float>(width / 2);
    const float halfH = static_cast<float>(height / 2);
    V lane{};
    for (int k = 0; k < Lanes; ++k) lane[k] = static_cast<float>(k);
    auto at = [&](auto x, auto y) {
        return formula == Formula::RectifiedToRaw ? projectThrough(p, m, x, y) : rawPixelToRectified(p, m, x, y);
    };
    for (int r = 0; r < height; ++r) {
        const float y = static_cast<float>(r - height / 2);
        float* outColumn = columns + static_cast<std::ptrdiff_t>(r) * width;
        float* outRow = rows + static_cast<std::ptrdiff_t>(r) * width;
        const V yv = V{} + y;
        int c = 0;
        for (; c + Lanes <= width; c += Lanes) {
            const V x = static_cast<float>(c - width / 2) + lane;
            const LensPoint<V> q = at(x, yv);
            const V qc = q.x + halfW;
            const V qr = q.y + halfH;
            for (int k = 0; k < Lanes; ++k) {
                outColumn[c + k] = qc[k];
                outRow[c + k] = qr[k];
            }
        }
        for (; c < width; ++c) {
            const LensPoint<float> q = at(static_cast<float>(c - width / 2), y);
            outColumn[c] = q.x + halfW;
            outRow[c] = q.y + halfH;
        }
    }
}

// The AVX2 build of fillPair, from camera/DistortionMapAvx2.cpp; false when
// this build has none.
bool fillPairAvx2(const Coefficients& coefficients, Formula formula, float* columns, float* rows, int width,
                  int height);

}  // namespace mapkernels
