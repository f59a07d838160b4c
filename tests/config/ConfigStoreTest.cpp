#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "config/ConfigStore.h"

namespace {

// A store of its own with a listener that records every call.
class StoreTest : public ::testing::Test {
protected:
    StoreTest() {
        store.addListener("recorder",
                          [this](const std::string& key, const Value& value) { calls.emplace_back(key, value); });
    }
    Value value(const std::string& key) const {
        Value v;
        store.get(key, v);
        return v;
    }

    Config::Store store;
    std::vector<std::pair<std::string, Value>> calls;
};

TEST_F(StoreTest, SetTakesOnlyChangesOfSettableKeys) {
    store.setDefault("k", Value(5.0), 2);
    store.setDefault("fixed", Value(1), 0);
    EXPECT_TRUE(calls.empty()) << "defaults call no listener";

    EXPECT_TRUE(store.set("k", Value(5), true)) << "same JSON text: accepted, but no change";
    EXPECT_TRUE(value("k").isDouble());
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(store.persistedValues().empty());

    EXPECT_TRUE(store.set("k", Value(7), false));
    EXPECT_EQ(value("k"), Value(7));
    EXPECT_EQ(calls, (std::vector<std::pair<std::string, Value>>{{"k", Value(7)}}));
    EXPECT_TRUE(store.persistedValues().empty()) << "not persisted";
    EXPECT_TRUE(store.set("k", Value(8), true));
    EXPECT_EQ(store.persistedValues().at("k"), Value(8));

    EXPECT_FALSE(store.set("fixed", Value(2)));
    EXPECT_FALSE(store.set("unknown", Value(2)));
    EXPECT_EQ(value("fixed"), Value(1));
    EXPECT_EQ(calls.size(), 2u);

    store.clearAttributes();
    EXPECT_TRUE(store.values().empty());
    EXPECT_TRUE(store.persistedValues().empty());
}

TEST_F(StoreTest, TypedGettersConvertAndLeaveAbsentTargetsAlone) {
    store.setDefault("text", Value("12abc"), 1);
    int32_t i = 0;
    double d = 0;
    bool b = false;
    std::string s;
    EXPECT_TRUE(store.get("text", i) && store.get("text", d) && store.get("text", b) && store.get("text", s));
    EXPECT_EQ(std::make_tuple(i, d, b, s), std::make_tuple(12, 12.0, true, std::string("12abc")));
    uint32_t untouched = 7;
    EXPECT_FALSE(store.get("absent", untouched));
    EXPECT_EQ(untouched, 7u);
}

TEST_F(StoreTest, ListenersRunInNameOrderAndMayReenterTheStore) {
    std::string order;
    store.setDefault("source", Value(0), 1);
    store.setDefault("mirror", Value(0), 1);
    store.addListener("b", [&](const std::string&, const Value&) { order += "b"; });
    store.addListener("a", [&](const std::string& key, const Value& v) {
        order += "a";
        if (key == "source") store.set("mirror", v);  // the lock is recursive
        store.removeListener("b");                    // and the listener set may change
    });
    EXPECT_TRUE(store.set("source", Value(9)));
    EXPECT_EQ(value("mirror"), Value(9));
    EXPECT_EQ(order, "aabb") << "both run for both changes; the removal counts from the next change";
    store.addListener("a", [&](const std::string&, const Value&) { order += "A"; });
    order.clear();
    store.set("source", Value(1));
    EXPECT_EQ(order, "A");
}

TEST_F(StoreTest, DynamicEntries) {
    double gesture = 5.0;
    auto entry = std::make_shared<Config::DynamicVariable<double>>(gesture);
    store.setDefault("static", Value(1), 1);
    EXPECT_FALSE(store.addDynamic("static", entry)) << "a key is static or dynamic, never both";
    EXPECT_FALSE(store.addDynamic("g", nullptr));
    ASSERT_TRUE(store.addDynamic("g", entry));
    EXPECT_FALSE(store.addDynamic("g", entry));
    EXPECT_EQ(calls.back(), (std::pair<std::string, Value>{"g", Value(5.0)}));

    EXPECT_TRUE(store.set("g", Value("7.5")));
    EXPECT_EQ(gesture, 7.5);
    EXPECT_EQ(calls.back().second, Value("7.5"));
    gesture = 8.0;
    EXPECT_EQ(value("g"), Value(8.0));
    EXPECT_EQ(store.values().at("g"), Value(8.0));

    EXPECT_TRUE(store.removeDynamic("g"));
    EXPECT_TRUE(calls.back().second.isNull());
    EXPECT_FALSE(store.removeDynamic("g"));
    EXPECT_FALSE(store.set("g", Value(1.0)));

    struct Refuser : Config::DynamicAttribute {
        Value get() const override { return Value(1); }
        bool set(const Value&) override { return false; }
    };
    store.addDynamic("r", std::make_shared<Refuser>());
    calls.clear();
    EXPECT_FALSE(store.set("r", Value(2)));
    EXPECT_TRUE(calls.empty());
}

TEST_F(StoreTest, FilesAndSaveWithNothingToDo) {
    store.setDefault("k", Value(1), 1);
    EXPECT_FALSE(store.save("configuration")) << "nothing persisted";
    store.set("k", Value(2), true);
    EXPECT_FALSE(store.save("configuration")) << "no file";
    store.registerFile("/a.json", "one");
    store.registerFile("/b.json", "two");
    EXPECT_EQ(store.sectionFile("two"), "/b.json");
    EXPECT_EQ(store.sectionFile("other"), "/a.json") << "the first file is the default";
}

TEST_F(StoreTest, ImageGeometryFromTheCameraMode) {
    struct Row {
        const char* mode;
        Config::ImageGeometry g;
        int index;
    };
    const Row rows[] = {
        {"VGA", {640, 480, 640, 480, 640, 480, 1}, 1},   {"HVGA", {640, 240, 640, 240, 640, 480, 2}, 2},
        {"QVGA", {320, 240, 320, 240, 640, 480, 2}, 3},  {"HHVGA", {640, 120, 640, 120, 640, 480, 4}, 4},
        {"QHVGA", {320, 120, 320, 120, 640, 480, 4}, 5},
    };
    store.setDefault("camera_mode", Value(""), 2);
    auto fields = [](const Config::ImageGeometry& g) {
        return std::vector<int32_t>{g.width,      g.height,      g.sourceWidth, g.sourceHeight,
                                    g.calibWidth, g.calibHeight, g.modeCode};
    };
    for (const auto& row : rows) {
        store.set("camera_mode", Value(row.mode));
        ASSERT_TRUE(store.applyImageMode()) << row.mode;
        EXPECT_EQ(fields(store.imageGeometry()), fields(row.g)) << row.mode;
        EXPECT_EQ(store.imageModeIndex(), row.index) << row.mode;
    }

    // Any other text (names are case-sensitive) reads the six size entries.
    store.set("camera_mode", Value("vga"));
    EXPECT_EQ(store.imageModeIndex(), 2);
    const char* keys[] = {"image_width",        "image_height",       "image_calib_width",
                          "image_calib_height", "image_source_width", "image_source_height"};
    for (int i = 0; i < 3; ++i) store.setDefault(keys[i], Value(100 * (i + 1)), 2);
    EXPECT_FALSE(store.applyImageMode()) << "three entries missing";
    EXPECT_EQ(store.imageGeometry().calibWidth, 300) << "entries before the gap are taken";
    for (int i = 3; i < 6; ++i) store.setDefault(keys[i], Value(100 * (i + 1)), 2);
    ASSERT_TRUE(store.applyImageMode());
    int32_t w, h, code, cw, ch;
    store.imageSize(w, h, code);
    store.imageCalibSize(cw, ch);
    EXPECT_EQ(std::vector<int32_t>({w, h, code, cw, ch}), std::vector<int32_t>({100, 200, 4, 300, 400}))
        << "the mode code stays";
    EXPECT_EQ(store.imageGeometry().sourceHeight, 600);
}

}  // namespace
