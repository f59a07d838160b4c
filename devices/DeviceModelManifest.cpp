#include "devices/DeviceModelManifest.h"

#include "camera/CyUVCDevice.h"
#include "camera/OV580UVCDevice.h"
#include "firmware/CyBootLoaderDevice.h"
#include "firmware/CyBootProgrammerDevice.h"

DeviceModelManifest::DeviceModelManifest() {
    // The order is the matching order.
    m_models.push_back(std::make_shared<DeviceModel<CyUVCDevice>>(kImageClassDevice, 0xF182, 0x0003));
    m_models.push_back(
        std::make_shared<DeviceModel<OV580UVCDevice>>(kImageClassDevice, 0x05A9, 0xF580));
    m_models.push_back(
        std::make_shared<DeviceModel<OV580UVCDevice>>(kImageClassDevice, 0xF182, 0x1001));
    m_models.push_back(
        std::make_shared<DeviceModel<CyBootLoaderDevice>>(kUsbClassDevice, 0x04B4, 0x00F3));
    m_models.push_back(
        std::make_shared<DeviceModel<CyBootProgrammerDevice>>(kUsbClassDevice, 0x04B4, 0x4720));
}

std::shared_ptr<DeviceModelBase> DeviceModelManifest::Match(uint32_t kind, uint32_t vendorId,
                                                            uint32_t productId) const {
    for (const auto& model : m_models) {
        if (model->Matches(kind, vendorId, productId)) return model;
    }
    return nullptr;
}
