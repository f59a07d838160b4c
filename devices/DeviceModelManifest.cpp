#include "devices/DeviceModelManifest.h"

#include "camera/controllers/CyUVCDevice.h"
#include "camera/controllers/OV580UVCDevice.h"
#include "firmware/restore/CyBootLoaderDevice.h"
#include "firmware/restore/CyBootProgrammerDevice.h"
#include "usb/UsbDriverPort.h"

DeviceModelManifest::DeviceModelManifest() {
    // The order is the matching order.
    using Cy = CyUVCDevice;
    using Embedded = OV580UVCDevice;
    using Fx3 = UsbDriverPort;
    m_models.push_back(std::make_shared<DeviceModel<Cy>>(kImageClassDevice, Cy::kVendorId, Cy::kProductId));
    m_models.push_back(std::make_shared<DeviceModel<Embedded>>(kImageClassDevice, Embedded::kModuleVendorId,
                                                               Embedded::kModuleProductId));
    m_models.push_back(
        std::make_shared<DeviceModel<Embedded>>(kImageClassDevice, Embedded::kVendorId, Embedded::kProductId));
    m_models.push_back(
        std::make_shared<DeviceModel<CyBootLoaderDevice>>(kUsbClassDevice, Fx3::kVendorId, Fx3::kBootLoaderProductId));
    m_models.push_back(std::make_shared<DeviceModel<CyBootProgrammerDevice>>(kUsbClassDevice, Fx3::kVendorId,
                                                                             Fx3::kBootProgrammerProductId));
}

std::shared_ptr<DeviceModelBase> DeviceModelManifest::Match(uint32_t kind, uint32_t vendorId,
                                                            uint32_t productId) const {
    for (const auto& model : m_models) {
        if (model->Matches(kind, vendorId, productId)) return model;
    }
    return nullptr;
}
