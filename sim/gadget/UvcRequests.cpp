#include "sim/gadget/UvcRequests.h"

#include <linux/usb/ch9.h>
#include <linux/usb/video.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace tyvo::sim::gadget {
namespace {

void put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void put32(Bytes& b, uint32_t v) {
    put16(b, v & 0xFFFF);
    put16(b, v >> 16);
}
uint32_t get(const Bytes& b, std::size_t at, std::size_t size) {
    uint32_t v = 0;
    for (std::size_t i = 0; i < size && at + i < b.size(); ++i) v |= uint32_t{b[at + i]} << (8 * i);
    return v;
}

enum class Kind { Integer, ExposureMode, Boolean };

struct ControlMap {
    uint8_t entity;
    uint8_t selector;
    uint8_t bit;  // in the entity's bmControls: the class's own order, not the selector's
    uint8_t size;
    bool isSigned;
    uint32_t v4l2;
    Kind kind;
};

// The UVC controls uvcvideo maps the model's V4L2 controls from.
constexpr std::array<ControlMap, 14> kControls{{
    {kCameraTerminal, UVC_CT_AE_MODE_CONTROL, 1, 1, false, V4L2_CID_EXPOSURE_AUTO, Kind::ExposureMode},
    {kCameraTerminal, UVC_CT_EXPOSURE_TIME_ABSOLUTE_CONTROL, 3, 4, false, V4L2_CID_EXPOSURE_ABSOLUTE, Kind::Integer},
    {kCameraTerminal, UVC_CT_FOCUS_ABSOLUTE_CONTROL, 5, 2, false, V4L2_CID_FOCUS_ABSOLUTE, Kind::Integer},
    {kCameraTerminal, UVC_CT_FOCUS_AUTO_CONTROL, 17, 1, false, V4L2_CID_FOCUS_AUTO, Kind::Boolean},
    {kCameraTerminal, UVC_CT_IRIS_ABSOLUTE_CONTROL, 7, 2, false, V4L2_CID_IRIS_ABSOLUTE, Kind::Integer},
    {kCameraTerminal, UVC_CT_ZOOM_ABSOLUTE_CONTROL, 9, 2, false, V4L2_CID_ZOOM_ABSOLUTE, Kind::Integer},
    {kProcessingUnit, UVC_PU_BACKLIGHT_COMPENSATION_CONTROL, 8, 2, false, V4L2_CID_BACKLIGHT_COMPENSATION,
     Kind::Integer},
    {kProcessingUnit, UVC_PU_BRIGHTNESS_CONTROL, 0, 2, true, V4L2_CID_BRIGHTNESS, Kind::Integer},
    {kProcessingUnit, UVC_PU_CONTRAST_CONTROL, 1, 2, false, V4L2_CID_CONTRAST, Kind::Integer},
    {kProcessingUnit, UVC_PU_GAIN_CONTROL, 9, 2, false, V4L2_CID_GAIN, Kind::Integer},
    {kProcessingUnit, UVC_PU_HUE_CONTROL, 2, 2, true, V4L2_CID_HUE, Kind::Integer},
    {kProcessingUnit, UVC_PU_SATURATION_CONTROL, 3, 2, false, V4L2_CID_SATURATION, Kind::Integer},
    {kProcessingUnit, UVC_PU_SHARPNESS_CONTROL, 4, 2, false, V4L2_CID_SHARPNESS, Kind::Integer},
    {kProcessingUnit, UVC_PU_GAMMA_CONTROL, 5, 2, false, V4L2_CID_GAMMA, Kind::Integer},
}};

// UVC error codes (the request error code control).
constexpr uint8_t kWrongState = 0x02;
constexpr uint8_t kInvalidUnit = 0x05;
constexpr uint8_t kInvalidControl = 0x06;
constexpr uint8_t kInvalidRequest = 0x07;
constexpr uint8_t kOutOfRange = 0x08;

// GET/SET and auto-update: the driver must not serve reads from its cache.
constexpr uint8_t kControlInfo = 0x03 | 0x08;

// The auto-exposure mode is a bit in UVC and a menu index in V4L2.
uint8_t exposureModeBit(int32_t menu) {
    switch (menu) {
        case V4L2_EXPOSURE_AUTO: return 0x02;
        case V4L2_EXPOSURE_MANUAL: return 0x01;
        case V4L2_EXPOSURE_SHUTTER_PRIORITY: return 0x04;
        default: return 0x08;  // aperture priority
    }
}
std::optional<int32_t> exposureModeMenu(uint32_t bit) {
    switch (bit) {
        case 0x01: return V4L2_EXPOSURE_MANUAL;
        case 0x02: return V4L2_EXPOSURE_AUTO;
        case 0x04: return V4L2_EXPOSURE_SHUTTER_PRIORITY;
        case 0x08: return V4L2_EXPOSURE_APERTURE_PRIORITY;
        default: return std::nullopt;
    }
}

const ControlMap* findControl(uint8_t entity, uint8_t selector) {
    for (const ControlMap& c : kControls)
        if (c.entity == entity && c.selector == selector) return &c;
    return nullptr;
}

Bytes encode(const ControlMap& c, int32_t value) {
    Bytes b;
    for (uint8_t i = 0; i < c.size; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint32_t>(value) >> (8 * i)));
    return b;
}

