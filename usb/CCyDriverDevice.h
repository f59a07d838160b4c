#pragma once
// A device served by the driver port: opening the N-th present device,
// reading its descriptors by endpoint-zero requests, the tree of
// configurations, interface settings and endpoints, the current
// configuration and alternate setting, and closing. Used by one thread at a
// time.

#include "usb/CCyCapabilitySet.h"
#include "usb/CCyConfiguration.h"
#include "usb/CCyControlEndPoint.h"
#include "usb/DriverHandle.h"
#include "usb/UsbDriverPort.h"

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

struct DriverGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    std::array<uint8_t, 8> data4;
    bool operator==(const DriverGuid&) const = default;
};

// {AE18AA60-7F6A-11D4-97DD-00010229B959}
inline constexpr DriverGuid kDriverInterfaceGuid{
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};

class CCyDriverDevice {
public:
    static constexpr int kMaxConfigurations = 2;
    static constexpr uint32_t kDescriptorTimeoutSeconds = 5;

    // With openNow, opens device index 0. A null port gets a port (and
    // libusb context) of its own.
    explicit CCyDriverDevice(DriverGuid guid = kDriverInterfaceGuid, bool openNow = true,
                             std::shared_ptr<UsbDriverPort> port = nullptr);
    virtual ~CCyDriverDevice();
    CCyDriverDevice(const CCyDriverDevice&) = delete;
    CCyDriverDevice& operator=(const CCyDriverDevice&) = delete;

    uint8_t DeviceCount();
    bool Open(uint8_t index);
    // Throws std::runtime_error with the driver's texts when closing fails.
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }

    bool SelectConfiguration(uint8_t index);
    bool SelectAltSetting(uint8_t alternateSetting);
    uint8_t QueryAltSetting();
    bool DriverControl(uint32_t code, void* buffer, uint32_t size);

    // The tree.
    CCyControlEndPoint* ControlEndPoint() const { return m_control.get(); }
    CCyUSBEndPoint* BulkInEndPoint() const { return m_bulkIn; }
    CCyUSBEndPoint* BulkOutEndPoint() const { return m_bulkOut; }
    CCyUSBEndPoint* InterruptInEndPoint() const { return m_interruptIn; }
    CCyUSBEndPoint* InterruptOutEndPoint() const { return m_interruptOut; }
    CCyUSBEndPoint* IsocInEndPoint() const { return m_isocIn; }
    CCyUSBEndPoint* IsocOutEndPoint() const { return m_isocOut; }
    // Endpoints of the current setting: slot 0 the control endpoint once the
    // setting is current, then its own endpoints.
    CCyUSBEndPoint* EndPoint(int slot) const;
    int EndPointCount() const;
    CCyConfiguration* Configuration(int index) const;
    CCyInterfaceSetting* CurrentSetting() const;
    const CCyCapabilitySet* CapabilitySet() const { return m_capabilities.get(); }
    std::span<const uint8_t> DeviceDescriptor() const { return m_deviceDescriptor; }
    std::span<const uint8_t> ConfigurationDescriptorSet(int index) const;
    std::span<const uint8_t> BosDescriptorSet() const { return m_bos; }

    // Identity and state.
    uint16_t LanguageId() const { return m_languageId; }
    uint32_t LastError() const { return m_lastError; }
    uint32_t UsbdStatus() const { return m_usbdStatus; }
    uint32_t NtStatus() const { return m_ntStatus; }
    uint32_t DriverVersion() const { return m_driverVersion; }
    uint32_t UsbdiVersion() const { return m_usbdiVersion; }
    std::string DeviceName() const { return m_deviceName; }
    std::string FriendlyName() const { return m_friendlyName; }
    std::u16string Manufacturer() const { return m_manufacturer; }
    std::u16string Product() const { return m_product; }
    std::u16string SerialNumber() const { return m_serialNumber; }
    std::string DevicePath() const { return m_devicePath; }
    uint16_t BcdUSB() const { return m_bcdUSB; }
    uint16_t VendorID() const { return m_vendorId; }
    uint16_t ProductID() const { return m_productId; }
    uint8_t USBAddress() const { return m_usbAddress; }
    uint8_t DevClass() const { return m_devClass; }
    uint8_t DevSubClass() const { return m_devSubClass; }
    uint8_t DevProtocol() const { return m_devProtocol; }
    uint32_t MaxPacketSize() const { return m_maxPacketSize; }
    uint16_t BcdDevice() const { return m_bcdDevice; }
    uint8_t ConfigValue() const { return m_configValue; }
    uint8_t ConfigAttrib() const { return m_configAttributes; }
    uint8_t MaxPower() const { return m_maxPower; }
    uint8_t IntfcClass() const { return m_interfaceClass; }
    uint8_t IntfcSubClass() const { return m_interfaceSubClass; }
    uint8_t IntfcProtocol() const { return m_interfaceProtocol; }
    bool IsHighSpeed() const { return m_highSpeed; }
    bool IsSuperSpeed() const { return m_superSpeed; }
    uint32_t BytesXfered() const { return m_bytesXfered; }
    DriverGuid DriverGUID() const { return m_guid; }
    uint8_t DevCount() const { return m_deviceCount; }
    uint8_t InterfaceCount() const { return m_interfaceCount; }
    uint8_t AltIntfcCount() const { return m_altSettingCount; }
    uint8_t ConfigCount() const { return m_configCount; }
    uint8_t DeviceIndex() const { return m_deviceIndex; }
    uint8_t ConfigIndex() const { return m_configIndex; }
    uint8_t IntfcNumber() const { return m_interfaceNumber; }
    uint8_t AltSettingIndex() const { return m_altSettingIndex; }

