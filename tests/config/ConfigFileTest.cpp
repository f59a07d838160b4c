#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <thread>

#include "config/ConfigDefaults.h"
#include "config/ConfigStore.h"
#include "config/Json.h"
#include "tests/support/TempFolder.h"

namespace {

// A store with the defaults and a file in a fresh folder.
class ConfigFileTest : public ::testing::Test {
protected:
    ConfigFileTest() { Config::applyDefaults(store); }

    Value value(const std::string& key) const {
        Value v;
        store.get(key, v);
        return v;
    }
    std::string loadError(const std::string& text) {
        writeText(path, text);
        try {
            store.loadSection(path, "configuration");
        } catch (const std::runtime_error& e) {
            return e.what();
        }
        return "";
    }

    TempFolder folder;
    std::string path = folder.file("config.json");
    Config::Store store;
};

TEST_F(ConfigFileTest, LoadingTakesTheSectionAsPersistedSettings) {
    writeText(path, R"({"configuration": {
        "klaatu_barada_nikto": false, "websockets_port": 7000, "sampling_min_gap": 0.1,
        "no_such_key": 1, "camera_mode": "QVGA", "camera_sensitivity": 2,
        "server_connect_ip": 5, "debug_output_level": "3x", "camera_requires_calib": 0},
        "other": {"x": 1}})");
    store.loadSection(path, "configuration");
    EXPECT_EQ(value("klaatu_barada_nikto"), Value(false));
    EXPECT_EQ(value("websockets_port"), Value(7000));
    EXPECT_EQ(value("camera_sensitivity"), Value(2)) << "any number for a number";
    EXPECT_EQ(store.imageGeometry().width, 320);
    EXPECT_TRUE(value("no_such_key").isNull());
    // 0.1 writes as the widened default does: no change, nothing persisted.
    EXPECT_EQ(*value("sampling_min_gap").as<double>(), static_cast<double>(0.1f));
    // Values of the wrong kind keep the default instead of being read as nonsense.
    EXPECT_EQ(value("server_connect_ip"), Value("localhost"));
    EXPECT_EQ(value("debug_output_level"), Value(3));
    EXPECT_EQ(value("camera_requires_calib"), Value(true));
    auto persisted = store.persistedValues();
    EXPECT_EQ(persisted.size(), 4u);
    for (const char* key : {"klaatu_barada_nikto", "websockets_port", "camera_mode", "camera_sensitivity"}) {
        EXPECT_TRUE(persisted.count(key)) << key;
    }
}

TEST_F(ConfigFileTest, BadFilesFailWithTheirMessagesAndChangeNothing) {
    for (const char* text : {"", "this is not json", "[1, 2, 3]", R"({"configuration": {"websockets_port": 1)"}) {
        EXPECT_EQ(loadError(text), "Error parsing config file: " + path) << text;
    }
    for (const char* text : {R"({"other": {}})", R"({"configuration": [1]})"}) {
        EXPECT_EQ(loadError(text), "Section 'configuration' not found: " + path) << text;
    }
    EXPECT_EQ(value("websockets_port"), Value(6437));
    EXPECT_TRUE(store.persistedValues().empty());

    std::filesystem::remove(path);
    try {
        store.loadSection(path, "configuration");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Configuration file " + path + " not found");
    }
    // The missing file still becomes the save target.
    store.set("websockets_port", Value(7001), true);
    ASSERT_TRUE(store.save("configuration"));
    EXPECT_EQ(Json::parse(readText(path)).member("configuration").member("websockets_port"), Value(7001));
}

TEST_F(ConfigFileTest, SaveReplacesTheSectionKeepsTheRestAndLoadsBack) {
    writeText(path, R"({"aaa": [1, {"deep": "x/y"}], "configuration": {"websockets_port": 7000,
                        "sampling_min_gap": 0.1, "no_such_key": true}, "zzz": "kept"})");
    store.loadSection(path, "configuration");
    store.set("camera_type", Value("file/name \"quoted\""), true);
    store.set("screen_calibration3", Value(Value::Array{Value(1.5), Value(-2)}), true);
    store.set("tracking_mode", Value("fast"), false);
    ASSERT_TRUE(store.save("configuration"));

    const std::string text = readText(path);
    Value saved = Json::parse(text);
    EXPECT_EQ(saved.member("aaa"), Json::parse(R"([1, {"deep": "x/y"}])"));
    EXPECT_EQ(saved.member("zzz"), Value("kept"));
    Value::Object expected;
    expected.insert_or_assign("camera_type", Value("file/name \"quoted\""));
    expected.insert_or_assign("screen_calibration3", Value(Value::Array{Value(1.5), Value(-2)}));
    expected.insert_or_assign("websockets_port", Value(7000));
    EXPECT_EQ(saved.member("configuration"), Value(expected))
        << "unknown keys, defaults and unpersisted changes are not written";
    EXPECT_NE(text.find("\n  \"configuration\": {\n    \"camera_type\": \"file/name"), std::string::npos) << text;
    EXPECT_NE(text.back(), '\n');
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));

    Config::Store fresh;
    Config::applyDefaults(fresh);
    fresh.loadSection(path, "configuration");
    EXPECT_EQ(fresh.persistedValues(), store.persistedValues());
}

