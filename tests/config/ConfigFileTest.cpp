#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <signal.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "config/ConfigDefaults.h"
#include "config/ConfigStore.h"
#include "config/Json.h"
#include "tests/config/TempFolder.h"

namespace {

// A store with the defaults, as the loader leaves it before reading a file.
class ConfigFileTest : public ::testing::Test {
protected:
    ConfigFileTest() { Config::applyDefaults(store); }

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

Value valueOf(const Config::Store& store, const std::string& key) {
    Value v;
    store.get(key, v);
    return v;
}

// --- loading ------------------------------------------------------------------

TEST_F(ConfigFileTest, SectionMembersBecomePersistedSettings) {
    writeText(path, R"({
        "configuration": {
            "klaatu_barada_nikto": false,
            "websockets_port": 7000,
            "sampling_min_gap": 0.1,
            "no_such_key": 1
        },
        "other": {"x": 1}
    })");
    store.loadSection(path, "configuration");
    EXPECT_EQ(valueOf(store, "klaatu_barada_nikto"), Value(false));
    EXPECT_EQ(valueOf(store, "websockets_port"), Value(7000));
    EXPECT_EQ(*valueOf(store, "sampling_min_gap").as<double>(), static_cast<double>(0.1f))
        << "0.1 writes as the default does, so nothing changes";
    EXPECT_TRUE(valueOf(store, "no_such_key").isNull());
    auto persisted = store.persistedValues();
    EXPECT_EQ(persisted.size(), 2u);
    EXPECT_TRUE(persisted.count("klaatu_barada_nikto"));
    EXPECT_TRUE(persisted.count("websockets_port"));
}

TEST_F(ConfigFileTest, ValuesOfTheWrongKindKeepTheDefault) {
    writeText(path, R"({"configuration": {
        "websockets_port": "7000x", "camera_mode": 3, "klaatu_barada_nikto": 0,
        "camera_sensitivity": 2, "screen_calibration1": [1, 2]}})");
    store.loadSection(path, "configuration");
    EXPECT_EQ(valueOf(store, "websockets_port"), Value(6437));
    EXPECT_EQ(valueOf(store, "camera_mode"), Value("HVGA"));
    EXPECT_EQ(valueOf(store, "klaatu_barada_nikto"), Value(true));
    // Any number is taken for a number, any array for an array.
    EXPECT_EQ(valueOf(store, "camera_sensitivity"), Value(2));
    EXPECT_EQ(valueOf(store, "screen_calibration1").size(), 2u);
}

TEST_F(ConfigFileTest, CameraModeFromTheFileSetsTheGeometry) {
    writeText(path, R"({"configuration": {"camera_mode": "QVGA"}})");
    store.loadSection(path, "configuration");
    EXPECT_EQ(store.imageGeometry().width, 320);
    EXPECT_EQ(store.imageModeIndex(), 3);
}

TEST_F(ConfigFileTest, BadFilesFailWithTheirMessagesAndKeepTheDefaults) {
    EXPECT_EQ(loadError(""), "Error parsing config file: " + path);
    EXPECT_EQ(loadError("this is not json"), "Error parsing config file: " + path);
    EXPECT_EQ(loadError("[1, 2, 3]"), "Error parsing config file: " + path);
    EXPECT_EQ(loadError(R"({"configuration": {"websockets_port": 1)"), "Error parsing config file: " + path);
    EXPECT_EQ(loadError(R"({"other": {}})"), "Section 'configuration' not found: " + path);
    EXPECT_EQ(loadError(R"({"configuration": [1]})"), "Section 'configuration' not found: " + path);
    EXPECT_EQ(valueOf(store, "websockets_port"), Value(6437));
    EXPECT_TRUE(store.persistedValues().empty());
}

