#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The byte kernels of frame processing. Each exists as a portable version and,
// on x86-64, as an SSE2 version that handles 16 bytes at a time (the split
// also as an AVX-512 one, for processors that have it); all give the same
// bytes for the same input, so the version can be chosen at run time (tests
// run each and compare).
struct FrameKernels {
    const char* name;

    using Deinterleave = void (*)(const std::uint8_t* src, std::uint8_t* even, std::uint8_t* odd, std::size_t n);

    // Byte 2i of src goes to even[i] and byte 2i + 1 to odd[i], for i < n.
    Deinterleave deinterleave;

    // The largest of n bytes (0 for n = 0).
    std::uint8_t (*maxByte)(const std::uint8_t* data, std::size_t n);

    // The vertical 5-tap pass: out[x] from rows[0..4][x], the rows above and
    // below the centre row rows[2].
    void (*smoothColumn)(const std::uint8_t* const rows[5], std::uint8_t* out, std::size_t n);

    // The horizontal 5-tap pass followed by the dark offset: out[x] from
    // in[x - 2] .. in[x + 2], minus offset, saturating at 0. in must be
    // readable from in - 2 to in + n + 1.
    void (*smoothRow)(const std::uint8_t* in, std::uint8_t* out, std::size_t n, std::uint8_t offset);
};

// Each pass computes avg(avg(c, avg(c, avg(p-2, p+2))), avg(p-1, p+1)) with
// avg(a, b) = (a + b + 1) / 2: a binomial 1-4-6-4-1 filter with the rounding
// of the SIMD byte average.
inline std::uint8_t roundingAverage(unsigned a, unsigned b) { return static_cast<std::uint8_t>((a + b + 1) >> 1); }
inline std::uint8_t binomial5(unsigned m2, unsigned m1, unsigned c, unsigned p1, unsigned p2) {
    return roundingAverage(roundingAverage(c, roundingAverage(c, roundingAverage(m2, p2))), roundingAverage(m1, p1));
}

enum class FrameKernelPath { Portable, Simd };

const FrameKernels& portableFrameKernels();
// The SIMD kernels, or null when this build has none.
const FrameKernels* simdFrameKernels();
// The split of the widest vectors this processor has (AVX-512 VBMI), or
// null; the best kernels use it when there is one. The tail shorter than
// its vector goes to the SIMD kernels, so it exists only where they do.
FrameKernels::Deinterleave wideDeinterleave();
// The fastest kernels this build has.
const FrameKernels& bestFrameKernels();
// The kernels of a path; the portable ones when the SIMD ones are missing.
const FrameKernels& frameKernels(FrameKernelPath path);

// Smooths a width x height image into dst (rows of width bytes) and takes
// the dark offset off every written byte. Source row y starts at
// src + y * srcStride; a negative stride walks the source bottom up. Rows 2
// to height - 3 are smoothed; the two rows at the top and bottom have no
// full neighbourhood and are set to 0 (the value the offset leaves on any
// image as dark as the offset). At the left and right edges the edge pixel
// stands in for the missing neighbours. scratch is reused between calls.
void smoothImage(const FrameKernels& kernels, const std::uint8_t* src, std::ptrdiff_t srcStride, int width, int height,
                 std::uint8_t* dst, std::uint8_t offset, std::vector<std::uint8_t>& scratch);
