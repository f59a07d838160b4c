#include "usb/CCyConfiguration.h"

std::unique_ptr<CCyConfiguration> CCyConfiguration::Build(std::span<const uint8_t> b, CCyDescriptorForm form,
                                                          DriverHandle* handle, bool& malformed) {
    malformed = false;
    if (b.size() < 9 || b[0] < 9) {
        malformed = true;
        return nullptr;
    }
    std::unique_ptr<CCyConfiguration> c(new CCyConfiguration);
    c->m_bLength = b[0];
    c->m_bDescriptorType = b[1];
    c->m_wTotalLength = static_cast<uint16_t>(b[2] | b[3] << 8);
    c->m_bNumInterfaces = b[4];
    c->m_bConfigurationValue = b[5];
    c->m_iConfiguration = b[6];
    c->m_bmAttributes = b[7];
    c->m_maxPower = b[8];

    std::size_t end = c->m_wTotalLength;
    if (end > b.size()) {
        malformed = true;  // wTotalLength promises more than the device gave
        end = b.size();
    }
    const auto set = b.first(end);
    std::size_t pos = c->m_bLength;
    if (pos > end) malformed = true;
    while (c->m_settings.size() < kMaxSettings && pos < end) {
        if (end - pos < 2 || set[pos] == 0 || set[pos] > end - pos) {
            malformed = true;
            break;
        }
        if (set[pos + 1] != 4) {
            pos += set[pos];
            continue;
        }
        bool settingMalformed = false;
        auto setting = CCyInterfaceSetting::Build(set.subspan(pos), form, handle, settingMalformed);
        if (!setting) {
            malformed = true;
            break;
        }
        pos += setting->TotalLength();
        c->m_settings.push_back(std::move(setting));
        if (settingMalformed) {
            malformed = true;
            break;
        }
    }
    for (auto& s : c->m_settings) {
        uint8_t same = 0;
        for (auto& other : c->m_settings)
            if (other->InterfaceNumber() == s->InterfaceNumber()) ++same;
        s->SetAltSettingCount(same);
    }
    return c;
}

void CCyConfiguration::DetachEndpoints() {
    for (auto& s : m_settings) s->DetachEndpoints();
}
