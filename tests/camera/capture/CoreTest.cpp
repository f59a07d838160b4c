// The device core: exposure conversions, the device-class table, timestamp
// smoothing, the base behaviours of the device interface and its events.

#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <vector>

#include "camera/capture/DeviceClass.h"
#include "camera/capture/ExposureConversion.h"
#include "camera/capture/HardwareAbstraction.h"
#include "context/CoreContext.h"

namespace {

TEST(ExposureConversion, SetSendsRoundedLog2Seconds) {
    EXPECT_EQ(exposureToLog2Seconds(0), -13);
    EXPECT_EQ(exposureToLog2Seconds(-50), -13);  // no logarithm: taken as 0
    EXPECT_EQ(exposureToLog2Seconds(1), -13);
    EXPECT_EQ(exposureToLog2Seconds(2), -12);
    EXPECT_EQ(exposureToLog2Seconds(5000), -1);
    EXPECT_EQ(exposureToLog2Seconds(10000), 0);  // one second
    EXPECT_EQ(exposureToLog2Seconds(20000), 1);
    // Half way between 2^-1 and 2^0 seconds lies at sqrt(0.5) s.
    EXPECT_EQ(exposureToLog2Seconds(7000), -1);
    EXPECT_EQ(exposureToLog2Seconds(7100), 0);
}

TEST(ExposureConversion, GetTurnsLog2SecondsInto100MicrosecondUnits) {
    EXPECT_EQ(exposureFromLog2Seconds(0), 10000);
    EXPECT_EQ(exposureFromLog2Seconds(-13), 1);
    EXPECT_EQ(exposureFromLog2Seconds(-1), 5000);
    EXPECT_EQ(exposureFromLog2Seconds(3), 80000);
    // The shift is taken modulo 32: -14 and 18 both shift into the sign bit,
    // whose product lies beyond the int range and is clamped.
    EXPECT_EQ(exposureFromLog2Seconds(-14), INT_MIN);
    EXPECT_EQ(exposureFromLog2Seconds(18), INT_MIN);
    EXPECT_EQ(exposureFromLog2Seconds(19), 1);
}

TEST(ExposureConversion, ValuesReachTheCameraAsPowersOfTwoSeconds) {
    EXPECT_EQ(exposureThroughLog2Seconds(10000), 10000);
    EXPECT_EQ(exposureThroughLog2Seconds(0), 1);
    EXPECT_EQ(exposureThroughLog2Seconds(7000), 5000);
    EXPECT_EQ(exposureThroughLog2Seconds(156), 156);
    EXPECT_EQ(exposureThroughLog2Seconds(200), 156);
}

TEST(DeviceClass, SerialPrefixesGiveTheRevisionClass) {
    struct Case {
        const char* serial;
        int deviceClass;
    };
    const std::vector<Case> cases = {
        {"OLDKIT", kDeviceClassOldKit},
        {"OLDKIT1", kDeviceClassUnknown},
        {"MKT-21123456789", kDeviceClassMkt21},
        {"MKT-21900123", kDeviceClassQk},
        {"MKT-21901", kDeviceClassMkt21},
        {"MKT-2190", kDeviceClassMkt21},
        {"MKT-36000111", kDeviceClassMkt36},
        {"MKT-48000111", kDeviceClassMkt48},
        {"MKT-57000111", kDeviceClassMkt57},
        {"QK47016382590", kDeviceClassQk},
        {"MKT-99000111", kDeviceClassUnknown},
        {"MKT-2", kDeviceClassUnknown},
        {"", kDeviceClassUnknown},
        {"mkt-21000", kDeviceClassUnknown},
    };
    for (const Case& c : cases) EXPECT_EQ(deviceClassForSerial(c.serial), c.deviceClass) << c.serial;
}

// A device that overrides only what it must, and records what the base
// hands to its virtual operations.
class SketchDevice : public HardwareAbstraction {
public:
    Calibration currentCalibration() const override { return Calibration(1.0f); }
    Calibration readCalibration() override { return Calibration(1.0f); }
    bool isReversed() const override { return false; }
    void readMemory(std::uint32_t, std::uint8_t*, std::uint32_t) override {}
    void writeMemory(std::uint32_t, const std::uint8_t*, std::uint32_t) override {}
    bool putControl(int, int) override { return true; }
    bool setControl(int control, int) override { return control == 13; }
    void toggleOrientation() override {}
    void applyResolution(int h, int v) override { applied.emplace_back(h, v); }
    int verticalDivisor() const override {
        return forcedVertical ? forcedVertical : HardwareAbstraction::verticalDivisor();
    }

