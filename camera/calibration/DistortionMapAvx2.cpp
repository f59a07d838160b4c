// The lookup maps eight pixels at a time. This file alone is compiled with
// AVX2 enabled; it is called only after the processor has been checked for
// AVX2 (camera/DistortionMap.cpp). Keep every function it instantiates
// private to it (see camera/MapKernels.h).

#include "camera/calibration/MapKernels.h"

#if defined(__AVX2__)

namespace {

typedef float Float8 __attribute__((vector_size(32)));

// The coefficients, held by value in types of this file only.
struct Parameters {
    float v[LensParam::Count];
    float operator[](std::size_t i) const { return v[i]; }
};
struct Matrix {
    float v[9];
    float operator[](std::size_t i) const { return v[i]; }
};

}  // namespace

bool mapkernels::fillPairAvx2(const Coefficients& coefficients, Formula formula, float* columns, float* rows, int width,
                              int height) {
    Parameters p;
    Matrix m;
    for (std::size_t i = 0; i < LensParam::Count; ++i) p.v[i] = coefficients.p[i];
    for (std::size_t i = 0; i < 9; ++i) m.v[i] = coefficients.m[i];
    fillPair<Float8, 8>(p, m, formula, columns, rows, width, height);
    return true;
}

#else

bool mapkernels::fillPairAvx2(const Coefficients&, Formula, float*, float*, int, int) { return false; }

#endif
