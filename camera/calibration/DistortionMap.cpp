#include "camera/calibration/DistortionMap.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "camera/calibration/MapKernels.h"
#include "config/Config.h"

namespace {

constexpr int kMaxMapSide = 8192;

// Four map pixels at once. Plain vector arithmetic: the compiler emits SSE on
// x86-64 and NEON on ARM, and each lane performs exactly the operations the
// scalar formulas perform, so lanes and the scalar tail agree bit for bit.
typedef float Float4 __attribute__((vector_size(16)));

bool processorHasAvx2() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("avx2");
#else
    return false;
#endif
}

bool avx2Available() {
    static const bool available = [] {
        mapkernels::Coefficients probe{};
        float column = 0.0f;
        float row = 0.0f;
        // The build may have no AVX2 kernels at all: ask them.
        return processorHasAvx2() &&
               mapkernels::fillPairAvx2(probe, mapkernels::Formula::RawToRectified, &column, &row, 1, 1);
    }();
    return available;
}

std::atomic<MapKernelPath>& currentPath() {
    static std::atomic<MapKernelPath> path{avx2Available() ? MapKernelPath::Avx2 : MapKernelPath::Generic};
    return path;
}

}  // namespace

void MapImage::allocate(int width, int height) {
    const std::size_t count = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    if (!m_owned || m_width != width || m_height != height || !m_storage) {
        m_storage = std::make_unique<float[]>(count);
    }
    m_pixels = m_storage.get();
    m_width = width;
    m_height = height;
    m_owned = true;
}

void MapImage::attach(float* pixels, int width, int height) {
    m_storage.reset();
    m_pixels = pixels;
    m_width = width;
    m_height = height;
    m_owned = false;
}

MapSize configuredMapSize() {
    std::int32_t width = 0;
    std::int32_t height = 0;
    Config::imageCalibSize(width, height);
    if (width <= 0 || height <= 0 || width > kMaxMapSide || height > kMaxMapSide) return MapSize{};
    return MapSize{width, height};
}

void buildMaps(const Calibration& calibration, DistortionMap& map) {
    const MapSize size = configuredMapSize();
    buildMaps(calibration, map, size.width, size.height);
}

void buildMaps(const Calibration& calibration, DistortionMap& map, int width, int height) {
    if (width <= 0 || height <= 0 || width > kMaxMapSide || height > kMaxMapSide) {
        width = MapSize{}.width;
        height = MapSize{}.height;
    }
    for (int c = 0; c < 2; ++c) {
        buildMapPair(calibration, c, MapDirection::RectifiedToRaw,
                     map.images[DistortionMap::RectifiedToRawColumn0 + 2 * c],
                     map.images[DistortionMap::RectifiedToRawRow0 + 2 * c], width, height);
        buildMapPair(calibration, c, MapDirection::RawToRectified,
                     map.images[DistortionMap::RawToRectifiedColumn0 + 2 * c],
                     map.images[DistortionMap::RawToRectifiedRow0 + 2 * c], width, height);
    }
}

void buildMapPair(const Calibration& calibration, int camera, MapDirection direction, MapImage& columns, MapImage& rows,
                  int width, int height) {
    const std::size_t cam = static_cast<std::size_t>(camera);
    const CameraParameters& p = calibration.camera.at(cam);
    const auto formula = direction == MapDirection::RectifiedToRaw ? mapkernels::Formula::RectifiedToRaw
                                                                   : mapkernels::Formula::RawToRectified;
    const Matrix3& m = direction == MapDirection::RectifiedToRaw
                           ? calibration.matrices[Calibration::RectifiedToRaw].at(cam)
                           : calibration.matrices[Calibration::RawToRectified].at(cam);
    columns.allocate(width, height);
    rows.allocate(width, height);
    if (currentPath().load(std::memory_order_relaxed) == MapKernelPath::Avx2) {
        mapkernels::Coefficients coefficients;
        for (std::size_t i = 0; i < LensParam::Count; ++i) coefficients.p[i] = p[i];
        for (std::size_t i = 0; i < 9; ++i) coefficients.m[i] = m[i];
        if (mapkernels::fillPairAvx2(coefficients, formula, columns.data(), rows.data(), width, height)) {
            return;
        }
    }
    mapkernels::fillPair<Float4, 4>(p, m, formula, columns.data(), rows.data(), width, height);
}

bool useMapKernels(MapKernelPath path) {
    if (path == MapKernelPath::Avx2 && !avx2Available()) return false;
    currentPath().store(path);
    return true;
}

MapKernelPath mapKernelPath() { return currentPath().load(); }
