#include "sim/controller/ControllerFirmwareBoot.h"

#include <algorithm>
#include <array>

namespace tyvo::sim {
namespace {

constexpr std::string_view kVersionTag = "TYVO-FWVER";
constexpr std::size_t kIdentityBeforeTag = 128;
constexpr std::size_t kSerialField = 14;
constexpr std::array<uint8_t, 4> kMarkerStart = {0xDE, 0xAD, 0xBE, 0xEF};

}  // namespace

std::string serialInControllerImage(const Fx3BootImageInfo& image) {
    for (const Fx3ImageSection& section : image.sections) {
        const Bytes& data = section.data;
        const auto tag = std::search(data.begin(), data.end(), kVersionTag.begin(), kVersionTag.end());
        if (tag == data.end()) continue;
        const auto at = static_cast<std::size_t>(tag - data.begin());
        if (at < kIdentityBeforeTag) return {};
        const auto field = data.begin() + static_cast<std::ptrdiff_t>(at - kIdentityBeforeTag);
        if (std::equal(kMarkerStart.begin(), kMarkerStart.end(), field)) return {};
        std::string serial;
        for (auto it = field; it != field + kSerialField && *it != 0; ++it) serial.push_back(static_cast<char>(*it));
        return serial;
    }
    return {};
}

std::function<std::shared_ptr<UsbDeviceModel>(Fx3Chip&, const Fx3BootImageInfo&)> controllerFirmwareBoot(
    UvcControllerOptions base) {
    return [base = std::move(base)](Fx3Chip&, const Fx3BootImageInfo& image) -> std::shared_ptr<UsbDeviceModel> {
        UvcControllerOptions options = base;
        options.memory.reset();
        options.serial = serialInControllerImage(image);
        if (image.firmwareVersion) options.firmwareVersion = *image.firmwareVersion;
        return UvcControllerModel::create(options);
    };
}

}  // namespace tyvo::sim
