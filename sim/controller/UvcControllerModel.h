#pragma once
// A Tyvo controller in normal operation, as the host meets it: a UVC camera
// (Video-class interfaces) on the emulated USB bus, with a V4L2 video node
// below its interface whose requests the model answers.
//
// The controller firmware uses standard UVC controls as its configuration
// channel: sharpness is the address register and saturation the data register
// of its memory window (ControllerMemory); focus carries the words of a
// firmware update while the update mailbox is open, and otherwise the frame
// rate. It streams YUYV frames of the requested size: the Cypress controller
// interleaves its two cameras byte by byte and ends the first camera's image
// with a 6-byte trailer (row offset, frame count, exposure, gain, binning);
// the embedded controller puts the cameras side by side, one line more than
// the image.
//
// Variants: Cypress (0xF182/0x0003) and embedded (0x05A9/0xF580 or
// 0xF182/0x1001). Faults: refuse a control for a number of requests, vanish
// after n frames, stall after n frames, answer authentication wrongly.

#include "sim/UsbDeviceModel.h"
#include "sim/controller/ControllerCalibrationBlock.h"
#include "sim/controller/ControllerMemory.h"
#include "sim/controller/EmulatedV4l2Node.h"

#include <chrono>
#include <climits>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace tyvo::sim {

// The UVC controls of the controller, named as the device knows them.
enum class UvcControl {
    ExposureAuto,      // auto-exposure mode (V4L2 menu: 1 manual, 3 aperture priority)
    ExposureAbsolute,  // 100 µs units; refused unless exposure is manual
    FocusAuto,         // refuses focus writes while on
    FocusAbsolute,
    IrisAbsolute,
    ZoomAbsolute,
    Brightness,
    Contrast,
    Hue,
    Saturation,  // memory window data register
    Sharpness,   // memory window address register
    Gamma,
    BacklightCompensation,
    Gain,
};

enum class CalibrationContent { Valid, None, Corrupt };

struct UvcControllerOptions {
    ControllerKind kind = ControllerKind::Cypress;
    uint16_t vendorId = 0xF182;
    uint16_t productId = 0x0003;
    // At most 13 characters reach the host; empty: a blank serial area.
    std::string serial = "MKT-210012345";
    // The bytes a blank Cypress controller authenticates with (addresses 14,
    // 15); the embedded controller always uses the fixed salt.
    std::array<uint8_t, 2> blankSalt{0xA7, 0x19};
    // Cypress: the version number; embedded: major x 100 + minor.
    int firmwareVersion = 17;
    CalibrationContent calibration = CalibrationContent::Valid;
    ControllerCalibration calibrationContent = sampleControllerCalibration();
    std::chrono::milliseconds mailboxReadyDelay{20};
    std::chrono::milliseconds reenumerationDelay{50};
    double framesPerSecond = 100.0;
    // Empty: 640 x 480, 240 and 120 (Cypress) or 481, 241 and 121 (embedded).
    std::vector<FrameSize> frameSizes;
    // The whole memory (ControllerMemory::kSize bytes) of an earlier run of
    // the same controller; replaces serial, salt and calibration.
    std::optional<Bytes> memory;

    static UvcControllerOptions cypress(std::string serial = "MKT-210012345", int firmwareVersion = 17);
    static UvcControllerOptions embedded(uint16_t vendorId = 0x05A9, uint16_t productId = 0xF580,
                                         int firmwareVersion = 718);
};

struct ControlWrite {
    UvcControl control;
    int32_t value;
};

class UvcControllerModel : public StandardUsbDevice,
                           public V4l2CameraBackend,
                           public std::enable_shared_from_this<UvcControllerModel> {
public:
    static constexpr unsigned kAlways = UINT_MAX;

    static std::shared_ptr<UvcControllerModel> create(UvcControllerOptions options = {});
    ~UvcControllerModel() override;

    const UvcControllerOptions& options() const { return m_options; }

    // Faults, at any time.
    // The next `requests` requests (gets and sets) of the control fail.
    void refuse(UvcControl control, unsigned requests = kAlways);
    void clearRefusals();
    // The controller leaves the bus when the stream has delivered n frames.
    void vanishAfterFrames(uint64_t frames);
    // The stream stops delivering after n frames (the controller stays).
    void stallAfterFrames(uint64_t frames);
    void answerAuthenticationWrongly(bool wrong);
    // Leaves the bus now.
    void vanish();

    // Inspection, from any thread.
    Bytes memory(uint32_t address, std::size_t length) const;
    int firmwareVersion() const;
    std::string serial() const;
    bool hostAuthenticated() const;
    bool inUpdateMode() const;
    bool updateFinished() const;
    Bytes receivedImage() const;
    // The next incarnation after an update, once it was made.
    std::shared_ptr<UvcControllerModel> successor() const;
    int32_t controlValue(UvcControl control) const;
    std::vector<ControlWrite> controlWrites() const;
    std::size_t controlRequests() const;
    // The video node ("/dev/video3") while the controller is on the bus.
    std::string videoNode() const;
    V4l2NodeStats videoStats() const;

    // V4l2CameraBackend.
    std::string cardName() const override;
    std::vector<FrameSize> frameSizes() const override;
    std::chrono::nanoseconds frameInterval() const override;
    int queryControl(v4l2_queryctrl& query) override;
    int getControl(uint32_t id, int32_t& value) override;
    int setControl(uint32_t id, int32_t value) override;
    FrameFate nextFrame(uint64_t sequence) override;
    void renderFrame(uint8_t* out, FrameSize size, uint64_t sequence) override;

    // UsbDeviceModel: the video node beside the USB device.
    void attached(std::shared_ptr<BusAttachment> attachment) override;
    void publishChildren(SysfsChildSink& sink, const std::string& sysfsPath) override;
    void withdrawChildren(SysfsChildSink& sink, const std::string& sysfsPath) override;

private:
    struct Control {
        UvcControl control;
        uint32_t id;
        const char* name;
        int32_t minimum;
        int32_t maximum;
        int32_t defaultValue;
        uint32_t type;
        int32_t value;
        unsigned refusals = 0;
    };

    explicit UvcControllerModel(UvcControllerOptions options);
    Control* findLocked(uint32_t id);
    bool refusedLocked(Control& control);
    int writeLocked(Control& control, int32_t value);
    void finishUpdateLocked();
    void renderCypress(uint8_t* out, FrameSize size, uint64_t sequence) const;
    void renderEmbedded(uint8_t* out, FrameSize size, uint64_t sequence) const;

    const UvcControllerOptions m_options;
    mutable std::mutex m_controllerLock;  // everything below; after a node's lock
    ControllerMemory m_memory;
    std::vector<Control> m_controls;
    uint32_t m_address = 0;
    std::vector<ControlWrite> m_writes;
    std::size_t m_requests = 0;
    std::optional<uint64_t> m_vanishAfter;
    std::optional<uint64_t> m_stallAfter;
    bool m_vanishing = false;
    std::shared_ptr<BusAttachment> m_bus;
    std::shared_ptr<UvcControllerModel> m_successor;
    // The current video node and its sysfs path; nodes of earlier plugs stay
    // alive (umockdev may still call them) until the model goes.
    std::shared_ptr<EmulatedV4l2Node> m_node;
    std::string m_nodeName;
    std::string m_nodeSysfsPath;
    std::vector<std::shared_ptr<EmulatedV4l2Node>> m_nodes;
};

}  // namespace tyvo::sim
