// The configuration, interface-setting, endpoint and capability trees built
// from descriptor bytes, without a device.

#include "sim/UsbDescriptors.h"
#include "usb/CCyBulkEndPoint.h"
#include "usb/CCyCapabilitySet.h"
#include "usb/CCyConfiguration.h"
#include "usb/CCyInterruptEndPoint.h"
#include "usb/CCyIsocEndPoint.h"

#include <gtest/gtest.h>

namespace {

using tyvo::sim::Bytes;
using tyvo::sim::ConfigurationLayout;
using tyvo::sim::EndpointLayout;
using tyvo::sim::InterfaceLayout;
using tyvo::sim::SuperSpeedCompanionLayout;

std::unique_ptr<CCyConfiguration> build(const Bytes& set, bool& malformed,
                                        CCyDescriptorForm form = CCyDescriptorForm::Usb2) {
    malformed = false;
    return CCyConfiguration::Build(set, form, nullptr, malformed);
}

TEST(EndpointFromDescriptor, PacketSizeTakesMultiplierBurstAndIsochronousMultFromTheCompanion) {
    // wMaxPacketSize 0x1400: 1024 bytes, multiplier bits 2 -> 3 transactions.
    const uint8_t hsIso[7] = {7, 5, 0x81, 0x05, 0x00, 0x14, 1};
    CCyIsocEndPoint iso(nullptr, hsIso);
    EXPECT_EQ(iso.Multiplier(), 3);
    EXPECT_EQ(iso.MaxPacketSize(), 3072);
    EXPECT_TRUE(iso.IsIn());

    // SuperSpeed bulk: 1024 x (bMaxBurst 15 + 1); isochronous Mult only for iso.
    const uint8_t ssBulk[7] = {7, 5, 0x02, 0x02, 0x00, 0x04, 0};
    const uint8_t companion[6] = {6, 0x30, 15, 2, 0, 0};
    CCyBulkEndPoint bulk(nullptr, ssBulk, companion);
    EXPECT_EQ(bulk.MaxPacketSize(), 16384);
    EXPECT_EQ(bulk.MaxBurst(), 15);
    EXPECT_FALSE(bulk.IsIn());

    const uint8_t ssIso[7] = {7, 5, 0x83, 0x01, 0x00, 0x04, 1};
    const uint8_t isoCompanion[6] = {6, 0x30, 3, 2, 0x00, 0x30};
    CCyIsocEndPoint ssIsoEp(nullptr, ssIso, isoCompanion);
    EXPECT_EQ(ssIsoEp.MaxPacketSize(), 1024 * 4 * 3);
    EXPECT_EQ(ssIsoEp.BytesPerInterval(), 0x3000);

    // A nonsense descriptor saturates instead of wrapping the 16-bit field.
    const uint8_t huge[7] = {7, 5, 0x81, 0x01, 0xFF, 0x1F, 1};
    const uint8_t hugeCompanion[6] = {6, 0x30, 15, 3, 0, 0};
    CCyIsocEndPoint saturated(nullptr, huge, hugeCompanion);
    EXPECT_EQ(saturated.MaxPacketSize(), 0xFFFF);
}

TEST(ConfigurationTree, SettingsEndpointsAndAlternateCountsFollowDescriptorOrder) {
    ConfigurationLayout layout;
    InterfaceLayout video;
    video.number = 0;
    video.interfaceClass = 0x0E;
    video.extraBefore = {5, 0x24, 1, 0, 0};  // class-specific header between interface and endpoint
    video.endpoints = {EndpointLayout{0x83, 3, 16, 8, {}, {}}};
    InterfaceLayout stream0;
    stream0.number = 1;
    InterfaceLayout stream1;
    stream1.number = 1;
    stream1.alternate = 1;
    stream1.endpoints = {EndpointLayout{0x81, 0x05, 0x1400, 1, {}, {}}, EndpointLayout{0x02, 2, 512, 0, {}, {}}};
    layout.interfaces = {video, stream0, stream1};
    bool malformed = true;
    auto config = build(buildConfiguration(layout), malformed);
    ASSERT_TRUE(config);
    EXPECT_FALSE(malformed);
    EXPECT_EQ(config->NumInterfaces(), 2);
    ASSERT_EQ(config->SettingCount(), 3);
    EXPECT_EQ(config->Setting(0)->AltSettingCount(), 1);
    EXPECT_EQ(config->Setting(1)->AltSettingCount(), 2);
    EXPECT_EQ(config->Setting(2)->AltSettingCount(), 2);
    // Total length counts the class-specific descriptor it stepped over.
    EXPECT_EQ(config->Setting(0)->TotalLength(), 9 + 5 + 7);
    EXPECT_NE(dynamic_cast<CCyInterruptEndPoint*>(config->Setting(0)->EndPoint(1)), nullptr);
    const CCyInterfaceSetting* alt = config->Setting(2);
    ASSERT_EQ(alt->EndPointCount(), 2);
    EXPECT_NE(dynamic_cast<CCyIsocEndPoint*>(alt->EndPoint(1)), nullptr);  // bmAttributes 0x05
    EXPECT_NE(dynamic_cast<CCyBulkEndPoint*>(alt->EndPoint(2)), nullptr);
    EXPECT_EQ(alt->EndPoint(0), nullptr);  // until it becomes current
}

TEST(ConfigurationTree, CompanionsCountOnlyInTheSuperSpeedForm) {
    ConfigurationLayout layout;
    InterfaceLayout itf;
    itf.endpoints = {EndpointLayout{0x81, 2, 1024, 0, SuperSpeedCompanionLayout{3, 0, 0}, {}},
                     EndpointLayout{0x01, 2, 1024, 0, SuperSpeedCompanionLayout{0, 0, 0}, {}}};
    layout.interfaces = {itf};
    const Bytes set = buildConfiguration(layout);
    bool malformed = false;
    auto ss = build(set, malformed, CCyDescriptorForm::SuperSpeed);
    ASSERT_TRUE(ss && !malformed);
    EXPECT_EQ(ss->Setting(0)->EndPoint(1)->MaxPacketSize(), 4096);
    EXPECT_EQ(ss->Setting(0)->EndPoint(1)->CompanionType(), 0x30);
    EXPECT_EQ(ss->Setting(0)->TotalLength(), 9 + 2 * (7 + 6));

    auto usb2 = build(set, malformed, CCyDescriptorForm::Usb2);
    ASSERT_TRUE(usb2 && !malformed);
    EXPECT_EQ(usb2->Setting(0)->EndPoint(1)->MaxPacketSize(), 1024);
    EXPECT_EQ(usb2->Setting(0)->EndPoint(1)->CompanionType(), 0);
    EXPECT_EQ(usb2->Setting(0)->EndPointCount(), 2);
}

TEST(ConfigurationTree, AtMostEightSettingsAndElevenOtherDescriptorsPerSetting) {
    ConfigurationLayout layout;
    for (uint8_t i = 0; i < 10; ++i) {
        InterfaceLayout itf;
        itf.number = i;
        layout.interfaces.push_back(itf);
    }
    bool malformed = false;
    auto many = build(buildConfiguration(layout), malformed);
    ASSERT_TRUE(many);
    EXPECT_EQ(many->SettingCount(), 8);
    EXPECT_FALSE(malformed);

    // Twelve class-specific descriptors before the only endpoint: the walk
    // gives up after the eleventh and the endpoint is not found.
    InterfaceLayout crowded;
    for (int i = 0; i < 12; ++i) crowded.extraBefore.insert(crowded.extraBefore.end(), {3, 0x24, 0});
    crowded.endpoints = {EndpointLayout{0x81, 2, 512, 0, {}, {}}};
    ConfigurationLayout one;
    one.interfaces = {crowded};
    auto config = build(buildConfiguration(one), malformed);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->Setting(0)->EndPointCount(), 0);
    EXPECT_EQ(config->Setting(0)->TotalLength(), 9 + 11 * 3);

