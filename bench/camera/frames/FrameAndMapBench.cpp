// Hot paths of calibration and frame records against their limit or the best
// peer, measured in the same run:
// - the Cypress byte split of a 640 x 480 stereo frame against memcpy of the
//   same bytes (nothing can move them faster);
// - the embedded controller's smoothing of two 640 x 480 images against
//   OpenCV's 5 x 5 Gaussian blur (the same 1-4-6-4-1 kernel) on the same
//   images;
// - the lookup maps against OpenCV's initUndistortRectifyMap with the
//   rational lens model;
// - the inverse radial fit, per calibration.

#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

#include "bench/support/RatioReporter.h"
#include "camera/calibration/Calibration.h"
#include "camera/calibration/DistortionMap.h"
#include "camera/calibration/InverseRadialFit.h"
#include "camera/frames/CypressFrame.h"
#include "camera/frames/FrameKernels.h"
#include "context/EventReceiverProxy.h"

#if defined(HAVE_OPENCV)
#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>
#endif

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;

std::vector<std::uint8_t> noise(std::size_t n) {
    std::mt19937 rng(1234);
    std::vector<std::uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng() >> 24);
    return bytes;
}

// A wide-angle lens of the kind the controllers carry.
CameraParameters lens() {
    CameraParameters c{};
    c[LensParam::Focal] = 220.0f;
    c[LensParam::CentreX] = 4.0f;
    c[LensParam::CentreY] = -3.0f;
    c[LensParam::P1] = 0.001f;
    c[LensParam::P2] = -0.0007f;
    c[LensParam::K1] = 0.2f;
    c[LensParam::K2] = 0.05f;
    c[LensParam::K4] = 0.05f;
    c[LensParam::RectifiedFocal] = 180.0f;
    c[LensParam::RectifiedCentreX] = -1.5f;
    c[LensParam::RectifiedCentreY] = 0.5f;
    c[LensParam::RotationA] = -0.015f;
    c[LensParam::RotationB] = 0.01f;
    c[LensParam::RotationC] = -0.008f;
    fitInverseRadial(c);
    return c;
}

const Calibration& calibration() {
    static const Calibration c(1, 0, 0.04f, 1.5f, lens(), lens());
    return c;
}

// --- Cypress split --------------------------------------------------------

