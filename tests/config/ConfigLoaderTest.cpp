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
#include "config/Json.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "tests/config/TempFolder.h"

namespace {

// Each test runs in a child context with the data-folder variables of its
// choosing; the previous environment comes back afterwards.
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
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

    // Fills the context's command line, as the entry point does first.
    void commandLine(std::initializer_list<const char*> arguments) {
        std::vector<const char*> argv{"tyvo-reset"};
        argv.insert(argv.end(), arguments);
        AutoRequired<CommandLineParser> parser;
        std::ostringstream errors;
        ASSERT_EQ(parser->parse(static_cast<int>(argv.size()), argv.data(), errors).action,
                  CommandLineParser::Action::Run)
            << errors.str();
    }

    static Value setting(const std::string& key) {
        Value v;
        Config::get(key, v);
        return v;
    }

    TempFolder folder;

private:
    std::shared_ptr<CoreContext> m_context = CoreContext::Current()->NewChild();
    CurrentContextScope m_scope;
    std::map<std::string, std::optional<std::string>> m_saved;
};

const char* kFile = R"({"configuration": {"websockets_port": 7100}, "kept": true})";

// --- where the file is --------------------------------------------------------

TEST_F(ConfigLoaderTest, ReadsConfigJsonFromTheProductFolderOfAppData) {
    setenv("APPDATA", folder.path().c_str(), 1);
    setenv("XDG_CONFIG_HOME", "/nonexistent-xdg", 1);
    std::filesystem::create_directories(folder.file("Tyvo"));
    writeText(folder.file("Tyvo/config.json"), kFile);
    AutoRequired<ConfigLoader> loader;
    EXPECT_TRUE(loader->loaded());
    EXPECT_EQ(loader->path(), folder.file("Tyvo/config.json"));
    EXPECT_EQ(setting("websockets_port"), Value(7100));
}

TEST_F(ConfigLoaderTest, FallsBackToXdgConfigHomeThenHomeAndCreatesTheFolder) {
    setenv("XDG_CONFIG_HOME", folder.file("xdg").c_str(), 1);
    setenv("HOME", folder.file("home").c_str(), 1);
    EXPECT_EQ(Config::dataFilePath("config.json"), folder.file("xdg/Tyvo/config.json"));
    EXPECT_TRUE(std::filesystem::is_directory(folder.file("xdg/Tyvo")));

    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(Config::dataFilePath("config.json"), folder.file("home/.config/Tyvo/config.json"));
    EXPECT_TRUE(std::filesystem::is_directory(folder.file("home/.config/Tyvo")));

    // Empty or relative XDG_CONFIG_HOME is no folder.
    setenv("XDG_CONFIG_HOME", "relative", 1);
    EXPECT_EQ(*Config::userDataFolder(), folder.file("home/.config"));
    setenv("APPDATA", "", 1);
    EXPECT_EQ(*Config::userDataFolder(), folder.file("home/.config"));
}

TEST_F(ConfigLoaderTest, WithoutAnyDataFolderNoFileIsRead) {
    EXPECT_FALSE(Config::userDataFolder());
    Config::setDefault("websockets_port", Value(1), 1);
    AutoRequired<ConfigLoader> loader;
    EXPECT_TRUE(loader->loaded());
    EXPECT_EQ(loader->path(), "");
    EXPECT_EQ(setting("websockets_port"), Value(6437)) << "the defaults were applied";
    EXPECT_FALSE(std::filesystem::exists("Tyvo")) << "no product folder made in the working directory";
}

TEST_F(ConfigLoaderTest, ConfigOptionNamesTheFile) {
    setenv("APPDATA", folder.file("appdata").c_str(), 1);
    const std::string named = folder.file("named.json");
    writeText(named, kFile);
    commandLine({"--config", named.c_str()});
    AutoRequired<ConfigLoader> loader;
    EXPECT_TRUE(loader->loaded());
    EXPECT_EQ(loader->path(), named);
    EXPECT_EQ(setting("websockets_port"), Value(7100));
    EXPECT_FALSE(std::filesystem::exists(folder.file("appdata/Tyvo/config.json")));
}

// --- bad input: defaults, nothing lost ----------------------------------------

TEST_F(ConfigLoaderTest, MissingNamedFileIsReportedAndTheDefaultsStay) {
    const std::string named = folder.file("absent.json");
    commandLine({"--config", named.c_str()});
    testing::internal::CaptureStderr();
    AutoRequired<ConfigLoader> loader;
    std::string errors = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(loader->loaded());
    EXPECT_EQ(errors, "Configuration file " + named + " not found\n");
    EXPECT_EQ(setting("websockets_port"), Value(6437));
    EXPECT_EQ(Config::store().sectionFile("configuration"), named);
}

TEST_F(ConfigLoaderTest, BadDefaultFilesLeaveDefaultsAndTheFileUntouched) {
    setenv("HOME", folder.path().c_str(), 1);
    const std::string path = folder.file(".config/Tyvo/config.json");
    std::filesystem::create_directories(folder.file(".config/Tyvo"));
    for (std::string bad : {std::string(""), std::string("{not json"), std::string("[{\"configuration\":{}}]"),
                            std::string("{\"other\":{\"websockets_port\":1}}"),
                            std::string("{\"configuration\":{\"websockets_port\":\"1\",\"debug_output_level\":[]}}")}) {
        writeText(path, bad);
        auto before = std::filesystem::last_write_time(path);
        testing::internal::CaptureStderr();
        auto loader = std::make_shared<ConfigLoader>();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << "the default file is optional: no noise";
        EXPECT_EQ(setting("websockets_port"), Value(6437)) << bad;
        EXPECT_EQ(setting("debug_output_level"), Value(3)) << bad;
        EXPECT_EQ(readText(path), bad);
        EXPECT_EQ(std::filesystem::last_write_time(path), before);
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    }
}

TEST_F(ConfigLoaderTest, DefaultsStepAfterLoadingReplacesFileValues) {
    setenv("APPDATA", folder.path().c_str(), 1);
    std::filesystem::create_directories(folder.file("Tyvo"));
    writeText(folder.file("Tyvo/config.json"), R"({"configuration": {"debug_output_mode": "file"}})");
    AutoRequired<ConfigLoader> loader;
    EXPECT_EQ(setting("debug_output_mode"), Value("file"));
    // What the entry point does after the dialogue.
    Config::applyDefaults();
    EXPECT_TRUE(Config::set("debug_output_mode", Value("console")));
    EXPECT_EQ(setting("debug_output_mode"), Value("console"));
    EXPECT_TRUE(Config::store().persistedValues().empty());
}

}  // namespace
