#include "usb/CCyDriverDevice.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

constexpr uint8_t kDeviceDescriptor = 1;
constexpr uint8_t kConfigurationDescriptor = 2;
constexpr uint8_t kStringDescriptor = 3;
constexpr uint8_t kBosDescriptor = 0x0F;
constexpr uint16_t kEnglishUs = 0x0409;
constexpr std::size_t kNameField = 256;
constexpr std::size_t kStringField = 256;  // UTF-16LE: 127 code units and a zero

}  // namespace

CCyDriverDevice::CCyDriverDevice(DriverGuid guid, bool openNow, std::shared_ptr<UsbDriverPort> port)
    : m_port(port ? std::move(port) : std::make_shared<UsbDriverPort>()), m_guid(guid) {
    if (openNow) Open(0);
}

CCyDriverDevice::~CCyDriverDevice() {
    // A destructor must not throw; a failing close has nothing left to tell.
    try {
        Close();
    } catch (const std::exception&) {
    }
}

uint8_t CCyDriverDevice::DeviceCount() {
    uint32_t error = 0;
    const auto devices = m_port->presentDevices(error);
    if (error) m_lastError = error;
    m_deviceCount = static_cast<uint8_t>(std::min<std::size_t>(devices.size(), 255));
    return m_deviceCount;
}

bool CCyDriverDevice::DriverControl(uint32_t code, void* buffer, uint32_t size) {
    if (!m_handle) return false;
    uint32_t bytes = 0;
    const uint32_t error = m_handle->ioControl(code, buffer, size, buffer, size, bytes, nullptr);
    m_bytesXfered = bytes;
    if (error != 0) {
        m_lastError = error;
        return false;
    }
    return bytes == size;
}

bool CCyDriverDevice::ReadDescriptor(uint8_t type, uint8_t index, uint16_t length, std::vector<uint8_t>& out) {
    DriverTransferBlock block(length);
    block.setRequestType(0x80);
    block.setRequest(6);
    block.setValue(static_cast<uint16_t>(type << 8 | index));
    block.setIndex(type == kStringDescriptor ? m_languageId : 0);
    block.setLength(length);
    block.setTimeoutSeconds(kDescriptorTimeoutSeconds);
    block.setBuffer(DriverTransferBlock::kHeaderSize, length);
    const bool ok =
        DriverControl(DriverIoControl::kEndpointZeroTransfer, block.bytes(), static_cast<uint32_t>(block.size()));
    m_usbdStatus = block.usbdStatus();
    m_ntStatus = block.ntStatus();
    if (!ok) return false;
    out.assign(block.bytes() + DriverTransferBlock::kHeaderSize, block.bytes() + block.size());
    return true;
}

bool CCyDriverDevice::ReadVariableDescriptor(uint8_t type, uint8_t index, uint16_t firstLength, bool lengthIsTotal,
                                             uint16_t minimum, std::vector<uint8_t>& out) {
    std::vector<uint8_t> head;
    if (!ReadDescriptor(type, index, firstLength, head)) return false;
    const uint16_t total = lengthIsTotal ? static_cast<uint16_t>(head[2] | head[3] << 8) : head[0];
    // The device's length is checked before anything is read for it.
    if (total < minimum) return false;
    return ReadDescriptor(type, index, total, out);
}

void CCyDriverDevice::ReadDeviceDescriptor() {
    std::vector<uint8_t> d;
    if (!ReadDescriptor(kDeviceDescriptor, 0, 18, d)) return;
    m_deviceDescriptor = d;
    m_bcdUSB = static_cast<uint16_t>(d[2] | d[3] << 8);
    m_devClass = d[4];
    m_devSubClass = d[5];
    m_devProtocol = d[6];
    if (m_bcdUSB >= 0x0300)
        m_maxPacketSize = d[7] < 32 ? 1u << d[7] : 0;
    else
        m_maxPacketSize = d[7];
    m_vendorId = static_cast<uint16_t>(d[8] | d[9] << 8);
    m_productId = static_cast<uint16_t>(d[10] | d[11] << 8);
    m_bcdDevice = static_cast<uint16_t>(d[12] | d[13] << 8);
    m_configCount = d[17];
}

void CCyDriverDevice::ReadLanguage() {
    std::vector<uint8_t> list;
    m_languageId = 0;
    if (!ReadVariableDescriptor(kStringDescriptor, 0, 2, false, 2, list)) return;
    const std::size_t count = (list.size() - 2) / 2;
    for (std::size_t i = 0; i < count; ++i) {
        const uint16_t id = static_cast<uint16_t>(list[2 + 2 * i] | list[3 + 2 * i] << 8);
        if (i == 0) m_languageId = id;
        if (id == kEnglishUs) m_languageId = kEnglishUs;
    }
}

