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

TEST_F(DefaultsTest, ValuesKeepTheirKinds) {
    EXPECT_EQ(value("websockets_port"), Value(6437));
    EXPECT_EQ(value("server_connect_ip"), Value("localhost"));
    EXPECT_EQ(value("camera_dump_file"), Value(""));
    EXPECT_EQ(value("optical_infinity_value"), Value(161.8));
    EXPECT_EQ(value("filtering_position_adapt_rate"), Value(1e-7));
    EXPECT_EQ(value("debug_output_mode"), Value("console"));
    EXPECT_EQ(value("klaatu_barada_nikto"), Value(true));
    EXPECT_TRUE(value("os_interaction_mode").isOutputMode());
    EXPECT_EQ(json("os_interaction_mode"), "") << "the writer skips the enumeration";
    // Single-precision constants, widened.
    EXPECT_EQ(*value("sampling_min_gap").as<double>(), 0.10000000149011612);
    EXPECT_EQ(*value("sampling_max_gap_robust").as<double>(), 0.800000011920929);
    EXPECT_EQ(*value("sampling_min_gap_robust").as<double>(), 0.07999999821186066);
    EXPECT_EQ(json("sampling_min_gap"), "0.1");
    EXPECT_EQ(json("screen_calibration0"), "[-200,50,-200,400,0,0,0,250,0]");
    for (int n = 1; n <= 9; ++n) EXPECT_EQ(json("screen_calibration" + std::to_string(n)), "[]");
    EXPECT_EQ(value("screen_point7_z"), Value(0.0));
}

TEST_F(DefaultsTest, EveryKeyIsUniqueAndSettable) {
    std::set<std::string> keys;
    for (const auto& row : Config::defaultRows()) {
        EXPECT_TRUE(keys.insert(row.key).second) << "twice: " << row.key;
        EXPECT_TRUE(row.level == 1 || row.level == 2) << row.key;
        EXPECT_TRUE(store.set(row.key, Value("__probe__"))) << row.key;
    }
    // 93 table rows, 24 screen points, 3 more rows, 10 screen calibrations.
    EXPECT_EQ(keys.size(), 130u);
    EXPECT_EQ(store.values().size(), keys.size());
}

TEST_F(DefaultsTest, TheStepStartsFromAnEmptyTableAndSetsHvga) {
    EXPECT_TRUE(applied);
    store.setDefault("stray", Value(1), 1);
    store.set("websockets_port", Value(1), true);
    store.set("camera_mode", Value("VGA"));
    store.applyImageMode();
    EXPECT_TRUE(Config::applyDefaults(store));
    EXPECT_EQ(store.values().count("stray"), 0u);
    EXPECT_EQ(value("websockets_port"), Value(6437));
    EXPECT_TRUE(store.persistedValues().empty());
    auto g = store.imageGeometry();
    EXPECT_EQ(std::vector<int32_t>(
                  {g.width, g.height, g.sourceWidth, g.sourceHeight, g.calibWidth, g.calibHeight, g.modeCode}),
              std::vector<int32_t>({640, 240, 640, 240, 640, 480, 2}));
}

}  // namespace
