#pragma once
// The controller in normal operation as the UVC driver meets it: the
// class-specific descriptors of a UVC 1.0 camera with one YUYV format and
// bulk streaming, and the answers to the class requests on its video
// control and video streaming interfaces, taken from the controller model's
// camera side (its controls, frame sizes and frame interval).
//
// The V4L2 controls the model knows map onto the UVC controls uvcvideo maps
// them from: the camera terminal carries auto-exposure mode, exposure time,
// focus, iris and zoom; the processing unit brightness, contrast, hue,
// saturation, sharpness, gamma, backlight compensation and gain. Every
// control reports the auto-update capability, because the controller's
// memory window (sharpness the address, saturation the data) changes
// behind the driver's back, and uvcvideo otherwise answers repeated reads
// from its cache.

#include "sim/UsbTransfer.h"
#include "sim/controller/EmulatedV4l2Node.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace tyvo::sim::gadget {

using Bytes = std::vector<uint8_t>;

inline constexpr uint8_t kUvcControlInterface = 0;
inline constexpr uint8_t kUvcStreamingInterface = 1;
inline constexpr uint8_t kUvcStreamingEndpoint = 0x81;
inline constexpr uint8_t kCameraTerminal = 1;
inline constexpr uint8_t kProcessingUnit = 2;
inline constexpr uint8_t kOutputTerminal = 3;

// What a commit fixed for the stream.
struct StreamSettings {
    FrameSize size;
    uint32_t frameIndex = 1;     // 1-based among the frame descriptors
    uint32_t frameInterval = 0;  // 100 ns units
    uint32_t maxVideoFrameSize = 0;
    uint32_t maxPayloadTransferSize = 0;
};

// The configuration descriptor's body after its 9-byte header (interface
// association, video control and streaming interfaces with their
// class-specific descriptors, the bulk endpoint with maxPacket), and the
// whole configuration descriptor with that header.
Bytes UvcConfiguration(const V4l2CameraBackend& camera, uint16_t maxPacket);

class UvcRequests {
public:
    // Bytes of a frame per bulk payload, header included.
    static constexpr uint32_t kMaxPayload = 16 * 1024;

    explicit UvcRequests(V4l2CameraBackend& camera);

    // A class request to one of the two interfaces (wIndex: entity in the
    // high byte, interface in the low). A stall sets the error code the
    // driver then asks for.
    TransferReply handle(const SetupPacket& setup, const Bytes& out);

    // Once after each commit: the stream's settings.
    std::optional<StreamSettings> takeCommit();

private:
    TransferReply control(const SetupPacket& setup, const Bytes& out);
    TransferReply streaming(const SetupPacket& setup, const Bytes& out);
    TransferReply refuse(uint8_t errorCode);
    Bytes probeFor(uint32_t frameIndex, uint16_t hint) const;

    V4l2CameraBackend& m_camera;
    std::vector<FrameSize> m_sizes;
    uint32_t m_interval;
    uint8_t m_errorCode = 0;
    Bytes m_probe;
    Bytes m_commit;
    std::optional<StreamSettings> m_committed;
};

}  // namespace tyvo::sim::gadget