void CCyDriverDevice::ReadString(uint8_t index, std::u16string& into) {
    // Index 0 means the device has no such string (string 0 is the language list).
    if (index == 0) return;
    std::vector<uint8_t> s;
    if (!ReadVariableDescriptor(kStringDescriptor, index, 2, false, 2, s)) return;
    if (s[0] <= 2 || s[1] != kStringDescriptor) return;
    const std::size_t bytes = std::min<std::size_t>(s[0] - 2u, kStringField - 2);
    into.clear();
    for (std::size_t i = 0; i + 1 < bytes; i += 2) into.push_back(static_cast<char16_t>(s[2 + i] | s[3 + i] << 8));
}

uint32_t CCyDriverDevice::QueryWord(uint32_t code) {
    uint8_t bytes[4] = {};
    return DriverControl(code, bytes, 4) ? DriverTransferBlock::read32(bytes) : 0;
}

std::string CCyDriverDevice::QueryName(uint32_t code) {
    char name[kNameField] = {};
    if (!DriverControl(code, name, kNameField)) return {};
    return std::string(name, strnlen(name, kNameField - 1));
}

void CCyDriverDevice::ReportMalformed(const char* caption, const char* text) {
    // Where the driver's own tool showed a message box: caption, then text.
    std::fprintf(stderr, "%s\n%s\n", caption, text);
    std::fflush(stderr);
}

bool CCyDriverDevice::Open(uint8_t index) {
    if (IsOpen()) Close();

    uint32_t error = 0;
    const auto devices = m_port->presentDevices(error);
    m_deviceCount = static_cast<uint8_t>(std::min<std::size_t>(devices.size(), 255));
    if (m_deviceCount == 0 || index > m_deviceCount - 1) {
        m_lastError = error ? error : ENODEV;
        m_deviceIndex = 0;
        return false;
    }
    // Nothing of a device opened before may show through this one.
    m_manufacturer.clear();
    m_product.clear();
    m_serialNumber.clear();
    m_bcdUSB = m_vendorId = m_productId = m_bcdDevice = 0;
    m_devClass = m_devSubClass = m_devProtocol = m_configCount = 0;
    m_maxPacketSize = 0;
    m_devicePath = devices[index].path.substr(0, kNameField - 1);
    m_handle = m_port->open(devices[index].path, error);
    if (!m_handle) {
        m_lastError = error;
        m_deviceIndex = 0;
        return false;
    }
    m_deviceIndex = index;

    ReadDeviceDescriptor();
    ReadLanguage();
    if (m_deviceDescriptor.size() == 18) {
        ReadString(m_deviceDescriptor[14], m_manufacturer);
        ReadString(m_deviceDescriptor[15], m_product);
        ReadString(m_deviceDescriptor[16], m_serialNumber);
    }

    if ((m_bcdUSB & 0xFF00) == 0x0300 && ReadVariableDescriptor(kBosDescriptor, 0, 5, true, 5, m_bos)) {
        bool malformed = false;
        m_capabilities = CCyCapabilitySet::Build(m_bos, malformed);
        if (malformed) {
            ReportMalformed("Wrong BOS Descriptor", "Please correct firmware BOS descriptor table");
            Close();
            return false;
        }
    }

    uint8_t address = 0;
    m_usbAddress = DriverControl(DriverIoControl::kBusAddress, &address, 1) ? address : 0;
    m_deviceName = QueryName(DriverIoControl::kDeviceName);
    m_friendlyName = QueryName(DriverIoControl::kFriendlyName);
    m_driverVersion = QueryWord(DriverIoControl::kDriverVersion);
    m_usbdiVersion = QueryWord(DriverIoControl::kUsbdiVersion);
    m_highSpeed = false;
    m_superSpeed = false;
    const uint32_t speed = QueryWord(DriverIoControl::kBusSpeed);
    m_highSpeed = speed == 2;
    m_superSpeed = speed == 4;

    const int held = std::min<int>(m_configCount, kMaxConfigurations);
    for (int i = 0; i < held; ++i) {
        if (!ReadVariableDescriptor(kConfigurationDescriptor, static_cast<uint8_t>(i), 9, true, 9, m_configSets[i]))
            continue;
        const auto form = (m_bcdUSB & 0xFF00) == 0x0200 ? CCyDescriptorForm::Usb2 : CCyDescriptorForm::SuperSpeed;
        bool malformed = false;
        m_configs[i] = CCyConfiguration::Build(m_configSets[i], form, m_handle.get(), malformed);
        if (malformed) {
            ReportMalformed("Wrong Device Configuration", "Please correct firmware descriptor table");
            Close();
            return false;
        }
    }

    // Endpoint zero, as if from a 7-byte endpoint descriptor.
    const uint8_t ep0[7] = {
        7, 5, 0, 0, static_cast<uint8_t>(m_maxPacketSize), static_cast<uint8_t>(m_maxPacketSize >> 8), 0};
    m_control = std::make_unique<CCyControlEndPoint>(m_handle.get(), ep0);

    if (!m_configs[0] || m_configs[0]->SettingCount() == 0) return false;
    SelectConfiguration(0);
    return true;
}

