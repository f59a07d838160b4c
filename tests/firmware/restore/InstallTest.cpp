// What `cmake --install` gives a user: the tool with its firmware files in
// bin, and a udev rule that opens every device the tool can meet.

#include "devices/DeviceModelManifest.h"
#include "tests/firmware/FirmwareTestSupport.h"
#include "tests/support/ChildProcess.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

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

TEST(Install, PutsTheToolItsFirmwareAndTheRuleInTheirPlaces) {
    TempFolder prefix;
    testsupport::ChildProcess install(
        {TYVO_CMAKE_COMMAND, "--install", TYVO_BINARY_DIR, "--prefix", prefix.path().string()}, true);
    ASSERT_EQ(install.Wait(120s), 0) << install.Stderr();

    struct stat tool {};
    ASSERT_EQ(stat(prefix.file("bin/tyvo-reset").c_str(), &tool), 0);
    EXPECT_TRUE(tool.st_mode & S_IXUSR);
    for (const char* name : {"app0.dat", "app1.dat", "app2.dat"}) {
        EXPECT_EQ(ReadBytes(prefix.file(std::string("bin/") + name)),
                  ReadBytes(std::string(TYVO_FIRMWARE_FOLDER) + "/" + name))
            << name << " lies beside the tool, where it looks";
    }
    EXPECT_EQ(ReadBytes(prefix.file("lib/udev/rules.d/70-tyvo-reset.rules")), ReadBytes(kRule));
}

}  // namespace