TEST_F(ConfigFileTest, SaveAfterDefaultsAgainKeepsTheUsersUnchangedSettings) {
    // What the tool does: load, apply the defaults again after the dialogue,
    // then save one change a client asked for.
    writeText(path, R"({"configuration": {"websockets_port": 7000, "tracking_mode": "fast",
                        "sampling_min_gap": 0.1, "no_such_key": true}})");
    store.loadSection(path, "configuration");
    Config::applyDefaults(store);
    store.set("camera_sensitivity", Value(2.5), true);
    ASSERT_TRUE(store.save("configuration"));

    Value::Object expected;
    expected.insert_or_assign("camera_sensitivity", Value(2.5));
    expected.insert_or_assign("tracking_mode", Value("fast"));
    expected.insert_or_assign("websockets_port", Value(7000));
    EXPECT_EQ(Json::parse(readText(path)).member("configuration"), Value(expected))
        << "the user's settings survive; defaults and unknown keys are still dropped";
}

TEST_F(ConfigFileTest, UnwritableTargetsFailWithoutLeftovers) {
    writeText(path, "garbage");
    store.registerFile(path, "configuration");
    store.set("websockets_port", Value(1), true);
    ASSERT_TRUE(store.save("configuration"));
    EXPECT_EQ(Json::parse(readText(path)).size(), 1u) << "an unreadable file gives way to the section";

    for (const std::string& target : {folder.file("missing/config.json"), folder.file("is-a-folder")}) {
        std::filesystem::create_directories(folder.file("is-a-folder/child"));
        Config::Store other;
        Config::applyDefaults(other);
        other.registerFile(target, "configuration");
        other.set("websockets_port", Value(1), true);
        EXPECT_FALSE(other.save("configuration")) << target;
        EXPECT_FALSE(std::filesystem::exists(target + ".tmp")) << target;
    }
    EXPECT_TRUE(std::filesystem::is_directory(folder.file("is-a-folder/child")));
}

// A child saves two contents in turn and is killed at random moments: the
// file must be one of the two, whole, every time.
TEST_F(ConfigFileTest, KilledSaverLeavesTheOldOrTheNewFile) {
    writeText(path, R"({"other": {"keep": [1, 2, 3]}})");
    store.registerFile(path, "configuration");
    std::string contents[2];
    for (int i = 0; i < 2; ++i) {
        store.set("websockets_port", Value(1000 * (i + 1)), true);
        ASSERT_TRUE(store.save("configuration"));
        contents[i] = readText(path);
    }
    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
    int killedMidSave = 0;
    for (int round = 0; round < 200; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (int n = 0; std::chrono::steady_clock::now() < deadline; ++n) {
                store.set("websockets_port", Value(n % 2 ? 1000 : 2000), true);
                store.save("configuration");
                if (n == 0) (void)!write(ready[1], "1", 1);
            }
            _exit(0);
        }
        close(ready[1]);
        char started = 0;
        ASSERT_EQ(read(ready[0], &started, 1), 1);
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);

        if (std::filesystem::exists(path + ".tmp")) ++killedMidSave;
        const std::string now = readText(path);
        ASSERT_TRUE(now == contents[0] || now == contents[1]) << "round " << round << ":\n" << now;
    }
    EXPECT_GT(killedMidSave, 0) << "no kill hit a save: the test proved nothing";
}

}  // namespace

// A broken file says where it broke and what was expected there, beside the
// fixed text; the user named it, so both reach standard error.
TEST_F(ConfigFileTest, ParseFailuresCarryTheirLineColumnAndWhatWasExpected) {
    struct Case {
        const char* text;
        const char* detail;
    };
    for (const Case& c : {
             Case{"", "line 1, column 1: expected more text (the document ends early)"},
             Case{"this is not json", "line 1, column 2: expected true, false or null"},
             Case{"{\n  \"configuration\": {\n    \"websockets_port\" 7000\n  }\n}",
                  "line 3, column 23: expected ':' after a member name"},
             Case{"{\"configuration\": {\"websockets_port\": 1",
                  "line 1, column 40: expected more text (the document ends early)"},
             Case{"{\"configuration\": [, 1]}", "line 1, column 20: expected a value before ','"},
             Case{"[1, 2, 3]", "the document is not a JSON object"},
             Case{"{\"a\": \"\\q\"}",
                  "line 1, column 10: expected an escape: \\\" \\\\ \\/ \\b \\f \\n \\r \\t or \\u"},
             Case{"{\"a\": -x}", "line 1, column 8: expected a digit"},
             Case{"{\"a\": 123456789012345678901234}", "line 1, column 31: expected an integer that fits in 64 bits"},
         }) {
        writeText(path, c.text);
        try {
            store.loadSection(path, "configuration");
            ADD_FAILURE() << "no failure for " << c.text;
        } catch (const Config::FileError& e) {
            EXPECT_EQ(std::string(e.what()), "Error parsing config file: " + path) << c.text;
            EXPECT_EQ(e.detail(), c.detail) << c.text;
        }
    }
}
