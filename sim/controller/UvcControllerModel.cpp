#include "sim/controller/UvcControllerModel.h"

#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace tyvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

DeviceDescriptors controllerDescriptors(const UvcControllerOptions& options) {
    DeviceDescriptors d;
    d.speed = UsbSpeed::High;
    DeviceLayout device;
    device.bcdUSB = 0x0200;
    device.maxPacketSize0 = 64;
    device.vendorId = options.vendorId;
    device.productId = options.productId;
    device.bcdDevice = 0x0100;
    device.iManufacturer = 1;
    device.iProduct = 2;
    d.device = buildDeviceDescriptor(device);
    // Video control (with its status interrupt endpoint) and video streaming
    // (bulk): the Video class is what makes the host take it for a camera.
    ConfigurationLayout config;
    InterfaceLayout control;
    control.number = 0;
    control.interfaceClass = 0x0E;
    control.interfaceSubClass = 0x01;
    control.endpoints.push_back(EndpointLayout{0x83, 3, 16, 8, {}, {}});
    InterfaceLayout streaming;
    streaming.number = 1;
    streaming.interfaceClass = 0x0E;
    streaming.interfaceSubClass = 0x02;
    streaming.endpoints.push_back(EndpointLayout{0x81, 2, 512, 0, {}, {}});
    config.interfaces = {control, streaming};
    d.configurations.push_back(buildConfiguration(config));
    d.strings[1] = u"Tyvo";
    d.strings[2] = options.kind == ControllerKind::Cypress ? u"Tyvo Controller" : u"Tyvo Embedded Controller";
    return d;
}

// Video nodes are numbered across the process, as the kernel numbers them.
std::atomic<unsigned> g_nextVideoNumber{0};

gboolean onVideoIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer userData) {
    (*static_cast<std::shared_ptr<EmulatedV4l2Node>*>(userData))->handleIoctl(client);
    return TRUE;
}

void releaseVideoNode(gpointer userData, GClosure*) {
    delete static_cast<std::shared_ptr<EmulatedV4l2Node>*>(userData);
}

std::string withoutSysPrefix(const std::string& path) {
    return path.compare(0, 4, "/sys") == 0 ? path.substr(4) : path;
}

// The version a controller image announces: the tag and a u16 after it.
std::optional<int> imageVersion(const Bytes& image) {
    static const std::string tag = "TYVO-FWVER";
    const auto it = std::search(image.begin(), image.end(), tag.begin(), tag.end());
    if (it == image.end() || image.end() - it < static_cast<std::ptrdiff_t>(tag.size() + 2)) return std::nullopt;
    const auto at = static_cast<std::size_t>(it - image.begin()) + tag.size();
    return image[at] | image[at + 1] << 8;
}

}  // namespace

UvcControllerOptions UvcControllerOptions::cypress(std::string serial, int firmwareVersion) {
    UvcControllerOptions options;
    options.serial = std::move(serial);
    options.firmwareVersion = firmwareVersion;
    return options;
}

UvcControllerOptions UvcControllerOptions::embedded(uint16_t vendorId, uint16_t productId, int firmwareVersion) {
    UvcControllerOptions options;
    options.kind = ControllerKind::Embedded;
    options.vendorId = vendorId;
    options.productId = productId;
    options.serial = "ZND-000000123";
    options.firmwareVersion = firmwareVersion;
    return options;
}

std::shared_ptr<UvcControllerModel> UvcControllerModel::create(UvcControllerOptions options) {
    return std::shared_ptr<UvcControllerModel>(new UvcControllerModel(std::move(options)));
}

