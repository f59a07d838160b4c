#include "sim/gadget/FunctionFsDescriptors.h"

#include "sim/Fx3Chip.h"

#include <gtest/gtest.h>
#include <linux/usb/functionfs.h>

#include <stdexcept>

namespace {

using namespace tyvo::sim;
using namespace tyvo::sim::gadget;

uint32_t le32(const Bytes& b, std::size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}

DeviceDescriptors bootLoaderDescriptors() { return Fx3Chip::create()->powerUp()->descriptors(); }

DeviceDescriptors withConfiguration(const ConfigurationLayout& config) {
    DeviceDescriptors d = bootLoaderDescriptors();
    d.configurations = {buildConfiguration(config)};
    return d;
}

TEST(FunctionFsDescriptors, TheBootLoadersInterfaceForBothSpeeds) {
    const Bytes block = FunctionFsDescriptorBlock(bootLoaderDescriptors());
    ASSERT_EQ(block.size(), 20u + 2 * USB_DT_INTERFACE_SIZE);
    EXPECT_EQ(le32(block, 0), FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    EXPECT_EQ(le32(block, 4), block.size()) << "the kernel refuses a block whose length field is wrong";
    EXPECT_EQ(le32(block, 12), 1u) << "full-speed descriptors";
    EXPECT_EQ(le32(block, 16), 1u) << "high-speed descriptors";
    for (std::size_t at : {std::size_t{20}, std::size_t{20 + USB_DT_INTERFACE_SIZE}}) {
        EXPECT_EQ(block[at + 1], USB_DT_INTERFACE);
        EXPECT_EQ(block[at + 4], 0) << "no endpoints besides ep0";
        EXPECT_EQ(block[at + 5], 0xFF) << "the vendor class of the model's interface";
        EXPECT_EQ(block[at + 8], 1) << "iInterface names the one string of the strings block";
    }
}

TEST(FunctionFsDescriptors, RequestsToTheDeviceReachTheFunction) {
    // The FX3's vendor requests name the device as recipient; without this
    // flag the kernel's composite layer stalls them itself.
    const uint32_t flags = le32(FunctionFsDescriptorBlock(bootLoaderDescriptors()), 8);
    EXPECT_TRUE(flags & FUNCTIONFS_ALL_CTRL_RECIP);
    EXPECT_TRUE(flags & FUNCTIONFS_HAS_FS_DESC);
    EXPECT_TRUE(flags & FUNCTIONFS_HAS_HS_DESC);
}

TEST(FunctionFsDescriptors, BootLoaderAndBootProgrammerShareOneFunction) {
    // The function's descriptors are written once; re-enumerating only
    // changes the device's identity, which holds only while both agree.
    auto chip = Fx3Chip::create();
    const DeviceDescriptors loader = chip->powerUp()->descriptors();
    auto programmer = std::make_shared<Fx3BootProgrammer>(chip);
    EXPECT_EQ(FunctionFsDescriptorBlock(loader), FunctionFsDescriptorBlock(programmer->descriptors()));
}

TEST(FunctionFsDescriptors, ConfigurationsThatCannotBeServedOnEp0AloneAreRefused) {
    ConfigurationLayout streaming;
    InterfaceLayout withEndpoint;
    withEndpoint.endpoints.push_back(EndpointLayout{});
    streaming.interfaces.push_back(withEndpoint);
    EXPECT_THROW(FunctionFsDescriptorBlock(withConfiguration(streaming)), std::invalid_argument);

    EXPECT_THROW(FunctionFsDescriptorBlock(withConfiguration(ConfigurationLayout{})), std::invalid_argument)
        << "no interface";

    DeviceDescriptors truncated = bootLoaderDescriptors();
    truncated.configurations.front().resize(12);
    EXPECT_THROW(FunctionFsDescriptorBlock(truncated), std::invalid_argument);

    DeviceDescriptors none = bootLoaderDescriptors();
    none.configurations.clear();
    EXPECT_THROW(FunctionFsDescriptorBlock(none), std::invalid_argument);
}

TEST(FunctionFsDescriptors, TheStringsBlockHoldsOneUsEnglishString) {
    const Bytes block = FunctionFsStringsBlock("Tyvo fx3");
    EXPECT_EQ(le32(block, 0), FUNCTIONFS_STRINGS_MAGIC);
    EXPECT_EQ(le32(block, 4), block.size());
    EXPECT_EQ(le32(block, 8), 1u);
    EXPECT_EQ(le32(block, 12), 1u);
    EXPECT_EQ(block[16] | block[17] << 8, 0x0409);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&block[18])), "Tyvo fx3");
    EXPECT_EQ(block.back(), 0) << "each string ends with its zero";
}

}  // namespace
