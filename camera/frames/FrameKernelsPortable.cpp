#include "camera/frames/FrameKernels.h"

namespace {

void deinterleavePortable(const std::uint8_t* src, std::uint8_t* even, std::uint8_t* odd, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        even[i] = src[2 * i];
        odd[i] = src[2 * i + 1];
    }
}

std::uint8_t maxBytePortable(const std::uint8_t* data, std::size_t n) {
    std::uint8_t top = 0;
    for (std::size_t i = 0; i < n; ++i) top = data[i] > top ? data[i] : top;
    return top;
}

void smoothColumnPortable(const std::uint8_t* const rows[5], std::uint8_t* out, std::size_t n) {
    for (std::size_t x = 0; x < n; ++x) {
        out[x] = binomial5(rows[0][x], rows[1][x], rows[2][x], rows[3][x], rows[4][x]);
    }
}

void smoothRowPortable(const std::uint8_t* in, std::uint8_t* out, std::size_t n, std::uint8_t offset) {
    for (std::size_t x = 0; x < n; ++x) {
        const std::uint8_t v = binomial5(in[x - 2], in[x - 1], in[x], in[x + 1], in[x + 2]);
        out[x] = static_cast<std::uint8_t>(v > offset ? v - offset : 0);
    }
}

}  // namespace

const FrameKernels& portableFrameKernels() {
    static const FrameKernels kernels{"portable", deinterleavePortable, maxBytePortable, smoothColumnPortable,
                                      smoothRowPortable};
    return kernels;
}
