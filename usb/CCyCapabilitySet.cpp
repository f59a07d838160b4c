#include "usb/CCyCapabilitySet.h"

#include <algorithm>

namespace {
constexpr uint8_t kUsb20Extension = 2;
constexpr uint8_t kSuperSpeed = 3;
constexpr uint8_t kContainerId = 4;
}  // namespace

std::unique_ptr<CCyCapabilitySet> CCyCapabilitySet::Build(std::span<const uint8_t> b, bool& malformed) {
    malformed = false;
    if (b.size() < 5 || b[0] < 5) {
        malformed = true;
        return nullptr;
    }
    std::unique_ptr<CCyCapabilitySet> s(new CCyCapabilitySet);
    s->m_bLength = b[0];
    s->m_bDescriptorType = b[1];
    s->m_wTotalLength = static_cast<uint16_t>(b[2] | b[3] << 8);
    s->m_bNumDeviceCaps = b[4];

    std::size_t end = s->m_wTotalLength;
    if (end > b.size()) {
        malformed = true;
        end = b.size();
    }
    long remaining = static_cast<long>(s->m_wTotalLength) - s->m_bLength;
    std::size_t pos = s->m_bLength;
    for (int looked = 0; looked < s->m_bNumDeviceCaps; ++looked) {
        if (pos >= end || end - pos < 3 || b[pos] == 0 || b[pos] > end - pos) {
            malformed = true;
            break;
        }
        const uint8_t length = b[pos];
        remaining -= length;
        if (remaining < 0) {
            malformed = true;
            break;
        }
        const uint8_t* d = &b[pos];
        const uint8_t type = d[2];
        if (type == kUsb20Extension) {
            if (length < 7) {
                malformed = true;
                break;
            }
            if (!s->m_usb20) {
                auto cap = std::make_unique<CCyUsb20ExtensionCapability>();
                cap->bLength = d[0];
                cap->bDescriptorType = d[1];
                cap->bDevCapabilityType = d[2];
                cap->bmAttributes = static_cast<uint32_t>(d[3]) | static_cast<uint32_t>(d[4]) << 8 |
                                    static_cast<uint32_t>(d[5]) << 16 | static_cast<uint32_t>(d[6]) << 24;
                s->m_usb20 = std::move(cap);
            }
        } else if (type == kSuperSpeed) {
            if (length < 10) {
                malformed = true;
                break;
            }
            if (!s->m_superSpeed) {
                auto cap = std::make_unique<CCySuperSpeedCapability>();
                cap->bLength = d[0];
                cap->bDescriptorType = d[1];
                cap->bDevCapabilityType = d[2];
                cap->bmAttributes = d[3];
                cap->wSpeedsSupported = static_cast<uint16_t>(d[4] | d[5] << 8);
                cap->bFunctionalitySupport = d[6];
                cap->bU1DevExitLat = d[7];
                cap->wU2DevExitLat = static_cast<uint16_t>(d[8] | d[9] << 8);
                s->m_superSpeed = std::move(cap);
            }
        } else if (type == kContainerId) {
            if (length < 20) {
                malformed = true;
                break;
            }
            if (!s->m_containerId) {
                auto cap = std::make_unique<CCyContainerIdCapability>();
                cap->bLength = d[0];
                cap->bDescriptorType = d[1];
                cap->bDevCapabilityType = d[2];
                cap->bReserved = d[3];
                std::copy(d + 4, d + 20, cap->containerId.begin());
                s->m_containerId = std::move(cap);
            }
        } else {
            break;  // a capability this set does not hold ends the walk
        }
        pos += length;
    }
    return s;
}
