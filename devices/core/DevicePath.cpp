#include "devices/core/DevicePath.h"

#include <cwctype>

std::wstring ToDevicePath(const std::wstring& instanceId) {
    std::wstring path = instanceId;
    for (auto& c : path) {
        if (c == L'\\') {
            c = L'#';
        } else {
            c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        }
    }
    return path;
}

std::wstring UsbInstanceId(uint16_t vendorId, uint16_t productId, const std::string& busPortChain) {
    wchar_t ids[32];
    swprintf(ids, sizeof ids / sizeof ids[0], L"USB\\VID_%04X&PID_%04X\\", vendorId, productId);
    std::wstring id = ids;
    id.append(busPortChain.begin(), busPortChain.end());
    return id;
}

namespace {

bool Literal(const std::wstring& path, size_t* at, const wchar_t* text) {
    for (; *text; ++text, ++*at) {
        if (*at >= path.size() || path[*at] != *text) return false;
    }
    return true;
}

// At least one hexadecimal digit, as many as there are; a value that would
// not fit in 32 bits does not parse.
bool Hex(const std::wstring& path, size_t* at, uint32_t* value) {
    uint64_t v = 0;
    size_t start = *at;
    for (; *at < path.size(); ++*at) {
        wchar_t c = path[*at];
        unsigned digit;
        if (c >= L'0' && c <= L'9') {
            digit = static_cast<unsigned>(c - L'0');
        } else if (c >= L'a' && c <= L'f') {
            digit = static_cast<unsigned>(c - L'a' + 10);
        } else if (c >= L'A' && c <= L'F') {
            digit = static_cast<unsigned>(c - L'A' + 10);
        } else {
            break;
        }
        v = v * 16 + digit;
        if (v > 0xFFFFFFFFu) return false;
    }
    if (*at == start) return false;
    *value = static_cast<uint32_t>(v);
    return true;
}

}  // namespace

bool ParseDevicePath(const std::wstring& path, uint32_t* vendorId, uint32_t* productId) {
    size_t at = 0;
    uint32_t vid = 0, pid = 0;
    if (!Literal(path, &at, L"usb#") || !Literal(path, &at, L"vid_") || !Hex(path, &at, &vid) ||
        !Literal(path, &at, L"&") || !Literal(path, &at, L"pid_") || !Hex(path, &at, &pid)) {
        return false;
    }
    *vendorId = vid;
    *productId = pid;
    return true;
}