TEST_F(ConfigFileTest, MissingFileFailsButBecomesTheSaveTarget) {
    try {
        store.loadSection(path, "configuration");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Configuration file " + path + " not found");
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    store.set("websockets_port", Value(7001), true);
    ASSERT_TRUE(store.save("configuration"));
    EXPECT_EQ(Json::parse(readText(path)).member("configuration").member("websockets_port"), Value(7001));
}

// --- saving -------------------------------------------------------------------

TEST_F(ConfigFileTest, SaveReplacesTheSectionAndKeepsEverythingElse) {
    writeText(path, R"({"aaa": [1, {"deep": "x/y"}], "configuration": {"websockets_port": 7000,
                        "sampling_min_gap": 0.1, "no_such_key": true}, "zzz": "kept"})");
    store.loadSection(path, "configuration");
    store.set("camera_type", Value("file/name"), true);
    store.set("tracking_mode", Value("fast"), false);
    ASSERT_TRUE(store.save("configuration"));

    const std::string text = readText(path);
    Value saved = Json::parse(text);
    EXPECT_EQ(saved.member("aaa"), Json::parse(R"([1, {"deep": "x/y"}])"));
    EXPECT_EQ(saved.member("zzz"), Value("kept"));
    Value::Object expected;
    expected.insert_or_assign("camera_type", Value("file/name"));
    expected.insert_or_assign("websockets_port", Value(7000));
    EXPECT_EQ(saved.member("configuration"), Value(expected))
        << "unknown keys, defaults and unpersisted changes are not written";

    EXPECT_NE(text.find("\"file/name\""), std::string::npos) << "slashes are not escaped in the file";
    EXPECT_NE(text.find("\n  \"configuration\": {\n    \"camera_type\""), std::string::npos) << text;
    EXPECT_NE(text.back(), '\n');
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(ConfigFileTest, SavedFileLoadsBackIntoAFreshStore) {
    store.registerFile(path, "configuration");
    store.set("camera_mode", Value("QHVGA"), true);
    store.set("screen_calibration3", Value(Value::Array{Value(1.5), Value(-2)}), true);
    store.set("server_connect_ip", Value("10.0.0.\"1\"\\"), true);
    store.set("filtering_user_scale", Value(0.125), true);
    ASSERT_TRUE(store.save("configuration"));

    Config::Store fresh;
    Config::applyDefaults(fresh);
    fresh.loadSection(path, "configuration");
    for (const char* key : {"camera_mode", "screen_calibration3", "server_connect_ip", "filtering_user_scale"}) {
        EXPECT_EQ(valueOf(fresh, key), valueOf(store, key)) << key;
    }
    EXPECT_EQ(fresh.imageGeometry().height, 120);
    EXPECT_EQ(fresh.persistedValues(), store.persistedValues());
}

TEST_F(ConfigFileTest, UnreadableExistingFileIsReplacedByTheSection) {
    writeText(path, "garbage");
    store.registerFile(path, "configuration");
    store.set("websockets_port", Value(1), true);
    ASSERT_TRUE(store.save("configuration"));
    Value saved = Json::parse(readText(path));
    EXPECT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved.member("configuration").member("websockets_port"), Value(1));
}

TEST_F(ConfigFileTest, FailedSaveReportsFalseAndLeavesNoTemporaryFile) {
    const std::string unreachable = folder.file("missing-folder/config.json");
    store.registerFile(unreachable, "configuration");
    store.set("websockets_port", Value(1), true);
    EXPECT_FALSE(store.save("configuration"));
    EXPECT_FALSE(std::filesystem::exists(unreachable + ".tmp"));

    // The target is a folder: the rename fails and the temporary file goes.
    const std::string blocked = folder.file("blocked");
    std::filesystem::create_directory(blocked);
    std::filesystem::create_directory(blocked + "/child");
    Config::Store other;
    Config::applyDefaults(other);
    other.registerFile(blocked, "configuration");
    other.set("websockets_port", Value(1), true);
    EXPECT_FALSE(other.save("configuration"));
    EXPECT_FALSE(std::filesystem::exists(blocked + ".tmp"));
    EXPECT_TRUE(std::filesystem::is_directory(blocked + "/child"));
}

// --- crash safety -------------------------------------------------------------

// A child saves two alternating contents in a loop and is killed at random
// moments; every time the file must be one of the two, whole.
TEST_F(ConfigFileTest, KilledSaverLeavesTheOldOrTheNewFile) {
    writeText(path, R"({"other": {"keep": [1, 2, 3]}})");
    store.registerFile(path, "configuration");
    store.set("websockets_port", Value(1000), true);
    ASSERT_TRUE(store.save("configuration"));
    const std::string first = readText(path);
    store.set("websockets_port", Value(2000), true);
    ASSERT_TRUE(store.save("configuration"));
    const std::string second = readText(path);
    ASSERT_NE(first, second);

    std::mt19937 random(20240601);
    std::uniform_int_distribution<int> delayMicroseconds(0, 3000);
    int killedMidSave = 0;
    for (int round = 0; round < 200; ++round) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(ready[0]);
            auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            for (int n = 0; std::chrono::steady_clock::now() < deadline; ++n) {
                store.set("websockets_port", Value(n % 2 ? 1000 : 2000), true);
                store.save("configuration");
                if (n == 0) {
                    char signal = 1;
                    (void)!write(ready[1], &signal, 1);
                }
            }
            _exit(0);
        }
        close(ready[1]);
        char signal = 0;
        ASSERT_EQ(read(ready[0], &signal, 1), 1);
        close(ready[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayMicroseconds(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status));

        if (std::filesystem::exists(path + ".tmp")) ++killedMidSave;
        const std::string now = readText(path);
        ASSERT_TRUE(now == first || now == second) << "round " << round << ":\n" << now;
        EXPECT_EQ(Json::parse(now).member("other").member("keep").size(), 3u);
    }
    // The kills must have hit the save itself, or the test proves nothing.
    EXPECT_GT(killedMidSave, 0);
}

}  // namespace