protected:
    DriverHandle* Handle() const { return m_handle.get(); }

private:
    bool ReadDescriptor(uint8_t type, uint8_t index, uint16_t length, std::vector<uint8_t>& out);
    // First read gives the length (a u16 at lengthOffset, or bLength), second
    // reads it all; false when either read fails or the length is too short.
    bool ReadVariableDescriptor(uint8_t type, uint8_t index, uint16_t firstLength, bool lengthIsTotal, uint16_t minimum,
                                std::vector<uint8_t>& out);
    void ReadDeviceDescriptor();
    void ReadLanguage();
    void ReadString(uint8_t index, std::u16string& into);
    uint32_t QueryWord(uint32_t code);
    std::string QueryName(uint32_t code);
    void ReportMalformed(const char* caption, const char* text);
    void ReleaseTree();

    std::shared_ptr<UsbDriverPort> m_port;
    std::unique_ptr<DriverHandle> m_handle;

    std::unique_ptr<CCyCapabilitySet> m_capabilities;
    std::unique_ptr<CCyControlEndPoint> m_control;
    CCyUSBEndPoint* m_bulkIn = nullptr;
    CCyUSBEndPoint* m_bulkOut = nullptr;
    CCyUSBEndPoint* m_interruptIn = nullptr;
    CCyUSBEndPoint* m_interruptOut = nullptr;
    CCyUSBEndPoint* m_isocIn = nullptr;
    CCyUSBEndPoint* m_isocOut = nullptr;

    uint16_t m_languageId = 0;
    uint32_t m_lastError = 0;
    uint32_t m_usbdStatus = 0;
    uint32_t m_ntStatus = 0;
    uint32_t m_driverVersion = 0;
    uint32_t m_usbdiVersion = 0;
    std::string m_deviceName;
    std::string m_friendlyName;
    std::u16string m_manufacturer;
    std::u16string m_product;
    std::u16string m_serialNumber;
    std::string m_devicePath;

    uint16_t m_bcdUSB = 0;
    uint16_t m_vendorId = 0;
    uint16_t m_productId = 0;
    uint8_t m_usbAddress = 0;
    uint8_t m_devClass = 0;
    uint8_t m_devSubClass = 0;
    uint8_t m_devProtocol = 0;
    uint32_t m_maxPacketSize = 0;
    uint16_t m_bcdDevice = 0;
    uint8_t m_configValue = 0;
    uint8_t m_configAttributes = 0;
    uint8_t m_maxPower = 0;
    uint8_t m_interfaceClass = 0;
    uint8_t m_interfaceSubClass = 0;
    uint8_t m_interfaceProtocol = 0;
    bool m_highSpeed = false;
    bool m_superSpeed = false;
    uint32_t m_bytesXfered = 0;

    std::vector<uint8_t> m_deviceDescriptor;
    std::array<std::vector<uint8_t>, kMaxConfigurations> m_configSets;
    std::vector<uint8_t> m_bos;
    std::array<std::unique_ptr<CCyConfiguration>, kMaxConfigurations> m_configs;

    DriverGuid m_guid;
    uint8_t m_deviceCount = 0;
    uint8_t m_interfaceCount = 0;
    uint8_t m_altSettingCount = 0;
    uint8_t m_configCount = 0;
    uint8_t m_deviceIndex = 0;
    uint8_t m_configIndex = 0;
    uint8_t m_interfaceNumber = 0;
    uint8_t m_altSettingIndex = 0;
};
