#pragma once

#include <istream>
#include <string>

#include "camera/calibration/Calibration.h"

// Reads the older per-controller calibration file some controllers were
// shipped with, for when the controller's own memory holds no valid block.
// Layout (little-endian):
//   0   "HEAD"
//   4   u32 expanded size E
//   8   u32 stored size C
//   12  C bytes: a zlib stream XOR-scrambled with the chunk key, which
//       expands to E bytes: a serialised LegacyCalibrationHeader with the two
//       cameras, camera 0 first (see camera/CameraCalibration.h).
//
// The loader never throws. Its record starts as the default record (scale
// 1.0) and is replaced only by a complete file; the caller tells the two
// apart by the record (a real calibration has t of camera 0 above 1.0).
// A stream that fails to read or expand is reported on standard output.
class LegacyLoader {
public:
    explicit LegacyLoader(const std::string& path);
    explicit LegacyLoader(std::istream& file);

    const Calibration& calibration() const { return m_calibration; }
    // True when the file's record replaced the default one.
    bool loaded() const { return m_loaded; }
    // Why the default record was kept; empty when the file was loaded.
    const std::string& failure() const { return m_failure; }

    // The file of a controller: its serial as the file name in the product
    // folder of the user's data folder (created when missing). Empty when
    // the serial cannot be a plain file name (empty, "." or "..", or with a
    // path separator): a device must not point the loader elsewhere.
    static std::string pathForSerial(const std::string& serial);

    // Bounds on the sizes in the header, checked before anything is
    // allocated. A real file holds two small messages.
    static constexpr std::uint32_t kMaxExpandedSize = 16u << 20;
    static constexpr std::uint32_t kMaxStoredSize = 16u << 20;

private:
    void read(std::istream& file);
    void keepDefault(const char* why);

    Calibration m_calibration{1.0f};
    bool m_loaded = false;
    std::string m_failure;
};
