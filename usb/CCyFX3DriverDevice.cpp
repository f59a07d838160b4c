#include "usb/CCyFX3DriverDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

bool CCyFX3DriverDevice::SendVendorRequest(uint8_t* buffer, uint8_t request, uint32_t value, int32_t length,
                                           bool deviceToHost) {
    if (SendVendorRequestPieces(buffer, request, value, length, deviceToHost)) return true;
    const CCyControlEndPoint* ep = ControlEndPoint();
    m_failedRequest =
        FailedRequest{request,      static_cast<uint16_t>(value & 0xFFFF), static_cast<uint16_t>(value >> 16), length,
                      deviceToHost, ep ? ep->LastError() : ENODEV};
    return false;
}

std::string CCyFX3DriverDevice::DescribeFailedRequest() const {
    if (!m_failedRequest) return {};
    const FailedRequest& f = *m_failedRequest;
    char head[96];
    std::snprintf(head, sizeof head, "vendor request 0x%02X (wValue 0x%04X, wIndex 0x%04X, ", f.request, f.value,
                  f.index);
    std::string text = head;
    text += f.length == 0 ? std::string("no data") : std::to_string(f.length) + (f.length == 1 ? " byte" : " bytes");
    if (f.length != 0) text += f.deviceToHost ? " from the device" : " to the device";
    text += ") on " + DevicePath() + ": ";
    text += f.error ? std::strerror(static_cast<int>(f.error)) : "the device moved no data";
    return text;
}

bool CCyFX3DriverDevice::SendVendorRequestPieces(uint8_t* buffer, uint8_t request, uint32_t value, int32_t length,
                                                 bool deviceToHost) {
    CCyControlEndPoint* ep = ControlEndPoint();
    if (!ep || length < 0 || (length > 0 && !buffer)) return false;
    ep->SetTarget(CCyTarget::Device);
    ep->SetReqType(CCyRequestType::Vendor);
    ep->SetReqCode(request);
    ep->SetDirection(deviceToHost ? CCyDirection::DeviceToHost : CCyDirection::HostToDevice);
    ep->SetValue(static_cast<uint16_t>(value & 0xFFFF));
    ep->SetIndex(static_cast<uint16_t>(value >> 16));

    if (length == 0) {
        int32_t none = 0;
        return ep->Transfer(nullptr, none);
    }
    int32_t done = 0;
    while (done < length) {
        const int32_t piece = std::min(length - done, kMaxVendorPiece);
        std::vector<uint8_t> bytes(static_cast<std::size_t>(piece));
        if (!deviceToHost) std::memcpy(bytes.data(), buffer + done, bytes.size());
        int32_t moved = piece;
        if (!ep->Transfer(bytes.data(), moved)) return false;
        moved = std::clamp(moved, 0, piece);
        if (deviceToHost) std::memcpy(buffer + done, bytes.data(), static_cast<std::size_t>(moved));
        // A piece that moves nothing would repeat for ever.
        if (moved == 0) return false;
        done += moved;
    }
    return true;
}
