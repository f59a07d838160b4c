#include <gtest/gtest.h>

#include <set>
#include <string>

#include "config/ConfigDefaults.h"
#include "config/ConfigStore.h"
#include "config/Json.h"

namespace {

class DefaultsTest : public ::testing::Test {
protected:
    DefaultsTest() { applied = Config::applyDefaults(store); }

    Value value(const std::string& key) const {
        Value v;
        EXPECT_TRUE(store.get(key, v)) << key;
        return v;
    }
    std::string json(const std::string& key) const { return Json::toJson(value(key), true, false); }

    Config::Store store;
    bool applied = false;
};

TEST_F(DefaultsTest, SpotValuesHaveTheirKinds) {
    EXPECT_EQ(value("websockets_port"), Value(6437));
    EXPECT_EQ(value("server_connect_ip"), Value("localhost"));
    EXPECT_EQ(value("camera_type"), Value("UVCI"));
    EXPECT_EQ(value("camera_dump_file"), Value(""));
    EXPECT_EQ(value("camera_framerate_limit"), Value(1000.0));
    EXPECT_EQ(value("optical_infinity_value"), Value(161.8));
    EXPECT_EQ(value("filtering_position_adapt_rate"), Value(1e-7));
    EXPECT_EQ(value("debug_output_level"), Value(3));
    EXPECT_EQ(value("debug_output_mode"), Value("console"));
    EXPECT_EQ(value("profiling_output_mode"), Value("none"));
    EXPECT_EQ(value("print_timestamps_in_log"), Value(true));
    EXPECT_EQ(value("camera_requires_calib"), Value(true));
    EXPECT_EQ(value("klaatu_barada_nikto"), Value(true));
    EXPECT_EQ(value("force_accept_updates"), Value(false));
    EXPECT_EQ(value("interaction_center_y"), Value(200));
}

TEST_F(DefaultsTest, InteractionModeIsTheEnumerationTheWriterSkips) {
    Value mode = value("os_interaction_mode");
    EXPECT_TRUE(mode.isOutputMode());
    EXPECT_EQ(*mode.as<Tyvo::OutputPeripheral::OutputMode>(), 0);
    EXPECT_EQ(Json::toJson(mode, true, false), "");
}

TEST_F(DefaultsTest, SinglePrecisionDefaultsAreWidenedFloats) {
    EXPECT_EQ(*value("sampling_min_gap").as<double>(), 0.10000000149011612);
    EXPECT_EQ(*value("sampling_max_gap_robust").as<double>(), 0.800000011920929);
    EXPECT_EQ(*value("sampling_min_gap_robust").as<double>(), 0.07999999821186066);
    EXPECT_EQ(json("sampling_min_gap"), "0.1");
    // So a file's 0.1 is no change and is not kept for saving.
    EXPECT_TRUE(store.set("sampling_min_gap", Value(0.1), true));
    EXPECT_TRUE(store.persistedValues().empty());
    EXPECT_EQ(*value("sampling_min_gap").as<double>(), 0.10000000149011612);
}

TEST_F(DefaultsTest, ScreenCalibrationsAndPoints) {
    EXPECT_EQ(json("screen_calibration0"), "[-200,50,-200,400,0,0,0,250,0]");
    EXPECT_TRUE(value("screen_calibration0")[0].isDouble());
    for (int n = 1; n <= 9; ++n) EXPECT_EQ(json("screen_calibration" + std::to_string(n)), "[]") << n;
    EXPECT_FALSE(store.get("screen_calibration10", *std::make_unique<Value>()));
    for (int p = 0; p < 8; ++p) {
        for (const char* axis : {"_x", "_y", "_z"}) {
            EXPECT_EQ(value("screen_point" + std::to_string(p) + axis), Value(0.0));
        }
    }
}

TEST_F(DefaultsTest, EveryKeyIsUniqueAndSettable) {
    std::set<std::string> keys;
    for (const auto& row : Config::defaultRows()) {
        EXPECT_TRUE(keys.insert(row.key).second) << "twice: " << row.key;
        EXPECT_TRUE(row.level == 1 || row.level == 2) << row.key;
        // A value of another text must be taken: no key is locked.
        EXPECT_TRUE(store.set(row.key, Value("__probe__"))) << row.key;
    }
    EXPECT_EQ(store.values().size(), keys.size());
    EXPECT_EQ(keys.size(), 93u + 24u + 3u + 10u);
}

TEST_F(DefaultsTest, DefaultsStepStartsFromAnEmptyTableAndSetsHvga) {
    EXPECT_TRUE(applied);
    auto g = store.imageGeometry();
    EXPECT_EQ(g.width, 640);
    EXPECT_EQ(g.height, 240);
    EXPECT_EQ(g.calibHeight, 480);
    EXPECT_EQ(g.modeCode, 2);

    store.setDefault("stray", Value(1), 1);
    store.set("websockets_port", Value(1), true);
    store.set("camera_mode", Value("VGA"));
    store.applyImageMode();
    EXPECT_TRUE(Config::applyDefaults(store));
    EXPECT_FALSE(store.get("stray", *std::make_unique<Value>()));
    EXPECT_EQ(value("websockets_port"), Value(6437));
    EXPECT_TRUE(store.persistedValues().empty());
    EXPECT_EQ(store.imageGeometry().height, 240);
}

}  // namespace