    using HardwareAbstraction::setControlCached;
    std::vector<std::pair<int, int>> applied;
    int forcedVertical = 0;
};

TEST(DeviceCore, TimestampsNeverGoBackwards) {
    SketchDevice device;
    std::vector<std::int64_t> out;
    for (std::int64_t t : {1000, 2000, 1500, 2500, 2600}) {
        device.smoothTimestamp(t);
        out.push_back(t);
    }
    // The backward step keeps its offset (500) until the next one.
    EXPECT_EQ(out, (std::vector<std::int64_t>{1000, 2000, 2001, 3000, 3100}));
}

TEST(DeviceCore, FrameRateFollowsTheSmoothedInterval) {
    SketchDevice device;
    EXPECT_DOUBLE_EQ(device.frameRate(), 1.0 / static_cast<double>(0.02f));  // before any frame
    std::int64_t t = 0;
    for (int i = 0; i < 200; ++i) {
        std::int64_t stamp = 5'000'000 + i * 10'000;  // 100 frames a second
        device.smoothTimestamp(stamp);
        t = stamp;
    }
    EXPECT_EQ(t, 5'000'000 + 199 * 10'000);
    EXPECT_NEAR(device.frameRate(), 100.0, 0.5);
}

// The smoothing weights themselves: each new interval counts 0.3, the
// smoothed one 0.7, from 0.02 s before the first frame. Followed frame by
// frame, since any weights converge on a steady rate.
TEST(DeviceCore, FrameRateFilterWeighsEachNewIntervalThreeTenths) {
    SketchDevice device;
    double interval = 0.02;
    std::int64_t last = 0;
    for (std::int64_t stamp : {10'000, 20'000, 40'000, 45'000, 145'000}) {
        std::int64_t t = stamp;
        device.smoothTimestamp(t);
        interval = 0.3 * static_cast<double>(stamp - last) * 1e-6 + 0.7 * interval;
        last = stamp;
        EXPECT_NEAR(device.frameRate(), 1.0 / interval, 1e-4 / interval) << "after the frame at " << stamp << " us";
    }
    // The first step by hand: 0.3 x 0.01 s + 0.7 x 0.02 s = 0.017 s.
    SketchDevice fresh;
    std::int64_t t = 10'000;
    fresh.smoothTimestamp(t);
    EXPECT_NEAR(fresh.frameRate(), 1.0 / 0.017, 1e-3);
}

TEST(DeviceCore, BaseBehaviours) {
    SketchDevice device;
    EXPECT_EQ(device.firmwareVersion(), 0);
    EXPECT_FALSE(device.reservedQuery());
    EXPECT_EQ(device.horizontalDivisor(), 1);
    EXPECT_EQ(device.verticalDivisor(), 1);
    EXPECT_EQ(device.serialNumber(), "");
    EXPECT_EQ(device.deviceClass(), 0);
    // A control the device does not list fails and leaves the cache alone.
    EXPECT_FALSE(device.setControlCached(17, 1));
    EXPECT_EQ(device.cachedControl(17), 0);
    EXPECT_TRUE(device.setControlCached(13, 23));
    EXPECT_EQ(device.cachedControl(13), 23);
    EXPECT_EQ(device.cachedControl(99), 0);
}

TEST(DeviceCore, ResolutionIsAppliedThroughTheVirtualDivisors) {
    SketchDevice device;
    device.setResolution(2, 2);
    device.forcedVertical = 4;
    device.setResolution(1, 2);
    ASSERT_EQ(device.applied.size(), 2u);
    EXPECT_EQ(device.applied[0], std::make_pair(2, 2));
    EXPECT_EQ(device.applied[1], std::make_pair(1, 4));  // the override decides
    EXPECT_EQ(device.horizontalDivisor(), 1);
}

class EventCounter : public DIFrameListener, public FirmwareStatusListener {
public:
    void onFrame(std::weak_ptr<FrameRecord>) override {}
    void onDeviceGone() override { ++gone; }
    void onFirmwareUpdateStarted(const std::string& serial) override { started.push_back(serial); }
    void onFirmwareUpdateFinished() override { ++finished; }
    int gone = 0;
    std::vector<std::string> started;
    int finished = 0;
};

TEST(DeviceCore, EventsReachTheReceiversOfTheDeviceContext) {
    auto context = CoreContext::Current()->NewChild();
    auto sibling = CoreContext::Current()->NewChild();
    auto counter = std::make_shared<EventCounter>();
    auto outsider = std::make_shared<EventCounter>();
    context->AddMember(counter);
    sibling->AddMember(outsider);
    {
        CurrentContextScope scope(context);
        auto device = std::make_unique<SketchDevice>();
        UpdateTarget& target = *device;
        target.fireFirmwareUpdateStarted("MKT-210012345");
        target.fireFirmwareUpdateFinished();
        EXPECT_EQ(counter->gone, 0);
    }
    EXPECT_EQ(counter->gone, 1);  // fired by the destructor
    EXPECT_EQ(counter->started, std::vector<std::string>{"MKT-210012345"});
    EXPECT_EQ(counter->finished, 1);
    EXPECT_EQ(outsider->gone + outsider->finished, 0);
}

}  // namespace
