#pragma once

#include <cstdint>
#include <string>

#include "firmware/ChunkFile.h"
#include "firmware/FirmwareImage.h"

// A source of controller firmware images.
class FirmwareBase {
public:
    virtual ~FirmwareBase() = default;

    // A copy of the image for a controller running firmwareVersion,
    // personalised with its serial number when that is possible.
    virtual FirmwareImage ImageForDevice(std::int32_t firmwareVersion, const std::string& serial) const = 0;
};

// The two controller images: app2.dat for controllers whose firmware version
// is 13 or higher, app1.dat for older ones. Both files are read once, at
// construction, the newer one first; a missing or broken file leaves its image
// empty (with the reader's console line), which the loaders then refuse.
class FX3Firmware : public FirmwareBase {
public:
    // Controllers from this version on take the newer image.
    static constexpr std::int32_t kNewerImageFromVersion = 13;

    FX3Firmware(const std::string& newerImagePath, const std::string& olderImagePath,
                std::uint32_t maxImageSize = kControllerImageMaxSize);

    // The copy is returned whether or not personalisation succeeded: an image
    // that is not a valid boot image, has no serial marker, or comes with an
    // empty serial is returned as it was read.
    FirmwareImage ImageForDevice(std::int32_t firmwareVersion, const std::string& serial) const override;

    const FirmwareImage& newerImage() const { return m_newerImage; }
    const FirmwareImage& olderImage() const { return m_olderImage; }

private:
    FirmwareImage m_newerImage;
    FirmwareImage m_olderImage;
};
