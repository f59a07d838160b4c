#pragma once
// One configuration descriptor set as a tree: up to 8 interface settings in
// descriptor order, each owning its endpoints.

#include "usb/CCyInterfaceSetting.h"

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

class CCyConfiguration {
public:
    static constexpr int kMaxSettings = 8;

    // Builds from a configuration descriptor set as read from the device.
    // The walk ends at wTotalLength or at the end of the bytes, whichever
    // comes first; a descriptor with bLength 0 or one running past the end
    // (or wTotalLength beyond the bytes) sets malformed (cleared otherwise)
    // and ends it. Returns
    // null when the bytes do not hold a configuration descriptor.
    static std::unique_ptr<CCyConfiguration> Build(std::span<const uint8_t> set, CCyDescriptorForm form,
                                                   DriverHandle* handle, bool& malformed);

    CCyInterfaceSetting* Setting(int i) const {
        return i >= 0 && i < static_cast<int>(m_settings.size()) ? m_settings[i].get() : nullptr;
    }
    uint8_t SettingCount() const { return static_cast<uint8_t>(m_settings.size()); }

    uint8_t DscLength() const { return m_bLength; }
    uint8_t DscType() const { return m_bDescriptorType; }
    uint16_t TotalLength() const { return m_wTotalLength; }
    uint8_t NumInterfaces() const { return m_bNumInterfaces; }
    uint8_t ConfigurationValue() const { return m_bConfigurationValue; }
    uint8_t ConfigurationString() const { return m_iConfiguration; }
    uint8_t Attributes() const { return m_bmAttributes; }
    uint8_t MaxPower() const { return m_maxPower; }

    void DetachEndpoints();

private:
    CCyConfiguration() = default;

    std::vector<std::unique_ptr<CCyInterfaceSetting>> m_settings;
    uint8_t m_bLength = 0;
    uint8_t m_bDescriptorType = 0;
    uint16_t m_wTotalLength = 0;
    uint8_t m_bNumInterfaces = 0;
    uint8_t m_bConfigurationValue = 0;
    uint8_t m_iConfiguration = 0;
    uint8_t m_bmAttributes = 0;
    uint8_t m_maxPower = 0;
};
