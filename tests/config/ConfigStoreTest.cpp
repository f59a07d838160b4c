#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "config/Config.h"
#include "config/ConfigStore.h"

namespace {

struct Call {
    std::string listener;
    std::string key;
    Value value;
};

// A store of its own with a recording listener.
class StoreTest : public ::testing::Test {
protected:
    StoreTest() {
        store.addListener("recorder", [this](const std::string& key, const Value& value) {
            calls.push_back({"recorder", key, value});
        });
    }

    Config::Store store;
    std::vector<Call> calls;
};

// --- set ------------------------------------------------------------------------

TEST_F(StoreTest, SetTakesChangedValuesAndTellsTheListeners) {
    store.setDefault("k", Value(1), 2);
    EXPECT_TRUE(calls.empty()) << "defaults call no listener";
    EXPECT_TRUE(store.set("k", Value(7)));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].key, "k");
    EXPECT_EQ(calls[0].value, Value(7));
    Value v;
    ASSERT_TRUE(store.get("k", v));
    EXPECT_EQ(v, Value(7));
}

TEST_F(StoreTest, EqualJsonTextIsNoChange) {
    store.setDefault("k", Value(5.0), 2);
    EXPECT_TRUE(store.set("k", Value(5), true));
    EXPECT_TRUE(calls.empty());
    Value v;
    store.get("k", v);
    EXPECT_TRUE(v.isDouble()) << "the old value stays";
    EXPECT_TRUE(store.persistedValues().empty());
}

TEST_F(StoreTest, NotSettableAndUnknownKeysAreRefused) {
    store.setDefault("fixed", Value(1), 0);
    EXPECT_FALSE(store.set("fixed", Value(2)));
    EXPECT_FALSE(store.set("unknown", Value(2)));
    Value v;
    EXPECT_FALSE(store.get("unknown", v));
    EXPECT_TRUE(v.isNull()) << "an unknown key leaves the target alone";
    store.get("fixed", v);
    EXPECT_EQ(v, Value(1));
    EXPECT_TRUE(calls.empty());
}

TEST_F(StoreTest, OnlyPersistedChangesAreKeptForSaving) {
    store.setDefault("a", Value(1), 1);
    store.setDefault("b", Value(1), 2);
    store.set("a", Value(2), false);
    store.set("b", Value(3), true);
    auto persisted = store.persistedValues();
    ASSERT_EQ(persisted.size(), 1u);
    EXPECT_EQ(persisted["b"], Value(3));
    store.clearAttributes();
    EXPECT_TRUE(store.persistedValues().empty());
    EXPECT_TRUE(store.values().empty());
}

TEST_F(StoreTest, TypedGettersConvertAndReportAbsence) {
    store.setDefault("text", Value("12abc"), 1);
    store.setDefault("flag", Value("false"), 1);
    int32_t i = -1;
    uint32_t u = 0;
    double d = 0;
    bool b = true;
    std::string s;
    EXPECT_TRUE(store.get("text", i));
    EXPECT_EQ(i, 12);
    EXPECT_TRUE(store.get("text", u));
    EXPECT_EQ(u, 12u);
    EXPECT_TRUE(store.get("text", d));
    EXPECT_EQ(d, 12.0);
    EXPECT_TRUE(store.get("flag", b));
    EXPECT_FALSE(b);
    EXPECT_TRUE(store.get("text", s));
    EXPECT_EQ(s, "12abc");
    double untouched = 1.5;
    EXPECT_FALSE(store.get("absent", untouched));
    EXPECT_EQ(untouched, 1.5);
}

// --- listeners ----------------------------------------------------------------

TEST_F(StoreTest, ListenersRunInNameOrderAndCanBeReplacedOrRemoved) {
    std::string order;
    store.addListener("b", [&](const std::string&, const Value&) { order += "b"; });
    store.addListener("a", [&](const std::string&, const Value&) { order += "a"; });
    store.setDefault("k", Value(0), 1);
    store.set("k", Value(1));
    EXPECT_EQ(order, "ab");
    store.addListener("a", [&](const std::string&, const Value&) { order += "A"; });
    store.removeListener("b");
    order.clear();
    store.set("k", Value(2));
    EXPECT_EQ(order, "A");
}

TEST_F(StoreTest, ListenerMayCallBackIntoTheStore) {
    store.setDefault("source", Value(0), 1);
    store.setDefault("mirror", Value(0), 1);
    store.addListener("mirror", [this](const std::string& key, const Value& value) {
        if (key == "source") store.set("mirror", value);
        // Changing the listener set from inside a listener is safe too.
        store.removeListener("transient");
    });
    store.addListener("transient", [](const std::string&, const Value&) {});
    EXPECT_TRUE(store.set("source", Value(9)));
    Value mirrored;
    store.get("mirror", mirrored);
    EXPECT_EQ(mirrored, Value(9));
}

// --- dynamic entries --------------------------------------------------------

TEST_F(StoreTest, DynamicVariableIsBoundToItsDouble) {
    double gesture = 5.0;
    ASSERT_TRUE(store.addDynamic("Gesture.Circle.MinRadius",
                                 std::make_shared<Config::DynamicVariable<double>>(gesture)));
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].value, Value(5.0)) << "listeners learn the current value";

    EXPECT_TRUE(store.set("Gesture.Circle.MinRadius", Value("7.5")));
    EXPECT_EQ(gesture, 7.5);
    EXPECT_EQ(calls.back().value, Value("7.5"));
    gesture = 8.0;
    Value v;
    ASSERT_TRUE(store.get("Gesture.Circle.MinRadius", v));
    EXPECT_EQ(v, Value(8.0));
    EXPECT_EQ(store.values().at("Gesture.Circle.MinRadius"), Value(8.0));

    EXPECT_TRUE(store.removeDynamic("Gesture.Circle.MinRadius"));
    EXPECT_TRUE(calls.back().value.isNull());
    EXPECT_FALSE(store.removeDynamic("Gesture.Circle.MinRadius"));
    EXPECT_FALSE(store.set("Gesture.Circle.MinRadius", Value(1.0)));
}