UvcControllerModel::UvcControllerModel(UvcControllerOptions options)
    : StandardUsbDevice(options.kind == ControllerKind::Cypress ? "Tyvo Controller" : "Tyvo Embedded Controller",
                        controllerDescriptors(options)),
      m_options(std::move(options)),
      m_memory(m_options.kind) {
    if (m_options.memory) {
        m_memory.load(0, *m_options.memory);
    } else {
        m_memory.setSerial(m_options.serial);
        m_memory.setBlankSalt(m_options.blankSalt);
        if (m_options.calibration != CalibrationContent::None) {
            Bytes block = encodeControllerCalibration(m_options.calibrationContent);
            if (m_options.calibration == CalibrationContent::Corrupt) ++block[152];  // checksum off by one
            m_memory.load(controller_memory::kCalibration, block);
        }
    }
    m_memory.setFirmwareVersion(m_options.firmwareVersion);
    m_memory.setMailboxDelay(m_options.mailboxReadyDelay);

    // The controls as the firmware reports them.
    const auto add = [this](UvcControl c, uint32_t id, const char* name, int32_t min, int32_t max, int32_t def,
                            uint32_t type = V4L2_CTRL_TYPE_INTEGER) {
        m_controls.push_back(Control{c, id, name, min, max, def, type, def, 0});
    };
    add(UvcControl::ExposureAuto, V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", 0, 3, V4L2_EXPOSURE_APERTURE_PRIORITY,
        V4L2_CTRL_TYPE_MENU);
    add(UvcControl::ExposureAbsolute, V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", 1, 10000, 156);
    add(UvcControl::FocusAuto, V4L2_CID_FOCUS_AUTO, "Focus, Automatic Continuous", 0, 1, 1, V4L2_CTRL_TYPE_BOOLEAN);
    add(UvcControl::FocusAbsolute, V4L2_CID_FOCUS_ABSOLUTE, "Focus, Absolute", 0, 65535, 0);
    add(UvcControl::IrisAbsolute, V4L2_CID_IRIS_ABSOLUTE, "Iris, Absolute", 0, 65535, 0);
    add(UvcControl::ZoomAbsolute, V4L2_CID_ZOOM_ABSOLUTE, "Zoom, Absolute", 0, 65535, 0);
    add(UvcControl::Brightness, V4L2_CID_BRIGHTNESS, "Brightness", 0, 255, 128);
    add(UvcControl::Contrast, V4L2_CID_CONTRAST, "Contrast", 0, 65535, 0);
    // Hue and brightness travel in signed 16-bit UVC controls: a range
    // beyond that reaches the UVC driver as nonsense (hue 0 to 65535 reads
    // as 0 to -1, and the driver then clamps every write to -1).
    add(UvcControl::Hue, V4L2_CID_HUE, "Hue", -32768, 32767, 0);
    add(UvcControl::Saturation, V4L2_CID_SATURATION, "Saturation", 0, 255, 0);
    add(UvcControl::Sharpness, V4L2_CID_SHARPNESS, "Sharpness", 0, 65535, 0);
    add(UvcControl::Gamma, V4L2_CID_GAMMA, "Gamma", 0, 65535, 0);
    add(UvcControl::BacklightCompensation, V4L2_CID_BACKLIGHT_COMPENSATION, "Backlight Compensation", 0, 65535, 0);
    add(UvcControl::Gain, V4L2_CID_GAIN, "Gain", 0, 65535, 16);
}

UvcControllerModel::~UvcControllerModel() = default;

// ------------------------------------------------------------------ faults

void UvcControllerModel::refuse(UvcControl control, unsigned requests) {
    std::lock_guard lock(m_controllerLock);
    for (Control& c : m_controls)
        if (c.control == control) c.refusals = requests;
}

void UvcControllerModel::clearRefusals() {
    std::lock_guard lock(m_controllerLock);
    for (Control& c : m_controls) c.refusals = 0;
}

void UvcControllerModel::vanishAfterFrames(uint64_t frames) {
    std::lock_guard lock(m_controllerLock);
    m_vanishAfter = frames;
}

void UvcControllerModel::stallAfterFrames(uint64_t frames) {
    std::lock_guard lock(m_controllerLock);
    m_stallAfter = frames;
}

void UvcControllerModel::answerAuthenticationWrongly(bool wrong) {
    std::lock_guard lock(m_controllerLock);
    m_memory.setWrongAuthentication(wrong);
}

void UvcControllerModel::vanish() {
    std::shared_ptr<BusAttachment> bus;
    {
        std::lock_guard lock(m_controllerLock);
        bus = m_bus;
    }
    if (bus) bus->leaveBus();
}

// -------------------------------------------------------------- inspection

Bytes UvcControllerModel::memory(uint32_t address, std::size_t length) const {
    std::lock_guard lock(m_controllerLock);
    return m_memory.bytes(address, length);
}

int UvcControllerModel::firmwareVersion() const {
    std::lock_guard lock(m_controllerLock);
    return m_memory.firmwareVersion();
}

std::string UvcControllerModel::serial() const {
    std::lock_guard lock(m_controllerLock);
    return m_memory.serialText();
}

bool UvcControllerModel::hostAuthenticated() const {
    std::lock_guard lock(m_controllerLock);
    return m_memory.hostAuthenticated();
}

bool UvcControllerModel::inUpdateMode() const {
    std::lock_guard lock(m_controllerLock);
    return m_memory.inUpdateMode();
}

bool UvcControllerModel::updateFinished() const {
    std::lock_guard lock(m_controllerLock);
    return m_memory.updateFinished();
}

Bytes UvcControllerModel::receivedImage() const {
    std::lock_guard lock(m_controllerLock);
    return m_memory.receivedImage();
}

std::shared_ptr<UvcControllerModel> UvcControllerModel::successor() const {
    std::lock_guard lock(m_controllerLock);
    return m_successor;
}

int32_t UvcControllerModel::controlValue(UvcControl control) const {
    std::lock_guard lock(m_controllerLock);
    for (const Control& c : m_controls)
        if (c.control == control) return c.control == UvcControl::Sharpness ? static_cast<int32_t>(m_address) : c.value;
    return 0;
}

std::vector<ControlWrite> UvcControllerModel::controlWrites() const {
    std::lock_guard lock(m_controllerLock);
    return m_writes;
}

std::size_t UvcControllerModel::controlRequests() const {
    std::lock_guard lock(m_controllerLock);
    return m_requests;
}

std::string UvcControllerModel::videoNode() const {
    std::lock_guard lock(m_controllerLock);
    return m_nodeName;
}

V4l2NodeStats UvcControllerModel::videoStats() const {
    std::shared_ptr<EmulatedV4l2Node> node;
    {
        std::lock_guard lock(m_controllerLock);
        node = m_node;
    }
    return node ? node->stats() : V4l2NodeStats{};
}

// ---------------------------------------------------------------- controls

UvcControllerModel::Control* UvcControllerModel::findLocked(uint32_t id) {
    for (Control& c : m_controls)
        if (c.id == id) return &c;
    return nullptr;
}

bool UvcControllerModel::refusedLocked(Control& control) {
    if (control.refusals == 0) return false;
    if (control.refusals != kAlways) --control.refusals;
    return true;
}

std::string UvcControllerModel::cardName() const { return name(); }

std::vector<FrameSize> UvcControllerModel::frameSizes() const {
    if (!m_options.frameSizes.empty()) return m_options.frameSizes;
    if (m_options.kind == ControllerKind::Cypress) return {{640, 480}, {640, 240}, {640, 120}};
    return {{640, 481}, {640, 241}, {640, 121}};
}

std::chrono::nanoseconds UvcControllerModel::frameInterval() const {
    return std::chrono::nanoseconds(static_cast<int64_t>(1e9 / std::max(1.0, m_options.framesPerSecond)));
}

int UvcControllerModel::queryControl(v4l2_queryctrl& query) {
    std::lock_guard lock(m_controllerLock);
    const Control* c = findLocked(query.id);
    if (c == nullptr) return EINVAL;
    query.type = c->type;
    std::memset(query.name, 0, sizeof query.name);
    std::strncpy(reinterpret_cast<char*>(query.name), c->name, sizeof query.name - 1);
    query.minimum = c->minimum;
    query.maximum = c->maximum;
    query.step = 1;
    query.default_value = c->defaultValue;
    query.flags = 0;
    return 0;
}

int UvcControllerModel::getControl(uint32_t id, int32_t& value) {
    std::lock_guard lock(m_controllerLock);
    Control* c = findLocked(id);
    if (c == nullptr) return EINVAL;
    ++m_requests;
    if (refusedLocked(*c)) return EIO;
    switch (c->control) {
        case UvcControl::Saturation: value = m_memory.read(m_address, Clock::now()); break;
        case UvcControl::Sharpness: value = static_cast<int32_t>(m_address); break;
        default: value = c->value; break;
    }
    return 0;
}

int UvcControllerModel::setControl(uint32_t id, int32_t value) {
    std::lock_guard lock(m_controllerLock);
    Control* c = findLocked(id);
    if (c == nullptr) return EINVAL;
    ++m_requests;
    if (refusedLocked(*c)) return EIO;
    return writeLocked(*c, value);
}

int UvcControllerModel::writeLocked(Control& c, int32_t value) {
    // Values outside the range are clamped, as the UVC driver does.
    value = std::clamp(value, c.minimum, c.maximum);
    auto settingOf = [this](UvcControl control) {
        for (const Control& other : m_controls)
            if (other.control == control) return other.value;
        return 0;
    };
    switch (c.control) {
        case UvcControl::ExposureAuto:
            // The camera offers manual and aperture priority only.
            if (value != V4L2_EXPOSURE_MANUAL && value != V4L2_EXPOSURE_APERTURE_PRIORITY) return EINVAL;
            break;
        case UvcControl::ExposureAbsolute:
            // The camera refuses a manual value while it sets exposure itself.
            if (settingOf(UvcControl::ExposureAuto) != V4L2_EXPOSURE_MANUAL) return EIO;
            break;
        case UvcControl::FocusAbsolute:
            if (settingOf(UvcControl::FocusAuto) != 0) return EIO;
            // In update mode the words of the image come this way.
            if (m_memory.takeUpdateWord(static_cast<uint16_t>(value), Clock::now())) {
                m_writes.push_back(ControlWrite{c.control, value});
                return 0;
            }
            break;
        case UvcControl::Sharpness: m_address = static_cast<uint32_t>(value); break;
        case UvcControl::Saturation:
            if (m_memory.write(m_address, static_cast<uint8_t>(value), Clock::now()) ==
                ControllerMemory::Effect::UpdateFinished)
                finishUpdateLocked();
            break;
        default: break;
    }
    c.value = value;
    m_writes.push_back(ControlWrite{c.control, value});
    return 0;
}

void UvcControllerModel::finishUpdateLocked() {
    // The controller restarts into the image it received and comes back as
    // a new device with the new firmware's version; its memory (serial,
    // calibration) stays.
    UvcControllerOptions next = m_options;
    next.memory = m_memory.bytes(0, controller_memory::kSize);
    next.firmwareVersion = imageVersion(m_memory.receivedImage()).value_or(m_memory.firmwareVersion());
    m_successor = UvcControllerModel::create(next);
    if (m_bus) m_bus->reenumerate(m_successor, m_options.reenumerationDelay);
}

// ------------------------------------------------------------------ frames

V4l2CameraBackend::FrameFate UvcControllerModel::nextFrame(uint64_t sequence) {
    std::shared_ptr<BusAttachment> leave;
    FrameFate fate = FrameFate::Deliver;
    {
        std::lock_guard lock(m_controllerLock);
        if (m_vanishAfter && sequence >= *m_vanishAfter) {
            fate = FrameFate::Vanish;
            if (!m_vanishing) {
                m_vanishing = true;
                leave = m_bus;
            }
        } else if (m_stallAfter && sequence >= *m_stallAfter) {
            fate = FrameFate::Withhold;
        }
    }
    if (leave) leave->leaveBus();
    return fate;
}

void UvcControllerModel::renderFrame(uint8_t* out, FrameSize size, uint64_t sequence) {
    if (m_options.kind == ControllerKind::Cypress)
        renderCypress(out, size, sequence);
    else
        renderEmbedded(out, size, sequence);
}

void UvcControllerModel::renderCypress(uint8_t* out, FrameSize size, uint64_t sequence) const {
    const uint32_t w = size.width;
    const uint32_t h = size.height;
    const auto s = static_cast<uint32_t>(sequence);
    // Camera 0 in the even bytes, camera 1 in the odd ones; every pixel
    // bright enough that no frame looks dark.
    for (uint32_t y = 0; y < h; ++y) {
        uint8_t* line = out + std::size_t{y} * w * 2;
        for (uint32_t x = 0; x < w; ++x) {
            line[2 * x] = static_cast<uint8_t>(40 + (x + y + s) % 160);
            line[2 * x + 1] = static_cast<uint8_t>(40 + (2 * x + y + s) % 160);
        }
    }
    int32_t exposure = 0;
    int32_t gain = 0;
    {
        std::lock_guard lock(m_controllerLock);
        for (const Control& c : m_controls) {
            if (c.control == UvcControl::ZoomAbsolute) exposure = c.value;  // exposure in µs
            if (c.control == UvcControl::Gain) gain = c.value;              // gain x 16
        }
    }
    exposure = std::clamp(exposure, 0, 511);
    const uint32_t count = static_cast<uint32_t>(sequence % 127) + 1;
    const uint8_t trailer[6] = {
        120,                                           // row offset / 2
        static_cast<uint8_t>(count >> 4),              // frame count, high nibble
        static_cast<uint8_t>(count & 0x0F),            // frame count, low nibble
        static_cast<uint8_t>((exposure >> 5) & 0x0F),  // exposure, high bits
        static_cast<uint8_t>(exposure & 0x1F),         // exposure, low bits
        static_cast<uint8_t>(gain & 0x1F),             // gain; binning 0
    };
    // The last six pixels of camera 0's image.
    const std::size_t last = std::size_t{w} * h - 6;
    for (std::size_t i = 0; i < 6; ++i) out[2 * (last + i)] = trailer[i];
}

void UvcControllerModel::renderEmbedded(uint8_t* out, FrameSize size, uint64_t sequence) const {
    const uint32_t w = size.width;
    const uint32_t h = size.height;
    const auto s = static_cast<uint32_t>(sequence);
    // Two images of w pixels side by side per line; the last line is not
    // part of the image.
    for (uint32_t y = 0; y + 1 < h; ++y) {
        uint8_t* line = out + std::size_t{y} * w * 2;
        for (uint32_t x = 0; x < w; ++x) {
            line[x] = static_cast<uint8_t>(40 + (x + y + s) % 160);
            line[w + x] = static_cast<uint8_t>(40 + (x + 2 * y + s) % 160);
        }
    }
    std::memset(out + std::size_t{h - 1} * w * 2, 0, std::size_t{w} * 2);
}

// ------------------------------------------------------------- on the bus

void UvcControllerModel::attached(std::shared_ptr<BusAttachment> attachment) {
    {
        std::lock_guard lock(m_controllerLock);
        m_bus = attachment;
        m_vanishing = false;
    }
    StandardUsbDevice::attached(std::move(attachment));
}

void UvcControllerModel::publishChildren(SysfsChildSink& sink, const std::string& sysfsPath) {
    UMockdevTestbed* testbed = sink.testbed();
    const unsigned number = g_nextVideoNumber++;
    const std::string name = "video" + std::to_string(number);
    const std::string devNode = "/dev/" + name;
    const std::string port = sysfsPath.substr(sysfsPath.rfind('/') + 1);
    const std::string nodePath = sysfsPath + "/" + port + ":1.0/video4linux/" + name;

    gchar* root = umockdev_testbed_get_root_dir(testbed);
    const std::string file = std::string(root) + "/dev/" + name;
    g_free(root);
    auto node = std::make_shared<EmulatedV4l2Node>(shared_from_this(), file);

    // Attached before the node exists, as umockdev wants it; the closure
    // keeps the node alive for as long as umockdev may call it.
    UMockdevIoctlBase* handler = umockdev_ioctl_base_new();
    g_signal_connect_data(handler, "handle-ioctl", G_CALLBACK(onVideoIoctl),
                          new std::shared_ptr<EmulatedV4l2Node>(node), releaseVideoNode, GConnectFlags(0));
    sink.attachIoctl(devNode, handler);

    // The node file has contents so that it is a plain file the client can
    // map; sysfs attribute values end in a newline.
    std::string record;
    record += "P: " + withoutSysPrefix(nodePath) + "\n";
    record += "N: " + name + "=00\n";
    record += "E: DEVNAME=" + devNode + "\n";
    record += "E: SUBSYSTEM=video4linux\n";
    record += "E: MAJOR=81\nE: MINOR=" + std::to_string(number) + "\n";
    record += "A: name=" + cardName() + "\\n\n";
    record += "A: index=0\\n\n";
    record += "A: dev=81:" + std::to_string(number) + "\\n\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) {
        std::string why = error ? error->message : "add failed";
        if (error) g_error_free(error);
        throw std::runtime_error("cannot add the video node of " + port + ": " + why);
    }
    std::lock_guard lock(m_controllerLock);
    m_node = node;
    m_nodes.push_back(node);
    m_nodeName = devNode;
    m_nodeSysfsPath = nodePath;
}

void UvcControllerModel::withdrawChildren(SysfsChildSink& sink, const std::string&) {
    std::shared_ptr<EmulatedV4l2Node> node;
    std::string nodePath;
    {
        std::lock_guard lock(m_controllerLock);
        node = std::move(m_node);
        nodePath = std::move(m_nodeSysfsPath);
        m_node.reset();
        m_nodeSysfsPath.clear();
        m_nodeName.clear();
    }
    if (!node) return;
    // Requests of a client that still holds the node open fail from now on,
    // as for a device that was pulled out.
    node->disconnect();
    umockdev_testbed_uevent(sink.testbed(), nodePath.c_str(), "remove");
    umockdev_testbed_remove_device(sink.testbed(), nodePath.c_str());
}

}  // namespace tyvo::sim
