#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "camera/frames/FrameKernels.h"
#include "tests/camera/frames/FrameTestSupport.h"

namespace {

// The frame sizes the controllers deliver (width, camera image height), and
// widths that leave a tail shorter than a vector.
const std::pair<int, int> kSizes[] = {{640, 480}, {640, 240}, {640, 120}, {320, 240}, {320, 120}, {37, 9}, {641, 13}};

class FrameKernelPaths : public ::testing::Test {
protected:
    void SetUp() override {
        if (!simdFrameKernels()) GTEST_SKIP() << "no SIMD kernels in this build";
    }
    const FrameKernels& simd = *simdFrameKernels();
    const FrameKernels& portable = portableFrameKernels();
};

// The filter written out from its definition, the edge pixel standing in
// beyond the left and right edges: an independent reference.
std::vector<std::uint8_t> referenceSmooth(const std::vector<std::uint8_t>& src, int w, int h, int offset) {
    auto avg = [](int a, int b) { return (a + b + 1) / 2; };
    auto tap = [&](int m2, int m1, int c, int p1, int p2) { return avg(avg(c, avg(c, avg(m2, p2))), avg(m1, p1)); };
    std::vector<int> v(src.size());
    std::vector<std::uint8_t> out(src.size(), 0);
    for (int y = 2; y < h - 2; ++y)
        for (int x = 0; x < w; ++x)
            v[y * w + x] = tap(src[(y - 2) * w + x], src[(y - 1) * w + x], src[y * w + x], src[(y + 1) * w + x],
                               src[(y + 2) * w + x]);
    for (int y = 2; y < h - 2; ++y)
        for (int x = 0; x < w; ++x) {
            auto at = [&](int dx) { return v[y * w + std::clamp(x + dx, 0, w - 1)]; };
            out[y * w + x] = static_cast<std::uint8_t>(std::max(0, tap(at(-2), at(-1), at(0), at(1), at(2)) - offset));
        }
    return out;
}

}  // namespace

TEST_F(FrameKernelPaths, SplitAndDarkScanAgreeOnEverySize) {
    for (const auto& [w, h] : kSizes) {
        const std::size_t n = std::size_t(w) * h;
        const auto raw = randomBytes(2 * n, w * 1000 + h);
        std::vector<std::uint8_t> e1(n), o1(n), e2(n), o2(n);
        portable.deinterleave(raw.data(), e1.data(), o1.data(), n);
        simd.deinterleave(raw.data(), e2.data(), o2.data(), n);
        EXPECT_TRUE(e1 == e2 && o1 == o2) << w << "x" << h;
        EXPECT_TRUE(e1[n - 1] == raw[2 * n - 2] && o1[n - 1] == raw[2 * n - 1]);
        // A dim image (at most 63) with one bright byte anywhere, tail included.
        std::vector<std::uint8_t> dim(n);
        std::transform(raw.begin(), raw.begin() + n, dim.begin(), [](std::uint8_t b) { return b & 0x3F; });
        EXPECT_EQ(simd.maxByte(dim.data(), n), portable.maxByte(dim.data(), n));
        for (std::size_t at : {std::size_t{0}, std::size_t{17}, n / 3, n - 1}) {
            auto probe = dim;
            probe[at] = 200;
            EXPECT_EQ(simd.maxByte(probe.data(), n), 200) << w << "x" << h << " at " << at;
        }
    }
}

// The AVX-512 split, where the processor has it: every length up to a few
// vectors (tails of every length), a frame, and a source that starts off
// any vector boundary; the bytes beyond n are never written.
TEST(WideSplit, AgreesWithThePortableSplitOnEveryLengthAndAlignment) {
    const FrameKernels::Deinterleave wide = wideDeinterleave();
    if (!wide) GTEST_SKIP() << "this processor has no AVX-512 VBMI";
    EXPECT_EQ(bestFrameKernels().deinterleave, wide) << "the best kernels take the widest split";
    const FrameKernels& portable = portableFrameKernels();
    std::vector<std::size_t> lengths;
    for (std::size_t n = 0; n <= 300; ++n) lengths.push_back(n);
    lengths.push_back(640 * 480);
    for (const std::size_t n : lengths) {
        for (const std::size_t shift : {std::size_t{0}, std::size_t{1}, std::size_t{33}}) {
            const auto raw = randomBytes(2 * n + shift, static_cast<std::uint32_t>(n * 7 + shift));
            std::vector<std::uint8_t> e1(n + 1, 0xA5), o1(n + 1, 0xA5), e2(n + 1, 0xA5), o2(n + 1, 0xA5);
            portable.deinterleave(raw.data() + shift, e1.data(), o1.data(), n);
            wide(raw.data() + shift, e2.data(), o2.data(), n);
            ASSERT_TRUE(e1 == e2 && o1 == o2) << "n " << n << " shift " << shift;
        }
    }
}

TEST_F(FrameKernelPaths, SmoothingMatchesTheDefinitionOnEverySize) {
    std::vector<std::uint8_t> scratch;
    for (const auto& [w, h] : kSizes) {
        // An embedded raw frame: h + 1 lines of two w-byte halves; the
        // right halves are smoothed, read in place.
        const auto raw = randomBytes(std::size_t(w) * 2 * (h + 1), 99 + h);
        std::vector<std::uint8_t> right(std::size_t(w) * h);
        for (int y = 0; y < h; ++y)
            std::copy_n(raw.begin() + std::ptrdiff_t(y) * 2 * w + w, w, right.begin() + std::ptrdiff_t(y) * w);
        const auto expected = referenceSmooth(right, w, h, 30);
        for (const FrameKernels* k : {&portable, &simd}) {
            std::vector<std::uint8_t> out(right.size(), 0xEE);
            smoothImage(*k, raw.data() + w, 2 * w, w, h, out.data(), 30, scratch);
            EXPECT_EQ(out, expected) << k->name << " " << w << "x" << h;
        }
    }
}