    crowded.extraBefore.resize(11 * 3);
    one.interfaces = {crowded};
    config = build(buildConfiguration(one), malformed);
    EXPECT_EQ(config->Setting(0)->EndPointCount(), 0);  // the eleventh ends the walk too
    crowded.extraBefore.resize(10 * 3);
    one.interfaces = {crowded};
    config = build(buildConfiguration(one), malformed);
    EXPECT_EQ(config->Setting(0)->EndPointCount(), 1);
}

TEST(ConfigurationTree, MalformedSetsEndTheWalkAndAreReported) {
    ConfigurationLayout layout;
    InterfaceLayout itf;
    itf.endpoints = {EndpointLayout{0x81, 2, 512, 0, {}, {}}, EndpointLayout{0x02, 2, 512, 0, {}, {}}};
    layout.interfaces = {itf};
    const Bytes good = buildConfiguration(layout);
    bool malformed = false;

    Bytes zeroLength = good;
    zeroLength[9 + 9] = 0;  // first endpoint's bLength
    auto c = build(zeroLength, malformed);
    ASSERT_TRUE(c);
    EXPECT_TRUE(malformed);
    EXPECT_EQ(c->Setting(0)->EndPointCount(), 0);

    Bytes pastEnd = good;
    pastEnd[9 + 9 + 7] = 40;  // second endpoint claims to run past wTotalLength
    c = build(pastEnd, malformed);
    EXPECT_TRUE(malformed);
    EXPECT_EQ(c->Setting(0)->EndPointCount(), 1);

    Bytes longTotal = good;
    longTotal[2] = static_cast<uint8_t>(good.size() + 10);  // wTotalLength beyond the bytes
    c = build(longTotal, malformed);
    EXPECT_TRUE(malformed);

    Bytes tooManyEndpoints = good;
    tooManyEndpoints[9 + 4] = 3;  // bNumEndpoints 3, only 2 follow
    c = build(tooManyEndpoints, malformed);
    EXPECT_TRUE(malformed);
    EXPECT_EQ(c->Setting(0)->EndPointCount(), 2);

    Bytes shortEndpoint = good;
    shortEndpoint[9 + 9] = 4;
    c = build(shortEndpoint, malformed);
    EXPECT_TRUE(malformed);

    EXPECT_EQ(build(Bytes{9, 2, 9}, malformed), nullptr);
    EXPECT_TRUE(malformed);

    c = build(good, malformed);
    EXPECT_FALSE(malformed);
    EXPECT_EQ(c->Setting(0)->EndPointCount(), 2);
}