TEST_F(StoreTest, DynamicEntryNeverSharesAKey) {
    double x = 0;
    store.setDefault("static", Value(1), 1);
    auto entry = std::make_shared<Config::DynamicVariable<double>>(x);
    EXPECT_FALSE(store.addDynamic("static", entry));
    EXPECT_FALSE(store.addDynamic("d", nullptr));
    EXPECT_TRUE(store.addDynamic("d", entry));
    EXPECT_FALSE(store.addDynamic("d", entry));
}

TEST_F(StoreTest, RefusingDynamicEntryCallsNoListener) {
    struct Refuser : Config::DynamicAttribute {
        Value get() const override { return Value(1); }
        bool set(const Value&) override { return false; }
    };
    store.addDynamic("r", std::make_shared<Refuser>());
    calls.clear();
    EXPECT_FALSE(store.set("r", Value(2)));
    EXPECT_TRUE(calls.empty());
}

// --- files and image geometry -----------------------------------------------

TEST_F(StoreTest, FirstRegisteredFileBecomesTheDefault) {
    EXPECT_EQ(store.sectionFile("configuration"), "");
    store.registerFile("/a.json", "one");
    store.registerFile("/b.json", "two");
    EXPECT_EQ(store.sectionFile("one"), "/a.json");
    EXPECT_EQ(store.sectionFile("two"), "/b.json");
    EXPECT_EQ(store.sectionFile("other"), "/a.json");
}

TEST_F(StoreTest, SaveWithoutPersistedValuesOrFileWritesNothing) {
    store.setDefault("k", Value(1), 1);
    EXPECT_FALSE(store.save("configuration")) << "nothing persisted";
    store.set("k", Value(2), true);
    EXPECT_FALSE(store.save("configuration")) << "no file registered";
}

TEST_F(StoreTest, NamedCameraModesSetTheWholeGeometry) {
    struct Row {
        const char* mode;
        Config::ImageGeometry geometry;
        int index;
    };
    const Row rows[] = {
        {"VGA", {640, 480, 640, 480, 640, 480, 1}, 1},   {"HVGA", {640, 240, 640, 240, 640, 480, 2}, 2},
        {"QVGA", {320, 240, 320, 240, 640, 480, 2}, 3},  {"HHVGA", {640, 120, 640, 120, 640, 480, 4}, 4},
        {"QHVGA", {320, 120, 320, 120, 640, 480, 4}, 5},
    };
    store.setDefault("camera_mode", Value("VGA"), 2);
    for (const auto& row : rows) {
        store.set("camera_mode", Value(row.mode));
        ASSERT_TRUE(store.applyImageMode()) << row.mode;
        auto g = store.imageGeometry();
        EXPECT_EQ(g.width, row.geometry.width) << row.mode;
        EXPECT_EQ(g.height, row.geometry.height) << row.mode;
        EXPECT_EQ(g.sourceWidth, row.geometry.sourceWidth) << row.mode;
        EXPECT_EQ(g.sourceHeight, row.geometry.sourceHeight) << row.mode;
        EXPECT_EQ(g.calibWidth, row.geometry.calibWidth) << row.mode;
        EXPECT_EQ(g.calibHeight, row.geometry.calibHeight) << row.mode;
        EXPECT_EQ(g.modeCode, row.geometry.modeCode) << row.mode;
        EXPECT_EQ(store.imageModeIndex(), row.index) << row.mode;
    }
    int32_t w, h, code, cw, ch;
    store.set("camera_mode", Value("QVGA"));
    store.applyImageMode();
    store.imageSize(w, h, code);
    store.imageCalibSize(cw, ch);
    EXPECT_EQ(w, 320);
    EXPECT_EQ(code, 2);
    EXPECT_EQ(cw, 640);
    EXPECT_EQ(ch, 480);
}

TEST_F(StoreTest, OtherModesReadTheSizeEntries) {
    store.setDefault("camera_mode", Value("vga"), 2);  // names are case-sensitive
    EXPECT_EQ(store.imageModeIndex(), 2);
    store.setDefault("image_width", Value(100), 2);
    store.setDefault("image_height", Value(200), 2);
    store.setDefault("image_calib_width", Value(300), 2);
    EXPECT_FALSE(store.applyImageMode()) << "three of six entries missing";
    auto partial = store.imageGeometry();
    EXPECT_EQ(partial.width, 100) << "entries found before the gap are taken";
    EXPECT_EQ(partial.calibWidth, 300);
    store.setDefault("image_calib_height", Value(400), 2);
    store.setDefault("image_source_width", Value(500), 2);
    store.setDefault("image_source_height", Value(600), 2);
    ASSERT_TRUE(store.applyImageMode());
    auto g = store.imageGeometry();
    EXPECT_EQ(g.height, 200);
    EXPECT_EQ(g.calibHeight, 400);
    EXPECT_EQ(g.sourceWidth, 500);
    EXPECT_EQ(g.sourceHeight, 600);
    EXPECT_EQ(g.modeCode, 2) << "the mode code stays";
}

TEST(ProcessStore, FreeFunctionsReachTheOneStore) {
    Config::setDefault("free_function_key", Value(1), 1);
    EXPECT_TRUE(Config::set("free_function_key", Value(2)));
    int32_t v = 0;
    EXPECT_TRUE(Config::store().get("free_function_key", v));
    EXPECT_EQ(v, 2);
    EXPECT_EQ(&Config::store(), &Config::store());
}

}  // namespace
