#include "camera/frames/FrameKernels.h"

#if defined(__SSE2__)

#include <emmintrin.h>

namespace {

inline __m128i load(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The tails shorter than a vector go to the portable kernels.

// The 5-tap pass on 16 lanes; _mm_avg_epu8 is exactly (a + b + 1) >> 1.
inline __m128i binomial5x16(__m128i m2, __m128i m1, __m128i c, __m128i p1, __m128i p2) {
    const __m128i outer = _mm_avg_epu8(m2, p2);
    const __m128i centre = _mm_avg_epu8(c, _mm_avg_epu8(c, outer));
    return _mm_avg_epu8(centre, _mm_avg_epu8(m1, p1));
}

void deinterleaveSse2(const std::uint8_t* src, std::uint8_t* even, std::uint8_t* odd, std::size_t n) {
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    auto split = [lowBytes](__m128i a, __m128i b, __m128i& e, __m128i& o) {
        e = _mm_packus_epi16(_mm_and_si128(a, lowBytes), _mm_and_si128(b, lowBytes));
        o = _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8));
    };
    std::size_t i = 0;
    // Two vectors of each output per round keep both load ports busy.
    for (; i + 32 <= n; i += 32) {
        __m128i e0, o0, e1, o1;
        split(load(src + 2 * i), load(src + 2 * i + 16), e0, o0);
        split(load(src + 2 * i + 32), load(src + 2 * i + 48), e1, o1);
        store(even + i, e0);
        store(even + i + 16, e1);
        store(odd + i, o0);
        store(odd + i + 16, o1);
    }
    for (; i + 16 <= n; i += 16) {
        __m128i e, o;
        split(load(src + 2 * i), load(src + 2 * i + 16), e, o);
        store(even + i, e);
        store(odd + i, o);
    }
    portableFrameKernels().deinterleave(src + 2 * i, even + i, odd + i, n - i);
}

std::uint8_t maxByteSse2(const std::uint8_t* data, std::size_t n) {
    __m128i top0 = _mm_setzero_si128();
    __m128i top1 = _mm_setzero_si128();
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        top0 = _mm_max_epu8(top0, load(data + i));
        top1 = _mm_max_epu8(top1, load(data + i + 16));
    }
    __m128i top = _mm_max_epu8(top0, top1);
    top = _mm_max_epu8(top, _mm_srli_si128(top, 8));
    top = _mm_max_epu8(top, _mm_srli_si128(top, 4));
    top = _mm_max_epu8(top, _mm_srli_si128(top, 2));
    top = _mm_max_epu8(top, _mm_srli_si128(top, 1));
    const auto vectorTop = static_cast<std::uint8_t>(_mm_cvtsi128_si32(top) & 0xFF);
    const std::uint8_t tailTop = portableFrameKernels().maxByte(data + i, n - i);
    return vectorTop > tailTop ? vectorTop : tailTop;
}

void smoothColumnSse2(const std::uint8_t* const rows[5], std::uint8_t* out, std::size_t n) {
    std::size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        store(out + x, binomial5x16(load(rows[0] + x), load(rows[1] + x), load(rows[2] + x), load(rows[3] + x),
                                    load(rows[4] + x)));
    }
    const std::uint8_t* const tail[5] = {rows[0] + x, rows[1] + x, rows[2] + x, rows[3] + x, rows[4] + x};
    portableFrameKernels().smoothColumn(tail, out + x, n - x);
}

void smoothRowSse2(const std::uint8_t* in, std::uint8_t* out, std::size_t n, std::uint8_t offset) {
    const __m128i dark = _mm_set1_epi8(static_cast<char>(offset));
    std::size_t x = 0;
    for (; x + 16 <= n; x += 16) {
        const std::uint8_t* p = in + x;
        const __m128i v = binomial5x16(load(p - 2), load(p - 1), load(p), load(p + 1), load(p + 2));
        store(out + x, _mm_subs_epu8(v, dark));
    }
    portableFrameKernels().smoothRow(in + x, out + x, n - x, offset);
}

}  // namespace

const FrameKernels* simdFrameKernels() {
    static const FrameKernels kernels{"sse2", deinterleaveSse2, maxByteSse2, smoothColumnSse2, smoothRowSse2};
    return &kernels;
}

#else

const FrameKernels* simdFrameKernels() { return nullptr; }

#endif