TEST(CapabilitySet, HoldsEachKnownCapabilityOnceAndStopsAtUnknownOrMalformedOnes) {
    tyvo::sim::BosLayout layout;
    layout.usb20ExtensionAttributes = 0x0000F41E;
    layout.superSpeed = tyvo::sim::BosLayout::SuperSpeed{};
    layout.containerId = std::array<uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    bool malformed = true;
    auto caps = CCyCapabilitySet::Build(buildBos(layout), malformed);
    ASSERT_TRUE(caps);
    EXPECT_FALSE(malformed);
    EXPECT_EQ(caps->NumDeviceCaps(), 3);
    ASSERT_TRUE(caps->Usb20Extension());
    EXPECT_EQ(caps->Usb20Extension()->bmAttributes, 0x0000F41Eu);
    ASSERT_TRUE(caps->SuperSpeed());
    EXPECT_EQ(caps->SuperSpeed()->wU2DevExitLat, 2047);
    ASSERT_TRUE(caps->ContainerId());
    EXPECT_EQ(caps->ContainerId()->containerId[15], 16);

    // A platform capability (type 5) ends the walk: the container id after it is not taken.
    tyvo::sim::BosLayout platformFirst;
    platformFirst.usb20ExtensionAttributes = 2;
    platformFirst.extraCapabilities = {Bytes{20, 0x10, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
                                       Bytes{20, 0x10, 4, 0, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9}};
    caps = CCyCapabilitySet::Build(buildBos(platformFirst), malformed);
    EXPECT_FALSE(malformed);
    EXPECT_TRUE(caps->Usb20Extension());
    EXPECT_FALSE(caps->ContainerId());

    Bytes bad = buildBos(layout);
    bad[5] = 0;  // first capability with bLength 0
    caps = CCyCapabilitySet::Build(bad, malformed);
    EXPECT_TRUE(malformed);
    EXPECT_FALSE(caps->Usb20Extension());

    Bytes overrun = buildBos(layout);
    overrun[4] = 4;  // announces a fourth capability that is not there
    caps = CCyCapabilitySet::Build(overrun, malformed);
    EXPECT_TRUE(malformed);
    EXPECT_TRUE(caps->ContainerId());

    Bytes shortSs = buildBos(layout);
    shortSs[5 + 7] = 6;  // SuperSpeed capability too short for its fields
    caps = CCyCapabilitySet::Build(shortSs, malformed);
    EXPECT_TRUE(malformed);
}

}  // namespace
