#include "usb/CCyInterfaceSetting.h"

#include "usb/CCyBulkEndPoint.h"
#include "usb/CCyControlEndPoint.h"
#include "usb/CCyInterruptEndPoint.h"
#include "usb/CCyIsocEndPoint.h"

namespace {

constexpr uint8_t kInterfaceType = 4;
constexpr uint8_t kEndpointType = 5;
constexpr uint8_t kCompanionType = 0x30;
constexpr uint8_t kEndpointLength = 7;
constexpr uint8_t kCompanionLength = 6;

std::unique_ptr<CCyUSBEndPoint> makeEndpoint(DriverHandle* handle, const uint8_t* d, const uint8_t* companion) {
    switch (d[3] & 3) {
        case 0: return std::make_unique<CCyControlEndPoint>(handle, d);
        case 1: return std::make_unique<CCyIsocEndPoint>(handle, d, companion);
        case 2: return std::make_unique<CCyBulkEndPoint>(handle, d, companion);
        default: return std::make_unique<CCyInterruptEndPoint>(handle, d, companion);
    }
}

}  // namespace

std::unique_ptr<CCyInterfaceSetting> CCyInterfaceSetting::Build(std::span<const uint8_t> b, CCyDescriptorForm form,
                                                                DriverHandle* handle, bool& malformed) {
    malformed = false;
    if (b.size() < 9 || b[0] < 9 || b[0] > b.size()) {
        malformed = true;
        return nullptr;
    }
    std::unique_ptr<CCyInterfaceSetting> s(new CCyInterfaceSetting);
    s->m_bLength = b[0];
    s->m_bDescriptorType = b[1];
    s->m_bInterfaceNumber = b[2];
    s->m_bAlternateSetting = b[3];
    s->m_bNumEndpoints = b[4];
    s->m_bInterfaceClass = b[5];
    s->m_bInterfaceSubClass = b[6];
    s->m_bInterfaceProtocol = b[7];
    s->m_iInterface = b[8];

    std::size_t pos = b[0];
    std::size_t total = b[0];
    int others = 0;
    const int wanted = std::min<int>(s->m_bNumEndpoints, kEndpointSlots - 1);
    while (static_cast<int>(s->m_owned.size()) < wanted) {
        if (b.size() - pos < 2 || b[pos] == 0 || b[pos] > b.size() - pos) {
            malformed = true;  // bLength 0, a cut-off descriptor, or the set ran out of endpoints
            break;
        }
        const uint8_t length = b[pos];
        const uint8_t type = b[pos + 1];
        if (type == kInterfaceType) {
            malformed = true;  // fewer endpoints than announced: they belong to the next setting
            break;
        }
        if (type == kEndpointType) {
            if (length < kEndpointLength) {
                malformed = true;
                break;
            }
            const uint8_t* endpoint = &b[pos];
            const uint8_t* companion = nullptr;
            pos += length;
            total += length;
            if (form == CCyDescriptorForm::SuperSpeed && b.size() - pos >= 2 && b[pos + 1] == kCompanionType) {
                const uint8_t clen = b[pos];
                if (clen < kCompanionLength || clen > b.size() - pos) {
                    malformed = true;
                    break;
                }
                companion = &b[pos];
                pos += clen;
                total += clen;
            }
            auto ep = makeEndpoint(handle, endpoint, companion);
            s->m_slots[s->m_owned.size() + 1] = ep.get();
            s->m_owned.push_back(std::move(ep));
            continue;
        }
        pos += length;
        total += length;
        if (++others == kMaxOtherDescriptors) break;  // endpoints after this one are not looked for
    }
    s->m_totalLength = static_cast<uint16_t>(std::min<std::size_t>(total, 0xFFFF));
    return s;
}

void CCyInterfaceSetting::DetachEndpoints() {
    for (auto& ep : m_owned) ep->Detach();
    m_slots[0] = nullptr;
}
