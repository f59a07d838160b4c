// The host's command line: scenarios, faults, the program and where its
// firmware lies.

#include "sim/host/HostCommandLine.h"

#include <gtest/gtest.h>

namespace tyvo::sim::host {
namespace {

TEST(ScenarioFault, ParsesStageKindIndexAndAnOptionalRequest) {
    const auto plain = ParseScenarioFault("2:timeout:7");
    ASSERT_TRUE(plain.has_value());
    EXPECT_EQ(plain->stage, 2);
    EXPECT_EQ(plain->kind, FaultKind::Timeout);
    EXPECT_EQ(plain->nth, 7u);
    EXPECT_FALSE(plain->request.has_value());

    const auto filtered = ParseScenarioFault("1:unplug:12@a0");
    ASSERT_TRUE(filtered.has_value());
    EXPECT_EQ(filtered->kind, FaultKind::Unplug);
    EXPECT_EQ(filtered->request, uint8_t{0xA0});

    const std::pair<const char*, FaultKind> kinds[] = {{"error", FaultKind::Fail},
                                                       {"stall", FaultKind::Stall},
                                                       {"corrupt", FaultKind::CorruptRead},
                                                       {"garbage", FaultKind::Garbage}};
    for (const auto& [name, kind] : kinds) EXPECT_EQ(ParseScenarioFault(std::string("1:") + name + ":1")->kind, kind);
}

TEST(ScenarioFault, RefusesAnythingElse) {
    for (const char* bad : {"", "1", "1:error", "3:error:1", "0:error:1", "1:bogus:1", "1:error:0",
                            "1:error:", "1:error:x", "1:error:5@", "1:error:5@123", "1:error:5@zz", "1:error:-1"}) {
        EXPECT_FALSE(ParseScenarioFault(bad).has_value()) << bad;
    }
}

class HostCommandLineTest : public ::testing::Test {
protected:
    HostCommand parse(const std::vector<std::string>& args) { return ParseHostCommandLine(args, "/opt/tyvo", catalog); }
    const ScenarioCatalog catalog = BuiltInScenarios();
};

TEST_F(HostCommandLineTest, WithoutArgumentsRunsTheFirstScenarioOnTheToolBesideTheHost) {
    const HostCommand c = parse({});
    ASSERT_EQ(c.action, HostCommand::Action::Run);
    EXPECT_EQ(c.options.scenario, "restore");
    EXPECT_EQ(c.options.program, std::vector<std::string>{"/opt/tyvo/tyvo-reset"});
    EXPECT_EQ(c.options.firmwareFolder, "/opt/tyvo");
    EXPECT_FALSE(c.options.verbose);
    EXPECT_FALSE(c.options.timing);
    EXPECT_TRUE(parse({"--timing"}).options.timing);
}

TEST_F(HostCommandLineTest, TheProgramFollowsTheDoubleDashWithItsOwnFirmwareFolder) {
    const HostCommand c = parse({"--scenario=stage2-unplug", "--verbose", "--", "/b/app/tyvo-reset", "--firmware-dir",
                                 "/fw", "--config", "/c.json"});
    ASSERT_EQ(c.action, HostCommand::Action::Run);
    EXPECT_EQ(c.options.scenario, "stage2-unplug");
    EXPECT_TRUE(c.options.verbose);
    EXPECT_EQ(c.options.program.size(), 5u);
    EXPECT_EQ(c.options.firmwareFolder, "/fw");
    EXPECT_EQ(parse({"--", "/b/app/tyvo-reset", "--firmware-dir=/other"}).options.firmwareFolder, "/other");
    EXPECT_EQ(parse({"--", "/b/app/tyvo-reset", "--scenario", "x"}).options.firmwareFolder, "/b/app")
        << "the program's own arguments are its own";
}

TEST_F(HostCommandLineTest, FaultsAndScenariosAreChecked) {
    const HostCommand fault = parse({"--scenario", "fault", "--fault", "2:error:3@C2"});
    ASSERT_EQ(fault.action, HostCommand::Action::Run);
    ASSERT_TRUE(fault.options.fault.has_value());
    EXPECT_EQ(fault.options.fault->request, uint8_t{0xC2});

    EXPECT_EQ(parse({"--scenario", "nonsense"}).action, HostCommand::Action::Error);
    EXPECT_EQ(parse({"--fault", "9:error:1"}).action, HostCommand::Action::Error);
    EXPECT_EQ(parse({"--scenario"}).action, HostCommand::Action::Error) << "a missing value";
    EXPECT_EQ(parse({"stray"}).action, HostCommand::Action::Error);
    EXPECT_EQ(parse({"--verbose", "--help"}).action, HostCommand::Action::Help);
}

TEST_F(HostCommandLineTest, TheHelpNamesEveryScenario) {
    const std::string usage = HostUsage(catalog);
    ASSERT_FALSE(catalog.entries().empty());
    for (const auto& entry : catalog.entries()) {
        EXPECT_NE(usage.find("  " + entry.name + " "), std::string::npos) << entry.name;
        EXPECT_NE(usage.find(entry.summary), std::string::npos) << entry.name;
    }
}

}  // namespace
TEST_F(HostCommandLineTest, TheProgramsOwnOptionsSayWhetherItListsOrRunsUnattended) {
    const HostCommand plain = parse({"--", "/b/app/tyvo-reset", "--verify"});
    EXPECT_FALSE(plain.options.unattended);
    EXPECT_FALSE(plain.options.listing);
    EXPECT_TRUE(parse({"--", "/b/app/tyvo-reset", "--yes", "--json"}).options.unattended);
    EXPECT_TRUE(parse({"--", "/b/app/tyvo-reset", "-y"}).options.unattended);
    EXPECT_TRUE(parse({"--", "/b/app/tyvo-reset", "--list"}).options.listing);
    EXPECT_TRUE(parse({"--", "/b/app/tyvo-reset", "-l", "--json"}).options.listing);
    EXPECT_FALSE(parse({"--yes"}).action == HostCommand::Action::Run) << "--yes is the program's, not the host's";
}

TEST_F(HostCommandLineTest, TheDevicesScenarioTakesItsListAndTheSlowFlashItsFlag) {
    const HostCommand c = parse({"--scenario", "devices", "--devices", "boot-loader=SN1,controller", "--slow-flash"});
    ASSERT_EQ(c.action, HostCommand::Action::Run);
    EXPECT_EQ(c.options.devices, (std::vector<std::string>{"boot-loader=SN1", "controller"}));
    EXPECT_TRUE(c.options.slowFlash);
    EXPECT_TRUE(parse({"--devices="}).options.devices.empty()) << "an empty bus";
    EXPECT_EQ(parse({"--devices", "controller,,embedded"}).action, HostCommand::Action::Error);
    EXPECT_EQ(parse({"--devices", "controller,"}).action, HostCommand::Action::Error);
}

}  // namespace tyvo::sim::host
