// Calibration blocks from arbitrary bytes: the parser either refuses a block
// with one of its three messages or builds a record that serialises back to
// the same 156 bytes; nothing built from a record (inverse fit, reversal,
// projection, lookup maps) may crash or hang, whatever floats it holds.
// The first byte can repair the signature, the version and the checksum, so
// the record-building path is reached without a seed corpus.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera/calibration/Calibration.h"
#include "camera/calibration/DistortionMap.h"
#include "devices/core/DeviceExceptions.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t control = data[0];
    CalibrationBlock block{};
    std::memcpy(block.data(), data + 1, std::min(size - 1, block.size()));
    if (control & 1) {
        block[0] = 'C';
        block[1] = 'A';
    }
    if (control & 2) block[2] &= 0x7F;
    if (control & 4) {
        const std::uint32_t sum = calibrationChecksum(block);
        for (int i = 0; i < 4; ++i) block[152 + i] = static_cast<std::uint8_t>(sum >> (8 * i));
    }

    try {
        const Calibration record(block);
        if (serialise(record) != block) std::abort();
        for (int camera = 0; camera < 2; ++camera) {
            (void)project(record, camera, 0.25f, -0.5f);
        }
        if (control & 16) {
            const Calibration mirrored = reversed(record);
            if (mirrored.version != record.version) std::abort();
        }
        if (control & 8) {
            DistortionMap map;
            buildMaps(record, map, 24, 18);
        }
    } catch (const calibration_exception& e) {
        const std::string message = e.what();
        if (message != "Unexpected header signature for the calibration" &&
            message != "Fatal error: Corrupt calibration data (Incorrect checksum)" &&
            message != "Fatal error: Corrupt calibration data (Incorrect version)") {
            std::abort();
        }
    }
    return 0;
}
