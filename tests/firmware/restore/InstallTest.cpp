// What `cmake --install` gives a user: the programs in bin, a udev rule that
// opens every device the tool can meet, the manual pages and the bash
// completion, and no synthetic firmware image.

#include "devices/DeviceModelManifest.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

namespace {

using namespace std::chrono_literals;

const std::string kRule = std::string(TYVO_SOURCE_DIR) + "/packaging/udev/70-tyvo-reset.rules";

// (vendor, product) of every rule line that gives the seat's user and the
// plugdev group read and write access.
std::set<std::pair<uint32_t, uint32_t>> GrantedIdentities(const std::string& path) {
    std::ifstream rule(path);
    std::set<std::pair<uint32_t, uint32_t>> granted;
    const std::regex line(
        R"re(^ATTR\{idVendor\}=="([0-9a-f]{4})", ATTR\{idProduct\}=="([0-9a-f]{4})", TAG\+="uaccess", MODE="0660", GROUP="plugdev"$)re");
    std::string text;
    while (std::getline(rule, text)) {
        std::smatch m;
        if (std::regex_match(text, m, line))
            granted.emplace(std::stoul(m[1].str(), nullptr, 16), std::stoul(m[2].str(), nullptr, 16));
    }
    return granted;
}

TEST(Install, TheUdevRuleGrantsEveryDeviceOfTheManifestAndNothingElse) {
    DeviceModelManifest manifest;
    std::set<std::pair<uint32_t, uint32_t>> known;
    for (const auto& model : manifest.Models()) known.emplace(model->vendorId, model->productId);
    EXPECT_EQ(known.size(), 5u);
    EXPECT_EQ(GrantedIdentities(kRule), known);

    // Only USB devices, not their interfaces, and not on removal.
    const std::string rule = [] {
        std::ifstream in(kRule);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    EXPECT_NE(rule.find("SUBSYSTEM!=\"usb\", GOTO=\"tyvo_end\""), std::string::npos);
    EXPECT_NE(rule.find("ENV{DEVTYPE}!=\"usb_device\", GOTO=\"tyvo_end\""), std::string::npos);
    EXPECT_NE(rule.find("ACTION==\"remove\", GOTO=\"tyvo_end\""), std::string::npos);
    EXPECT_NE(rule.find("\nLABEL=\"tyvo_end\"\n"), std::string::npos);
}

// Every regular file below folder, as paths relative to it.
std::set<std::string> FilesBelow(const std::filesystem::path& folder) {
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (!entry.is_directory()) files.insert(std::filesystem::relative(entry.path(), folder).string());
    return files;
}

TEST(Install, PutsEachFileInItsPlaceAndNoSyntheticFirmware) {
    TempFolder prefix;
    testsupport::ChildProcess install(
        {TYVO_CMAKE_COMMAND, "--install", TYVO_BINARY_DIR, "--prefix", prefix.path().string()}, true);
    ASSERT_EQ(install.Wait(120s), 0) << install.Stderr();

    for (const char* program : {"bin/tyvo-reset", "bin/tyvo-client"}) {
        struct stat file {};
        ASSERT_EQ(stat(prefix.file(program).c_str(), &file), 0) << program;
        EXPECT_TRUE(file.st_mode & S_IXUSR) << program;
    }
    EXPECT_EQ(ReadBytes(prefix.file("lib/udev/rules.d/70-tyvo-reset.rules")), ReadBytes(kRule));
    for (const char* tool : {"tyvo-reset", "tyvo-client"}) {
        EXPECT_EQ(ReadBytes(prefix.file(std::string("share/bash-completion/completions/") + tool)),
                  ReadBytes(std::string(TYVO_SOURCE_DIR) + "/packaging/completion/" + tool + ".bash"));
    }

    // The whole tree: the synthetic development images (and the development
    // tools that use them) stay in the build tree.
    std::set<std::string> expected = {
        "bin/tyvo-reset",
        "bin/tyvo-client",
        "lib/udev/rules.d/70-tyvo-reset.rules",
        "share/bash-completion/completions/tyvo-reset",
        "share/bash-completion/completions/tyvo-client",
        "share/doc/tyvo-reset/copyright",
        "share/doc/tyvo-reset/changelog.gz",
    };
    if (TYVO_MAN_PAGES) {
        expected.insert("share/man/man1/tyvo-reset.1.gz");
        expected.insert("share/man/man1/tyvo-client.1.gz");
    }
    EXPECT_EQ(FilesBelow(prefix.path()), expected);
    for (const std::string& file : FilesBelow(prefix.path())) {
        EXPECT_EQ(file.find(".dat"), std::string::npos) << file;
        EXPECT_EQ(file.find(".img"), std::string::npos) << file;
    }
    // The build tree still has them, for the emulator.
    EXPECT_TRUE(std::filesystem::exists(std::string(TYVO_FIRMWARE_FOLDER) + "/app0.dat"));
}

}  // namespace