int32_t decode(const ControlMap& c, const Bytes& data) {
    const uint32_t raw = get(data, 0, c.size);
    if (c.isSigned && c.size == 2) return static_cast<int16_t>(raw);
    if (c.isSigned && c.size == 1) return static_cast<int8_t>(raw);
    return static_cast<int32_t>(raw);
}

uint32_t bitmapFor(uint8_t entity) {
    uint32_t bits = 0;
    for (const ControlMap& c : kControls)
        if (c.entity == entity) bits |= 1u << c.bit;
    return bits;
}

uint32_t frameBytes(FrameSize s) { return s.width * s.height * 2; }

}  // namespace

Bytes UvcConfiguration(const V4l2CameraBackend& camera, uint16_t maxPacket) {
    const auto sizes = camera.frameSizes();
    const auto interval = static_cast<uint32_t>(camera.frameInterval().count() / 100);

    Bytes vc;  // class-specific video control descriptors
    vc.insert(vc.end(), {13, 0x24, UVC_VC_HEADER});
    put16(vc, 0x0100);
    put16(vc, 0);  // total length, below
    put32(vc, 48000000);
    vc.insert(vc.end(), {1, kUvcStreamingInterface});
    vc.insert(vc.end(), {18, 0x24, UVC_VC_INPUT_TERMINAL, kCameraTerminal});
    put16(vc, UVC_ITT_CAMERA);
    vc.insert(vc.end(), {0, 0, 0, 0, 0, 0, 0, 0, 3});
    const uint32_t ct = bitmapFor(kCameraTerminal);
    vc.insert(vc.end(), {uint8_t(ct), uint8_t(ct >> 8), uint8_t(ct >> 16)});
    vc.insert(vc.end(), {11, 0x24, UVC_VC_PROCESSING_UNIT, kProcessingUnit, kCameraTerminal, 0, 0, 2});
    put16(vc, bitmapFor(kProcessingUnit));
    vc.push_back(0);
    vc.insert(vc.end(), {9, 0x24, UVC_VC_OUTPUT_TERMINAL, kOutputTerminal});
    put16(vc, UVC_TT_STREAMING);
    vc.insert(vc.end(), {0, kProcessingUnit, 0});
    vc[5] = static_cast<uint8_t>(vc.size());
    vc[6] = static_cast<uint8_t>(vc.size() >> 8);

    Bytes vs;  // class-specific video streaming descriptors
    vs.insert(vs.end(),
              {14, 0x24, UVC_VS_INPUT_HEADER, 1, 0, 0, kUvcStreamingEndpoint, 0, kOutputTerminal, 0, 0, 0, 1, 0});
    vs.insert(vs.end(), {27, 0x24, UVC_VS_FORMAT_UNCOMPRESSED, 1, static_cast<uint8_t>(sizes.size())});
    vs.insert(vs.end(), {'Y', 'U', 'Y', '2', 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    vs.insert(vs.end(), {16, 1, 0, 0, 0, 0});
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        vs.insert(vs.end(), {30, 0x24, UVC_VS_FRAME_UNCOMPRESSED, static_cast<uint8_t>(i + 1), 0});
        put16(vs, sizes[i].width);
        put16(vs, sizes[i].height);
        const uint32_t bitRate = frameBytes(sizes[i]) * 8 * (10000000 / std::max<uint32_t>(interval, 1));
        put32(vs, bitRate);
        put32(vs, bitRate);
        put32(vs, frameBytes(sizes[i]));
        put32(vs, interval);
        vs.push_back(1);
        put32(vs, interval);
    }
    vs.insert(vs.end(), {6, 0x24, UVC_VS_COLORFORMAT, 1, 1, 4});
    vs[4] = static_cast<uint8_t>(vs.size());
    vs[5] = static_cast<uint8_t>(vs.size() >> 8);

    Bytes body{8, USB_DT_INTERFACE_ASSOCIATION, kUvcControlInterface, 2, 0x0E, 0x03, 0x00, 0};
    body.insert(body.end(), {9, USB_DT_INTERFACE, kUvcControlInterface, 0, 0, 0x0E, 0x01, 0x00, 0});
    body.insert(body.end(), vc.begin(), vc.end());
    body.insert(body.end(), {9, USB_DT_INTERFACE, kUvcStreamingInterface, 0, 1, 0x0E, 0x02, 0x00, 0});
    body.insert(body.end(), vs.begin(), vs.end());
    body.insert(body.end(), {7, USB_DT_ENDPOINT, kUvcStreamingEndpoint, USB_ENDPOINT_XFER_BULK});
    put16(body, maxPacket);
    body.push_back(0);

    Bytes config{9, USB_DT_CONFIG};
    put16(config, static_cast<uint32_t>(9 + body.size()));
    config.insert(config.end(), {2, 1, 0, 0x80, 50});
    config.insert(config.end(), body.begin(), body.end());
    return config;
}

UvcRequests::UvcRequests(V4l2CameraBackend& camera)
    : m_camera(camera),
      m_sizes(camera.frameSizes()),
      m_interval(static_cast<uint32_t>(camera.frameInterval().count() / 100)),
      m_probe(probeFor(1, 1)),
      m_commit(m_probe) {}

TransferReply UvcRequests::refuse(uint8_t errorCode) {
    m_errorCode = errorCode;
    return TransferReply::stall();
}

TransferReply UvcRequests::handle(const SetupPacket& setup, const Bytes& out) {
    if (setup.requestType() != 1 || setup.recipient() != 1) return refuse(kInvalidRequest);
    const uint8_t interface = setup.wIndex & 0xFF;
    if (interface == kUvcControlInterface) return control(setup, out);
    if (interface == kUvcStreamingInterface) return streaming(setup, out);
    return refuse(kInvalidUnit);
}

TransferReply UvcRequests::control(const SetupPacket& setup, const Bytes& out) {
    const uint8_t entity = setup.wIndex >> 8;
    const uint8_t selector = setup.wValue >> 8;
    if (entity == 0) {
        if (selector == UVC_VC_REQUEST_ERROR_CODE_CONTROL && setup.bRequest == UVC_GET_CUR) {
            const uint8_t code = m_errorCode;
            return TransferReply::data({code});
        }
        return refuse(kInvalidControl);
    }
    const ControlMap* c = findControl(entity, selector);
    if (!c) return refuse(entity == kCameraTerminal || entity == kProcessingUnit ? kInvalidControl : kInvalidUnit);

    if (setup.bRequest == UVC_SET_CUR) {
        if (out.size() < c->size) return refuse(kOutOfRange);
        int32_t value = decode(*c, out);
        if (c->kind == Kind::ExposureMode) {
            const auto menu = exposureModeMenu(static_cast<uint32_t>(value));
            if (!menu) return refuse(kOutOfRange);
            value = *menu;
        }
        const int error = m_camera.setControl(c->v4l2, value);
        if (error == EINVAL) return refuse(kOutOfRange);
        if (error != 0) return refuse(kWrongState);
        m_errorCode = 0;
        return TransferReply::accepted(out.size());
    }

    v4l2_queryctrl query{};
    query.id = c->v4l2;
    if (m_camera.queryControl(query) != 0) return refuse(kInvalidControl);
    int32_t value = 0;
    switch (setup.bRequest) {
        case UVC_GET_CUR: {
            const int error = m_camera.getControl(c->v4l2, value);
            if (error != 0) return refuse(kWrongState);
            break;
        }
        case UVC_GET_MIN: value = query.minimum; break;
        case UVC_GET_MAX: value = query.maximum; break;
        case UVC_GET_DEF: value = query.default_value; break;
        case UVC_GET_RES: value = c->kind == Kind::ExposureMode ? 0 : query.step; break;
        case UVC_GET_LEN: {
            Bytes length;
            put16(length, c->size);
            m_errorCode = 0;
            return TransferReply::data(length);
        }
        case UVC_GET_INFO: m_errorCode = 0; return TransferReply::data({kControlInfo});
        default: return refuse(kInvalidRequest);
    }
    if (c->kind == Kind::ExposureMode) {
        if (setup.bRequest == UVC_GET_RES) {
            // The modes the camera offers: the controller's firmware takes
            // manual exposure and aperture priority only.
            value = exposureModeBit(V4L2_EXPOSURE_MANUAL) | exposureModeBit(V4L2_EXPOSURE_APERTURE_PRIORITY);
        } else {
            value = exposureModeBit(value);
        }
    }
    m_errorCode = 0;
    return TransferReply::data(encode(*c, value));
}

Bytes UvcRequests::probeFor(uint32_t frameIndex, uint16_t hint) const {
    const FrameSize size = m_sizes.at(frameIndex - 1);
    Bytes p;
    put16(p, hint);
    p.push_back(1);  // format
    p.push_back(static_cast<uint8_t>(frameIndex));
    put32(p, m_interval);
    put16(p, 0);  // key frame rate
    put16(p, 0);  // P frame rate
    put16(p, 0);  // compression quality
    put16(p, 0);  // compression window
    put16(p, 0);  // delay
    put32(p, frameBytes(size));
    put32(p, kMaxPayload);
    return p;
}

TransferReply UvcRequests::streaming(const SetupPacket& setup, const Bytes& out) {
    const uint8_t selector = setup.wValue >> 8;
    if (selector != UVC_VS_PROBE_CONTROL && selector != UVC_VS_COMMIT_CONTROL) return refuse(kInvalidControl);
    Bytes& state = selector == UVC_VS_PROBE_CONTROL ? m_probe : m_commit;
    switch (setup.bRequest) {
        case UVC_SET_CUR: {
            // One format and one interval: the host picks the frame size, the
            // device fills in the rest.
            uint32_t frame = out.size() > 3 ? out[3] : 1;
            if (frame < 1 || frame > m_sizes.size()) frame = 1;
            state = probeFor(frame, static_cast<uint16_t>(get(out, 0, 2)));
            if (selector == UVC_VS_COMMIT_CONTROL) {
                const FrameSize size = m_sizes[frame - 1];
                m_committed = StreamSettings{size, frame, m_interval, frameBytes(size), kMaxPayload};
            }
            m_errorCode = 0;
            return TransferReply::accepted(out.size());
        }
        case UVC_GET_CUR:
        case UVC_GET_MIN:
        case UVC_GET_MAX:
        case UVC_GET_DEF:
            m_errorCode = 0;
            return TransferReply::data(setup.bRequest == UVC_GET_CUR ? state : probeFor(1, 1));
        case UVC_GET_LEN: {
            Bytes length;
            put16(length, static_cast<uint32_t>(m_probe.size()));
            return TransferReply::data(length);
        }
        case UVC_GET_INFO: return TransferReply::data({0x03});
        default: return refuse(kInvalidRequest);
    }
}

std::optional<StreamSettings> UvcRequests::takeCommit() {
    auto committed = m_committed;
    m_committed.reset();
    return committed;
}

}  // namespace tyvo::sim::gadget
