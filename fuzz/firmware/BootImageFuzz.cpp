// Boot image validation and personalisation on arbitrary bytes: no crash or
// out-of-bounds access, a refused image is left byte for byte as it was, and a
// personalised one is valid.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "firmware/FX3BootImage.h"
#include "firmware/LittleEndian.h"
#include "fuzz/firmware/QuietConsole.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    QuietConsole();
    if (size < 3) {
        return 0;
    }
    // Three control bytes, then the image. The first picks the serial's
    // length, so empty, short, full and overlong serials all occur; the second
    // may plant a serial marker (where the third says) and may set the
    // checksum right, so personalisation is reached without a seed corpus.
    const std::size_t serialLength = data[0] % 24;
    const std::string serial = std::string("QK90352817466-MKT-48-MKT").substr(0, serialLength);
    FirmwareImage original(data + 3, data + size);
    if ((data[1] & 1) && original.size() >= SerialMarker.size()) {
        const std::size_t at = (data[2] * 7u) % (original.size() - SerialMarker.size() + 1);
        std::copy(SerialMarker.begin(), SerialMarker.end(), original.begin() + static_cast<std::ptrdiff_t>(at));
    }
    if (data[1] & 2) {
        if (const auto walk = WalkBootImage(original)) {
            WriteLittleEndian32(original.data() + walk->checksumOffset, walk->sum);
        }
    }

    const bool valid = IsValidBootImage(original);
    FirmwareImage image = original;
    const bool personalised = PersonaliseImage(image, serial);
    if (personalised) {
        if (!valid || serial.empty() || !IsValidBootImage(image)) {
            std::abort();
        }
    } else if (image != original) {
        std::abort();
    }
    return 0;
}
