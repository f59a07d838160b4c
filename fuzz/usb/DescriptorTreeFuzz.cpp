// Configuration and capability trees built from arbitrary descriptor bytes,
// as a device could send them: no read past the bytes, no overflow, and the
// trees hold together.

#include "usb/CCyCapabilitySet.h"
#include "usb/CCyConfiguration.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    for (auto form : {CCyDescriptorForm::Usb2, CCyDescriptorForm::SuperSpeed}) {
        bool malformed = false;
        auto config = CCyConfiguration::Build(bytes, form, nullptr, malformed);
        if (!config) continue;
        if (config->SettingCount() > CCyConfiguration::kMaxSettings) std::abort();
        for (int i = 0; i < config->SettingCount(); ++i) {
            const CCyInterfaceSetting* s = config->Setting(i);
            if (s->AltSettingCount() == 0 || s->EndPointCount() > CCyInterfaceSetting::kEndpointSlots - 1) std::abort();
            for (int slot = 1; slot <= s->EndPointCount(); ++slot) {
                const CCyUSBEndPoint* ep = s->EndPoint(slot);
                if (!ep || ep->IsIn() != ((ep->Address() & 0x80) != 0)) std::abort();
            }
        }
    }
    bool malformed = false;
    auto caps = CCyCapabilitySet::Build(bytes, malformed);
    if (caps && caps->ContainerId() && caps->ContainerId()->bLength < 20) std::abort();
    return 0;
}
