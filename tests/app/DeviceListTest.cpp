// tyvo-reset --list on the emulated bus: no device, one, and two, in each
// mode a Tyvo device can be in, as text and as JSON.

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/app/ToolUnderEmulation.h"

namespace {

using tooltest::RunUnderHost;
using tooltest::WithPython;
using namespace std::chrono_literals;

// Every object's members, in a fixed order, one line per device; and the
// set of member names, which must be the same for every device.
const std::string kDescribeDevices = R"(
assert isinstance(data, list)
for d in data:
    assert sorted(d) == sorted(["identity", "vendor_id", "product_id", "kind", "description", "bus_path",
                                "device_path", "release", "product", "serial", "access"]), sorted(d)
    print("|".join(str(d[k]) for k in ["identity", "kind", "description", "bus_path", "device_path",
                                       "release", "product", "serial", "access"]))
)";

testsupport::ProgramRun List(const std::string& devices, bool json) {
    std::vector<std::string> tool = {"--list"};
    if (json) tool.emplace_back("--json");
    return RunUnderHost({"--scenario", "devices", "--devices", devices}, tool);
}

TEST(DeviceList, NothingAttachedSaysSoOnStandardErrorAndEndsWithThree) {
    const auto text = List("", false);
    EXPECT_EQ(text.status, 3) << text.err;
    EXPECT_EQ(text.out, "");
    EXPECT_NE(text.err.find("tyvo-reset: no Tyvo device is attached\n"), std::string::npos) << text.err;

    const auto json = List("", true);
    EXPECT_EQ(json.status, 3) << json.err;
    EXPECT_EQ(WithPython(json.out, "print(len(data))"), "0\n") << json.out;
}

struct Mode {
    const char* device;
    const char* identity;
    const char* kind;
    const char* description;
    const char* product;
};

const Mode kModes[] = {
    {"boot-loader", "04b4:00f3", "boot-loader", "FX3 boot loader", "FX3 ROM Boot Loader"},
    {"boot-programmer", "04b4:4720", "boot-programmer", "FX3 boot programmer", "FX3 Boot Programmer"},
    {"controller", "f182:0003", "controller", "controller in normal operation", "Tyvo Controller"},
    {"embedded", "05a9:f580", "embedded-controller", "embedded controller", "Tyvo Embedded Controller"},
};

TEST(DeviceList, OneDeviceInEachModeIsOneObject) {
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.device);
        const auto json = List(mode.device, true);
        EXPECT_EQ(json.status, 0) << json.err;
        const std::string path = "usb#vid_" + std::string(mode.identity).substr(0, 4) + "&pid_" +
                                 std::string(mode.identity).substr(5) + "#1-1";
        EXPECT_EQ(WithPython(json.out, kDescribeDevices), std::string(mode.identity) + "|" + mode.kind + "|" +
                                                              mode.description + "|1-1|" + path + "|1.00|" +
                                                              mode.product + "|None|ok\n")
            << json.out;
    }
}

// Two devices at a time, the four modes in two runs, as lines and as JSON.
TEST(DeviceList, TwoDevicesAreListedEachWithItsModePlaceAndSerial) {
    const auto fx3 = List("boot-loader=SN-0042,boot-programmer", false);
    EXPECT_EQ(fx3.status, 0) << fx3.err;
    EXPECT_EQ(std::count(fx3.out.begin(), fx3.out.end(), '\n'), 2) << fx3.out;
    EXPECT_NE(fx3.out.find("04b4:00f3  FX3 boot loader                   1-1  release 1.00  serial SN-0042\n"),
              std::string::npos)
        << fx3.out;
    EXPECT_NE(fx3.out.find("04b4:4720  FX3 boot programmer               1-2  release 1.00  serial -\n"),
              std::string::npos)
        << fx3.out;

    const auto fx3Json = List("boot-loader=SN-0042,boot-programmer", true);
    EXPECT_EQ(fx3Json.status, 0) << fx3Json.err;
    EXPECT_EQ(WithPython(fx3Json.out,
                         "print('\\n'.join(sorted(d['bus_path'] + ' ' + d['kind'] + ' ' + "
                         "str(d['serial']) for d in data)))"),
              "1-1 boot-loader SN-0042\n1-2 boot-programmer None\n")
        << fx3Json.out;

    const auto controllers = List("controller,embedded", false);
    EXPECT_EQ(controllers.status, 0) << controllers.err;
    EXPECT_EQ(std::count(controllers.out.begin(), controllers.out.end(), '\n'), 2) << controllers.out;
    EXPECT_NE(controllers.out.find("f182:0003  controller in normal operation    1-1  release 1.00  serial -\n"),
              std::string::npos)
        << controllers.out;
    EXPECT_NE(controllers.out.find("05a9:f580  embedded controller               1-2  release 1.00  serial -\n"),
              std::string::npos)
        << controllers.out;

    const auto controllersJson = List("controller,embedded", true);
    EXPECT_EQ(controllersJson.status, 0) << controllersJson.err;
    EXPECT_EQ(WithPython(controllersJson.out,
                         "print(' '.join(sorted(d['identity'] + '@' + d['bus_path'] "
                         "for d in data)))"),
              "05a9:f580@1-2 f182:0003@1-1\n")
        << controllersJson.out;
}

TEST(DeviceList, TheSimulateOptionListsTheScenariosDevices) {
    // tyvo-reset --simulate SCENARIO --list: the scenario's controller is
    // on the bus from the start and is listed; nothing is restored.
    const auto run = testsupport::RunToEnd({TYVO_RESET_PATH, "--simulate", "embedded", "--list"}, 120s);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out.rfind("05a9:f580  embedded controller", 0), 0u) << run.out;
}

}  // namespace
