// Descriptor builders and the device's answers to GET_DESCRIPTOR.

#include "sim/UsbDescriptors.h"

#include <gtest/gtest.h>

namespace tyvo::sim {
namespace {

TEST(UsbDescriptors, ConfigurationCountsDistinctInterfacesAndItsWholeLength) {
    ConfigurationLayout layout;
    InterfaceLayout a;
    a.endpoints = {EndpointLayout{0x81, 2, 512, 0, SuperSpeedCompanionLayout{}, {}}};
    InterfaceLayout b = a;
    b.alternate = 1;
    InterfaceLayout c;
    c.number = 1;
    c.extraBefore = {4, 0x24, 1, 2};
    layout.interfaces = {a, b, c};
    const Bytes set = buildConfiguration(layout);
    EXPECT_EQ(set.size(), 9u + 2 * (9 + 7 + 6) + 9 + 4);
    EXPECT_EQ(set[2] | set[3] << 8, static_cast<int>(set.size()));
    EXPECT_EQ(set[4], 2);  // two interface numbers
}

TEST(UsbDescriptors, StringsAnswerOnlyInTheDevicesLanguages) {
    DeviceDescriptors d;
    d.device = buildDeviceDescriptor(DeviceLayout{});
    d.strings[1] = u"Tyvo";
    d.languages = {0x0407, 0x0409};
    EXPECT_EQ(d.descriptor(3, 0, 0), (Bytes{6, 3, 0x07, 0x04, 0x09, 0x04}));
    EXPECT_EQ(d.descriptor(3, 1, 0x0409), (Bytes{10, 3, 'T', 0, 'y', 0, 'v', 0, 'o', 0}));
    EXPECT_FALSE(d.descriptor(3, 1, 0x040C));
    EXPECT_FALSE(d.descriptor(3, 2, 0x0409));
    EXPECT_FALSE(d.descriptor(2, 0, 0));  // no configuration given
    EXPECT_FALSE(d.descriptor(0x0F, 0, 0));
    // A long text is cut to what one descriptor holds.
    EXPECT_EQ(buildStringDescriptor(std::u16string(300, u'x')).size(), 254u);
}

}  // namespace
}  // namespace tyvo::sim
