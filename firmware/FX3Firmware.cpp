#include "firmware/FX3Firmware.h"

#include "firmware/FX3BootImage.h"

FX3Firmware::FX3Firmware(const std::string& newerImagePath, const std::string& olderImagePath,
                         std::uint32_t maxImageSize) {
    ReadFirmwareImage(newerImagePath, m_newerImage, maxImageSize);
    ReadFirmwareImage(olderImagePath, m_olderImage, maxImageSize);
}

FirmwareImage FX3Firmware::ImageForDevice(std::int32_t firmwareVersion, const std::string& serial) const {
    FirmwareImage image = firmwareVersion >= kNewerImageFromVersion ? m_newerImage : m_olderImage;
    // Personalisation is best effort here: the stages write the image either
    // way, and PersonaliseImage has already told the user when the serial is
    // missing.
    PersonaliseImage(image, serial);
    return image;
}
