#include "camera/frames/FrameKernels.h"

#if defined(__x86_64__) && defined(__GNUC__)

#include <immintrin.h>

namespace {

// The split with AVX-512 VBMI: one two-source byte permute gathers 64 even
// (or odd) bytes out of 128 bytes of the frame, where SSE2 needs a mask or
// shift and a pack per 16 bytes. The split is bound by memory traffic more
// than by instructions, but a quarter of the instructions still shows.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void deinterleaveVbmi(const std::uint8_t* src,
                                                                             std::uint8_t* even, std::uint8_t* odd,
                                                                             std::size_t n) {
    alignas(64) std::uint8_t evenIndex[64];
    alignas(64) std::uint8_t oddIndex[64];
    for (int k = 0; k < 64; ++k) {
        evenIndex[k] = static_cast<std::uint8_t>(2 * k);
        oddIndex[k] = static_cast<std::uint8_t>(2 * k + 1);
    }
    const __m512i evens = _mm512_load_si512(evenIndex);
    const __m512i odds = _mm512_load_si512(oddIndex);
    std::size_t i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512i low = _mm512_loadu_si512(src + 2 * i);
        const __m512i high = _mm512_loadu_si512(src + 2 * i + 64);
        _mm512_storeu_si512(even + i, _mm512_permutex2var_epi8(low, evens, high));
        _mm512_storeu_si512(odd + i, _mm512_permutex2var_epi8(low, odds, high));
    }
    // The tail, shorter than a vector, goes to the kernel below.
    simdFrameKernels()->deinterleave(src + 2 * i, even + i, odd + i, n - i);
}

}  // namespace

FrameKernels::Deinterleave wideDeinterleave() {
    // libgcc's check covers the operating system's support for the vector
    // state as well as the processor's.
    static const bool supported =
        __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vbmi");
    return supported ? deinterleaveVbmi : nullptr;
}

#else

FrameKernels::Deinterleave wideDeinterleave() { return nullptr; }

#endif
