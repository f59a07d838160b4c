#include <gtest/gtest.h>

#include <typeinfo>

#include "camera/controllers/CyUVCDevice.h"
#include "camera/controllers/OV580UVCDevice.h"
#include "devices/DeviceModelManifest.h"
#include "firmware/restore/CyBootLoaderDevice.h"
#include "firmware/restore/CyBootProgrammerDevice.h"

namespace {

struct Row {
    uint32_t kind, vendor, product;
};

TEST(Manifest, FiveRowsInMatchingOrder) {
    DeviceModelManifest manifest;
    const Row expected[] = {
        {0, 0xF182, 0x0003}, {0, 0x05A9, 0xF580}, {0, 0xF182, 0x1001}, {1, 0x04B4, 0x00F3}, {1, 0x04B4, 0x4720}};
    ASSERT_EQ(manifest.Models().size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(manifest.Models()[i]->kind, expected[i].kind) << i;
        EXPECT_EQ(manifest.Models()[i]->vendorId, expected[i].vendor) << i;
        EXPECT_EQ(manifest.Models()[i]->productId, expected[i].product) << i;
    }
}

TEST(Manifest, EachRowBuildsItsDeviceClass) {
    DeviceModelManifest manifest;
    EXPECT_NE(dynamic_cast<DeviceModel<CyUVCDevice>*>(manifest.Models()[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<DeviceModel<OV580UVCDevice>*>(manifest.Models()[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<DeviceModel<OV580UVCDevice>*>(manifest.Models()[2].get()), nullptr);
    EXPECT_NE(dynamic_cast<DeviceModel<CyBootLoaderDevice>*>(manifest.Models()[3].get()), nullptr);
    EXPECT_NE(dynamic_cast<DeviceModel<CyBootProgrammerDevice>*>(manifest.Models()[4].get()), nullptr);
}

TEST(Manifest, KindVendorAndProductMustAllMatch) {
    DeviceModelManifest manifest;
    EXPECT_EQ(manifest.Match(0, 0x04B4, 0x00F3), nullptr) << "boot loader seen in the image class";
    EXPECT_EQ(manifest.Match(1, 0x04B4, 0x00F3), manifest.Models()[3]);
    EXPECT_EQ(manifest.Match(0, 0xF182, 0x0003), manifest.Models()[0]);
    EXPECT_EQ(manifest.Match(0, 0xF182, 0x1001), manifest.Models()[2]);
    EXPECT_EQ(manifest.Match(1, 0xF182, 0x0003), nullptr);
    EXPECT_EQ(manifest.Match(0, 0x1234, 0x5678), nullptr);
}

}  // namespace
