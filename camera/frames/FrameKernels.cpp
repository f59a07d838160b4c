#include "camera/frames/FrameKernels.h"

#include <cstring>

const FrameKernels& bestFrameKernels() {
    static const FrameKernels best = [] {
        const FrameKernels* simd = simdFrameKernels();
        FrameKernels kernels = simd ? *simd : portableFrameKernels();
        if (simd) {
            if (const FrameKernels::Deinterleave wide = wideDeinterleave()) {
                kernels.name = "sse2, avx512vbmi split";
                kernels.deinterleave = wide;
            }
        }
        return kernels;
    }();
    return best;
}

const FrameKernels& frameKernels(FrameKernelPath path) {
    return path == FrameKernelPath::Simd ? bestFrameKernels() : portableFrameKernels();
}

void smoothImage(const FrameKernels& kernels, const std::uint8_t* src, std::ptrdiff_t srcStride, int width, int height,
                 std::uint8_t* dst, std::uint8_t offset, std::vector<std::uint8_t>& scratch) {
    if (width <= 0 || height <= 0) return;
    const std::size_t w = static_cast<std::size_t>(width);
    // The vertical pass of one row lands here, between two bytes of edge
    // replication on each side, for the horizontal pass to read.
    scratch.resize(w + 4);
    std::uint8_t* padded = scratch.data() + 2;
    auto sourceRow = [src, srcStride](int y) { return src + static_cast<std::ptrdiff_t>(y) * srcStride; };

    for (int y = 0; y < height; ++y) {
        std::uint8_t* out = dst + static_cast<std::size_t>(y) * w;
        if (y < 2 || y > height - 3) {
            std::memset(out, 0, w);
            continue;
        }
        const std::uint8_t* const rows[5] = {sourceRow(y - 2), sourceRow(y - 1), sourceRow(y), sourceRow(y + 1),
                                             sourceRow(y + 2)};
        kernels.smoothColumn(rows, padded, w);
        padded[-2] = padded[-1] = padded[0];
        padded[w] = padded[w + 1] = padded[w - 1];
        kernels.smoothRow(padded, out, w, offset);
    }
}
