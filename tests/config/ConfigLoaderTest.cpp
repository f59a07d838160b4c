#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <sstream>
#include <vector>

#include "config/CommandLineParser.h"
#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "config/ConfigLoader.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "tests/support/TempFolder.h"

namespace {

// Each test runs in a child context with the data-folder variables it sets;
// the environment is restored afterwards.
class ConfigLoaderTest : public ::testing::Test {
protected:
    ConfigLoaderTest() : m_scope(m_context) {
        for (const char* name : {"APPDATA", "XDG_CONFIG_HOME", "HOME"}) {
            const char* value = std::getenv(name);
            m_saved[name] = value ? std::optional<std::string>(value) : std::nullopt;
            unsetenv(name);
        }
    }
    ~ConfigLoaderTest() override {
        for (const auto& [name, value] : m_saved) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
    }
    // What the entry point does before anything else.
    void commandLine(std::vector<const char*> argv) {
        argv.insert(argv.begin(), "tyvo-reset");
        std::ostringstream errors;
        AutoRequired<CommandLineParser> parser;
        ASSERT_EQ(parser->parse(static_cast<int>(argv.size()), argv.data(), errors).action,
                  CommandLineParser::Action::Run);
    }
    static Value setting(const std::string& key) {
        Value v;
        Config::get(key, v);
        return v;
    }

    TempFolder folder;
    const char* kFile = R"({"configuration": {"websockets_port": 7100}, "kept": true})";

private:
    std::shared_ptr<CoreContext> m_context = CoreContext::Current()->NewChild();
    CurrentContextScope m_scope;
    std::map<std::string, std::optional<std::string>> m_saved;
};

TEST_F(ConfigLoaderTest, DataFolderChoiceAndCreation) {
    setenv("HOME", folder.file("home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", "relative/is/ignored", 1);
    setenv("APPDATA", "", 1);  // empty counts as unset
    EXPECT_EQ(Config::dataFilePath("config.json"), folder.file("home/.config/Tyvo/config.json"));
    setenv("XDG_CONFIG_HOME", folder.file("xdg").c_str(), 1);
    EXPECT_EQ(Config::dataFilePath("config.json"), folder.file("xdg/Tyvo/config.json"));
    setenv("APPDATA", folder.file("appdata").c_str(), 1);
    EXPECT_EQ(Config::dataFilePath("config.json"), folder.file("appdata/Tyvo/config.json"));
    for (const char* made : {"home/.config/Tyvo", "xdg/Tyvo", "appdata/Tyvo"}) {
        EXPECT_TRUE(std::filesystem::is_directory(folder.file(made))) << made;
    }

    writeText(folder.file("appdata/Tyvo/config.json"), kFile);
    Config::setDefault("websockets_port", Value(1), 1);
    AutoRequired<ConfigLoader> loader;
    EXPECT_TRUE(loader->loaded());
    EXPECT_EQ(loader->path(), folder.file("appdata/Tyvo/config.json"));
    EXPECT_EQ(setting("websockets_port"), Value(7100));
    EXPECT_EQ(Config::store().values().size(), Config::defaultRows().size()) << "defaults came first";

    // Without any data folder (a service, say) no file is read.
    for (const char* name : {"APPDATA", "XDG_CONFIG_HOME", "HOME"}) unsetenv(name);
    auto serviceLoader = std::make_shared<ConfigLoader>();
    EXPECT_TRUE(serviceLoader->loaded());
    EXPECT_EQ(serviceLoader->path(), "");
    EXPECT_EQ(setting("websockets_port"), Value(6437));
    EXPECT_FALSE(std::filesystem::exists("Tyvo")) << "no product folder in the working directory";
}

TEST_F(ConfigLoaderTest, ConfigOptionNamesTheFileAndIsReportedWhenMissing) {
    setenv("APPDATA", folder.file("appdata").c_str(), 1);
    const std::string named = folder.file("named.json");
    writeText(named, kFile);
    commandLine({"--config", named.c_str()});
    EXPECT_EQ(AutoRequired<ConfigLoader>()->path(), named);
    EXPECT_EQ(setting("websockets_port"), Value(7100));
    EXPECT_FALSE(std::filesystem::exists(folder.file("appdata/Tyvo/config.json")));

    std::filesystem::remove(named);
    testing::internal::CaptureStderr();
    auto loader = std::make_shared<ConfigLoader>();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Configuration file " + named + " not found\n");
    EXPECT_FALSE(loader->loaded());
    EXPECT_EQ(setting("websockets_port"), Value(6437));
}

// Bad files: the defaults stay, nothing is printed for the optional default
// file, and the file is left exactly as it was.
TEST_F(ConfigLoaderTest, BadDefaultFilesLeaveDefaultsAndTheFileUntouched) {
    setenv("HOME", folder.path().c_str(), 1);
    const std::string path = Config::dataFilePath("config.json");
    for (const char* bad : {"", "{not json", "[{\"configuration\":{}}]", "{\"other\":{\"websockets_port\":1}}",
                            "{\"configuration\":{\"websockets_port\":\"1\",\"debug_output_level\":[]}}"}) {
        writeText(path, bad);
        auto before = std::filesystem::last_write_time(path);
        testing::internal::CaptureStderr();
        auto loader = std::make_shared<ConfigLoader>();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(setting("websockets_port"), Value(6437)) << bad;
        EXPECT_EQ(setting("debug_output_level"), Value(3)) << bad;
        EXPECT_EQ(readText(path), bad);
        EXPECT_EQ(std::filesystem::last_write_time(path), before);
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    }
}

}  // namespace

TEST_F(ConfigLoaderTest, ABrokenNamedFileIsReportedWithWhereItBroke) {
    setenv("APPDATA", folder.file("appdata").c_str(), 1);
    const std::string named = folder.file("named.json");
    writeText(named,
              "{\n  \"configuration\": {\n    \"websockets_port\": 7100,\n    \"camera_mode\" \"QVGA\"\n  }\n}\n");
    commandLine({"--config", named.c_str()});
    testing::internal::CaptureStderr();
    auto loader = std::make_shared<ConfigLoader>();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error parsing config file: " + named + "\n    line 4, column 19: expected ':' after a member name\n");
    EXPECT_FALSE(loader->loaded());
    EXPECT_EQ(setting("websockets_port"), Value(6437)) << "nothing of a broken file is applied";
}