void BM_CypressSplit(benchmark::State& state, const FrameKernels* kernels) {
    const std::size_t pixels = std::size_t(kWidth) * kHeight;
    const auto raw = noise(2 * pixels);
    std::vector<std::uint8_t> even(pixels), odd(pixels);
    for (auto _ : state) {
        kernels->deinterleave(raw.data(), even.data(), odd.data(), pixels);
        benchmark::DoNotOptimize(even.data());
        benchmark::DoNotOptimize(odd.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(2 * pixels));
}

void BM_Memcpy(benchmark::State& state) {
    const std::size_t bytes = std::size_t(kWidth) * kHeight * 2;
    const auto raw = noise(bytes);
    std::vector<std::uint8_t> copy(bytes);
    for (auto _ : state) {
        std::memcpy(copy.data(), raw.data(), bytes);
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(bytes));
}

// The whole Cypress frame step for one raw frame (split, trailer, dark scan,
// record fill, history, event), for scale.
class NullListener : public DIFrameListener {
public:
    void onFrame(std::weak_ptr<FrameRecord>) override {}
    void onDeviceGone() override {}
};

void BM_CypressFrame(benchmark::State& state) {
    auto proxy = std::make_shared<EventReceiverProxy<DIFrameListener>>();
    proxy->AddReceiver(std::make_shared<NullListener>());
    CypressFrame frames(proxy, [](std::int64_t&) { return 0.01f; });
    auto raw = noise(std::size_t(kWidth) * kHeight * 2);
    Calibration normal = calibration();
    Calibration mirrored = reversed(normal);
    FrameDeviceState device;
    device.control19 = 1;
    device.calibration = &normal;
    device.reversedCalibration = &mirrored;
    device.serial = "MKT-21012345678";
    std::int64_t t = 1;
    for (auto _ : state) {
        benchmark::DoNotOptimize(frames.onRawFrame(t++, raw.data(), kWidth, kHeight, device));
    }
}

// --- Embedded smoothing -----------------------------------------------------

// One raw embedded frame (two 640-pixel images side by side, 481 lines).
struct EmbeddedInput {
    EmbeddedInput() : raw(noise(std::size_t(kWidth) * 2 * (kHeight + 1))) {}
    std::vector<std::uint8_t> raw;
    const std::uint8_t* left() const { return raw.data(); }
    const std::uint8_t* right() const { return raw.data() + kWidth; }
    static constexpr std::ptrdiff_t stride = 2 * kWidth;
};

void BM_EmbeddedSmooth(benchmark::State& state, const FrameKernels* kernels) {
    EmbeddedInput in;
    std::vector<std::uint8_t> a(std::size_t(kWidth) * kHeight), b(a.size()), scratch;
    for (auto _ : state) {
        smoothImage(*kernels, in.right(), in.stride, kWidth, kHeight, a.data(), 30, scratch);
        smoothImage(*kernels, in.left(), in.stride, kWidth, kHeight, b.data(), 30, scratch);
        benchmark::DoNotOptimize(a.data());
        benchmark::DoNotOptimize(b.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(2 * a.size()));
}

#if defined(HAVE_OPENCV)
void BM_OpenCVGaussianBlur5x5(benchmark::State& state) {
    cv::setNumThreads(static_cast<int>(state.range(0)));
    EmbeddedInput in;
    const cv::Mat left(kHeight, kWidth, CV_8UC1, const_cast<std::uint8_t*>(in.left()), in.stride);
    const cv::Mat right(kHeight, kWidth, CV_8UC1, const_cast<std::uint8_t*>(in.right()), in.stride);
    cv::Mat a, b;
    for (auto _ : state) {
        cv::GaussianBlur(right, a, cv::Size(5, 5), 0, 0, cv::BORDER_REPLICATE);
        cv::GaussianBlur(left, b, cv::Size(5, 5), 0, 0, cv::BORDER_REPLICATE);
        benchmark::DoNotOptimize(a.data);
        benchmark::DoNotOptimize(b.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(2 * kWidth * kHeight));
    cv::setNumThreads(-1);
}

void BM_OpenCVSepFilterBinomial(benchmark::State& state) {
    cv::setNumThreads(static_cast<int>(state.range(0)));
    EmbeddedInput in;
    const cv::Mat left(kHeight, kWidth, CV_8UC1, const_cast<std::uint8_t*>(in.left()), in.stride);
    const cv::Mat right(kHeight, kWidth, CV_8UC1, const_cast<std::uint8_t*>(in.right()), in.stride);
    const cv::Mat kernel = (cv::Mat_<float>(5, 1) << 1 / 16.f, 4 / 16.f, 6 / 16.f, 4 / 16.f, 1 / 16.f);
    cv::Mat a, b;
    for (auto _ : state) {
        cv::sepFilter2D(right, a, CV_8U, kernel, kernel, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
        cv::sepFilter2D(left, b, CV_8U, kernel, kernel, cv::Point(-1, -1), 0, cv::BORDER_REPLICATE);
        benchmark::DoNotOptimize(a.data);
        benchmark::DoNotOptimize(b.data);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * std::int64_t(2 * kWidth * kHeight));
    cv::setNumThreads(-1);
}
#endif

// --- Lookup maps --------------------------------------------------------------

void BM_BuildMaps(benchmark::State& state) {
    DistortionMap map;
    for (auto _ : state) {
        buildMaps(calibration(), map, kWidth, kHeight);
        benchmark::DoNotOptimize(map.images[7].data());
    }
}

// The part OpenCV also computes: rectified-to-raw maps of both cameras.
void BM_RectifiedToRawMaps(benchmark::State& state) {
    MapImage columns[2], rows[2];
    for (auto _ : state) {
        for (int c = 0; c < 2; ++c) {
            buildMapPair(calibration(), c, MapDirection::RectifiedToRaw, columns[c], rows[c], kWidth, kHeight);
        }
        benchmark::DoNotOptimize(rows[1].data());
    }
}

#if defined(HAVE_OPENCV)
void BM_OpenCVInitUndistortRectifyMap(benchmark::State& state) {
    cv::setNumThreads(static_cast<int>(state.range(0)));
    const CameraParameters& p = calibration().camera[0];
    const cv::Matx33d camera(p[LensParam::Focal], 0, kWidth / 2.0 + p[LensParam::CentreX], 0, p[LensParam::Focal],
                             kHeight / 2.0 + p[LensParam::CentreY], 0, 0, 1);
    // The rational model: k1 k2 p1 p2 k3 k4 k5 k6, here with the inverse
    // coefficients, which play the same role.
    const cv::Mat distortion =
        (cv::Mat_<double>(1, 8) << p[17], p[18], p[LensParam::P1], p[LensParam::P2], p[19], p[20], p[21], p[22]);
    const Matrix3& m = calibration().matrix(Calibration::Projection, 0);
    const cv::Matx33d rotation(m[0], m[1], m[2], m[3], m[4], m[5], m[6], m[7], m[8]);
    const cv::Matx33d rectified(p[LensParam::RectifiedFocal], 0, kWidth / 2.0, 0, p[LensParam::RectifiedFocal],
                                kHeight / 2.0, 0, 0, 1);
    cv::Mat mapX[2], mapY[2];
    for (auto _ : state) {
        for (int c = 0; c < 2; ++c) {
            cv::initUndistortRectifyMap(camera, distortion, rotation, rectified, cv::Size(kWidth, kHeight), CV_32FC1,
                                        mapX[c], mapY[c]);
        }
        benchmark::DoNotOptimize(mapY[1].data);
    }
    cv::setNumThreads(-1);
}
#endif

// --- Calibration records ------------------------------------------------------

void BM_FitInverseRadial(benchmark::State& state) {
    const CameraParameters start = lens();
    for (auto _ : state) {
        CameraParameters c = start;
        fitInverseRadial(c);
        benchmark::DoNotOptimize(c);
    }
}

void BM_ParseCalibrationBlock(benchmark::State& state) {
    const CalibrationBlock block = serialise(calibration());
    for (auto _ : state) {
        Calibration c(block);
        benchmark::DoNotOptimize(c);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const FrameKernels* best = &bestFrameKernels();
    const FrameKernels* portable = &portableFrameKernels();
    benchmark::RegisterBenchmark("BM_CypressSplit/best", BM_CypressSplit, best);
    benchmark::RegisterBenchmark("BM_CypressSplit/portable", BM_CypressSplit, portable);
    benchmark::RegisterBenchmark("BM_Memcpy", BM_Memcpy);
    benchmark::RegisterBenchmark("BM_CypressFrame", BM_CypressFrame);
    benchmark::RegisterBenchmark("BM_EmbeddedSmooth/best", BM_EmbeddedSmooth, best);
    benchmark::RegisterBenchmark("BM_EmbeddedSmooth/portable", BM_EmbeddedSmooth, portable);
#if defined(HAVE_OPENCV)
    benchmark::RegisterBenchmark("BM_OpenCVGaussianBlur5x5", BM_OpenCVGaussianBlur5x5)->Arg(1)->Arg(0);
    benchmark::RegisterBenchmark("BM_OpenCVSepFilterBinomial", BM_OpenCVSepFilterBinomial)->Arg(1)->Arg(0);
#endif
    benchmark::RegisterBenchmark("BM_BuildMaps", BM_BuildMaps)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_RectifiedToRawMaps", BM_RectifiedToRawMaps)->Unit(benchmark::kMillisecond);
#if defined(HAVE_OPENCV)
    benchmark::RegisterBenchmark("BM_OpenCVInitUndistortRectifyMap", BM_OpenCVInitUndistortRectifyMap)
        ->Arg(1)
        ->Arg(0)
        ->Unit(benchmark::kMillisecond);
#endif
    benchmark::RegisterBenchmark("BM_FitInverseRadial", BM_FitInverseRadial)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_ParseCalibrationBlock", BM_ParseCalibrationBlock)->Unit(benchmark::kMicrosecond);

    benchmark::Initialize(&argc, argv);
    benchsupport::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintRatios({{"BM_CypressSplit/best", "BM_Memcpy"}, {"BM_CypressSplit/portable", "BM_Memcpy"}},
                         "Cypress split of a 640x480 stereo frame, time ratio to memcpy (goal <= 1.5):");
    reporter.PrintRatios({{"BM_EmbeddedSmooth/best", "BM_OpenCVGaussianBlur5x5/1"},
                          {"BM_EmbeddedSmooth/best", "BM_OpenCVGaussianBlur5x5/0"},
                          {"BM_EmbeddedSmooth/best", "BM_OpenCVSepFilterBinomial/1"},
                          {"BM_EmbeddedSmooth/portable", "BM_OpenCVGaussianBlur5x5/1"}},
                         "Smoothing of two 640x480 images, time ratio (below 1 = ours faster; /1 one "
                         "OpenCV thread, /0 OpenCV's default threads):");
    reporter.PrintRatios({{"BM_RectifiedToRawMaps", "BM_OpenCVInitUndistortRectifyMap/1"},
                          {"BM_RectifiedToRawMaps", "BM_OpenCVInitUndistortRectifyMap/0"},
                          {"BM_BuildMaps", "BM_OpenCVInitUndistortRectifyMap/1"}},
                         "Lookup maps at 640x480, both cameras, time ratio (below 1 = ours faster; "
                         "BuildMaps makes both directions, OpenCV one):");
    benchmark::Shutdown();
    return 0;
}
