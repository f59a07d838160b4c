// The command-line client against a host in this process.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sstream>

#include "links/LinkManager.h"
#include "tests/links/HostTestSupport.h"
#include "tools/client/ClientCommands.h"

namespace {

using namespace hosttest;

class ClientCommandsTest : public HostTest {
protected:
    struct Result {
        int status;
        std::string out;
        std::string err;
    };

    Result run(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", std::to_string(m_host->commandPort())});
        std::ostringstream out, err;
        int status = runClient(args, out, err, m_stop);
        return {status, out.str(), err.str()};
    }

    std::atomic<bool> m_stop{false};
};

TEST_F(ClientCommandsTest, GetPrintsSettingsAndFlagsUnknownKeys) {
    startHost();
    auto r = run({"get", "camera_mode", "background_app_mode"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "camera_mode = \"HVGA\"\nbackground_app_mode = 1\n");

    r = run({"get", "camera_mode", "no_such_key"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "camera_mode = \"HVGA\"\n");
    EXPECT_EQ(r.err, "tyvo-client: no setting no_such_key\n");

    r = run({"get"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Gesture.Swipe.MinLength = 150\n"), std::string::npos);
}

TEST_F(ClientCommandsTest, SetTakesJsonOrPlainText) {
    startHost();
    auto r = run({"set", "camera_mode", "VGA"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "camera_mode = \"VGA\"\n");
    r = run({"set", "background_app_mode", "0"});
    EXPECT_EQ(r.status, 0) << r.err;
    int32_t mode = -1;
    EXPECT_TRUE(Config::get("background_app_mode", mode));
    EXPECT_EQ(mode, 0);
    r = run({"set", "no_such_key", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("did not take no_such_key"), std::string::npos);
    r = run({"set", "camera_mode", "{\"a\":1}"});  // an object has no message form
    EXPECT_EQ(r.status, 2);
}

TEST_F(ClientCommandsTest, WatchPrintsConfigurationAndLogEvents) {
    startHost();
    auto watching = std::async(std::launch::async, [&] { return run({"watch", "--seconds", "20"}); });
    // Change things until the watch has seen them, then end it.
    bool seen = eventually(
        [&] {
            Config::set("camera_mode", Value("QVGA"));
            std::this_thread::sleep_for(50ms);
            Config::set("camera_mode", Value("HVGA"));
            LogRecord record;
            record.severity = 1;
            record.text = "[Warning] watched line";
            m_host->publishLog(record);
            return watching.wait_for(100ms) == std::future_status::ready;
        },
        2s);
    EXPECT_FALSE(seen);  // the watch keeps going until stopped
    m_stop = true;
    auto r = watching.get();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("configuration: camera_mode = \"HVGA\"\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[Warning] watched line\n"), std::string::npos) << r.out;
}

TEST_F(ClientCommandsTest, DevicesAndUsageErrors) {
    startHost();
    auto r = run({"devices"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "no devices\n");
    EXPECT_EQ(run({}).status, 2);
    EXPECT_EQ(run({"fly"}).status, 2);
    EXPECT_EQ(run({"set", "only_key"}).status, 2);
    EXPECT_EQ(run({"watch", "--seconds", "x"}).status, 2);
    std::ostringstream out, err;
    EXPECT_EQ(runClient({"--port", "99999", "get"}, out, err, m_stop), 2);
}

TEST(ClientCommandsAlone, NoServiceMeansNoAnswer) {
    std::ostringstream out, err;
    std::atomic<bool> stop{false};
    // A port nobody listens on (the system gave it out and took it back).
    int port;
    {
        auto manager = std::make_shared<LinkManager>();
        manager->declare("Probe", LinkPattern::Pair, LinkTransport::Tcp, 0, "");
        auto endpoint = manager->open("Probe", LinkKind::Pair);
        port = manager->declaration("Probe")->port;
    }
    int status = runClient({"--port", std::to_string(port), "--timeout", "300", "get"}, out, err, stop);
    EXPECT_EQ(status, 3);
    EXPECT_EQ(err.str(), "tyvo-client: no answer from the service on localhost:" + std::to_string(port) + "\n");
}

}  // namespace