void CCyDriverDevice::ReleaseTree() {
    m_deviceDescriptor.clear();
    m_bos.clear();
    m_capabilities.reset();
    for (int i = 0; i < kMaxConfigurations; ++i) {
        m_configs[i].reset();
        m_configSets[i].clear();
    }
    m_control.reset();
    m_bulkIn = m_bulkOut = m_interruptIn = m_interruptOut = m_isocIn = m_isocOut = nullptr;
}

void CCyDriverDevice::Close() {
    if (m_handle) {
        const uint32_t error = m_handle->close();
        if (error != 0) {
            m_lastError = error;
            throw std::runtime_error("Failed to close handle to driver.");
        }
        m_handle.reset();
    }
    ReleaseTree();
}

CCyConfiguration* CCyDriverDevice::Configuration(int index) const {
    return index >= 0 && index < kMaxConfigurations ? m_configs[index].get() : nullptr;
}

std::span<const uint8_t> CCyDriverDevice::ConfigurationDescriptorSet(int index) const {
    if (index < 0 || index >= kMaxConfigurations) return {};
    return m_configSets[index];
}

CCyInterfaceSetting* CCyDriverDevice::CurrentSetting() const {
    const CCyConfiguration* c = Configuration(m_configIndex);
    return c ? c->Setting(m_altSettingIndex) : nullptr;
}

CCyUSBEndPoint* CCyDriverDevice::EndPoint(int slot) const {
    const CCyInterfaceSetting* s = CurrentSetting();
    return s ? s->EndPoint(slot) : nullptr;
}

int CCyDriverDevice::EndPointCount() const {
    const CCyInterfaceSetting* s = CurrentSetting();
    return s ? s->EndPointCount() : 0;
}

uint8_t CCyDriverDevice::QueryAltSetting() {
    uint8_t alternate = 0;
    return DriverControl(DriverIoControl::kAlternateSetting, &alternate, 1) ? alternate : 0xFF;
}

bool CCyDriverDevice::SelectConfiguration(uint8_t index) {
    CCyConfiguration* c = Configuration(index);
    if (!c) return false;
    m_configIndex = index;
    m_configValue = c->ConfigurationValue();
    m_configAttributes = c->Attributes();
    m_maxPower = c->MaxPower();
    m_interfaceCount = c->NumInterfaces();
    m_altSettingCount = c->SettingCount();
    m_interfaceNumber = c->Setting(0) ? c->Setting(0)->InterfaceNumber() : 0;
    SelectAltSetting(QueryAltSetting());
    if (const CCyInterfaceSetting* s = CurrentSetting()) {
        m_interfaceClass = s->InterfaceClass();
        m_interfaceSubClass = s->InterfaceSubClass();
        m_interfaceProtocol = s->InterfaceProtocol();
    }
    return true;
}

bool CCyDriverDevice::SelectAltSetting(uint8_t alternateSetting) {
    const CCyConfiguration* c = Configuration(m_configIndex);
    if (!c) return false;
    int found = -1;
    for (int i = 0; i < c->SettingCount() && found < 0; ++i)
        if (c->Setting(i)->AlternateSetting() == alternateSetting) found = i;
    if (found < 0) return false;

    if (CCyInterfaceSetting* previous = CurrentSetting()) previous->SetControlEndPoint(nullptr);
    m_altSettingIndex = static_cast<uint8_t>(found);
    CCyInterfaceSetting* s = c->Setting(found);
    m_interfaceClass = s->InterfaceClass();
    m_interfaceSubClass = s->InterfaceSubClass();
    m_interfaceProtocol = s->InterfaceProtocol();
    s->SetControlEndPoint(m_control.get());

    m_bulkIn = m_bulkOut = m_interruptIn = m_interruptOut = m_isocIn = m_isocOut = nullptr;
    for (int slot = 1; slot <= s->EndPointCount(); ++slot) {
        CCyUSBEndPoint* ep = s->EndPoint(slot);
        CCyUSBEndPoint** shortcut = nullptr;
        switch (ep->TransferType()) {
            case 1: shortcut = ep->IsIn() ? &m_isocIn : &m_isocOut; break;
            case 2: shortcut = ep->IsIn() ? &m_bulkIn : &m_bulkOut; break;
            case 3: shortcut = ep->IsIn() ? &m_interruptIn : &m_interruptOut; break;
            default: break;
        }
        if (shortcut && !*shortcut) *shortcut = ep;
        // The setting's own endpoints; endpoint zero keeps its buffered mode,
        // or control reads would never reach the caller's buffer.
        ep->SetTransferMode(CCyTransferMode::Direct);
    }
    return true;
}
