#pragma once

#include <array>
#include <memory>

#include "camera/calibration/Calibration.h"

// One float image of a lookup map: its pixels, size, and whether the image
// owns them (a map may also look at pixels that live elsewhere).
class MapImage {
public:
    MapImage() = default;
    MapImage(const MapImage&) = delete;
    MapImage& operator=(const MapImage&) = delete;

    // Owned pixels of the given size; existing storage is kept when it is
    // already exactly that size, so rebuilding a map does not reallocate.
    void allocate(int width, int height);
    // Pixels owned elsewhere; the caller keeps them alive.
    void attach(float* pixels, int width, int height);

    float* data() { return m_pixels; }
    const float* data() const { return m_pixels; }
    int width() const { return m_width; }
    int height() const { return m_height; }
    bool owned() const { return m_owned; }
    float at(int column, int row) const { return m_pixels[row * m_width + column]; }

private:
    std::unique_ptr<float[]> m_storage;
    float* m_pixels = nullptr;
    int m_width = 0;
    int m_height = 0;
    bool m_owned = false;
};

// The lookup maps of a calibration: for each camera, where each rectified
// pixel comes from in the raw image and where each raw pixel lands in the
// rectified image. Shared between frame records through a shared pointer.
class DistortionMap {
public:
    enum Image : int {
        RectifiedToRawColumn0 = 0,
        RectifiedToRawRow0 = 1,
        RectifiedToRawColumn1 = 2,
        RectifiedToRawRow1 = 3,
        RawToRectifiedColumn0 = 4,
        RawToRectifiedRow0 = 5,
        RawToRectifiedColumn1 = 6,
        RawToRectifiedRow1 = 7,
    };

    std::array<MapImage, 8> images;

    const MapImage& image(Image which) const { return images[which]; }
};

// The map size used when none is given: the image calibration size of the
// configuration (640 x 480 unless configured otherwise).
struct MapSize {
    int width = 640;
    int height = 480;
};
MapSize configuredMapSize();

// Fills the eight maps for the calibration at the configured size.
void buildMaps(const Calibration& calibration, DistortionMap& map);

// One pair of maps (columns and rows) of one camera at the given size, which
// must be valid (buildMaps checks it).
enum class MapDirection { RectifiedToRaw, RawToRectified };
void buildMapPair(const Calibration& calibration, int camera, MapDirection direction, MapImage& columns, MapImage& rows,
                  int width, int height);

// The maps are computed 4 pixels at a time, or 8 at a time where the
// processor has AVX2 (the default there). Both give the same floats; tests
// choose the path. useMapKernels returns false for a path this machine lacks.
enum class MapKernelPath { Generic, Avx2 };
bool useMapKernels(MapKernelPath path);
MapKernelPath mapKernelPath();

// Fills the eight maps at the given size. A size that is not positive or
// beyond 8192 on a side is refused in favour of 640 x 480: a bad setting
// must not take the device down or exhaust memory.
void buildMaps(const Calibration& calibration, DistortionMap& map, int width, int height);
