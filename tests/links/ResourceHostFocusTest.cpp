// Which client has the focus: the frontmost application's proxy takes it
// unless the frontmost application is native, and loses it with its client.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/links/HostTestSupport.h"

namespace {

using namespace hosttest;

constexpr uint32_t kNotNative = 1u << 23;
constexpr uint32_t kBridgePid = 4321;

class HostFocusTest : public HostTest {
protected:
    // The bridge stands in for the listed applications when they are in front.
    void writePolicy(const std::string& clients) {
        std::ofstream(m_folder.file("policy.json"))
            << R"({"proxy_settings": {"logging": true, "proxies": [{"proxy": "/opt/bridge/Bridge", "clients": [)"
            << clients << "]}]}}";
    }
    std::unique_ptr<LinkClient> bridge() {
        auto c = client(false);
        EXPECT_TRUE(c->authenticate("1.0.2+0", kBridgePid, "Bridge", "/opt/bridge/Bridge"));
        return c;
    }
    // A few passes go by, time enough for the host to act on a report.
    void letPassesGo(ResourceHost& host) {
        const uint32_t from = host.currentTick();
        ASSERT_TRUE(eventually([&] { return host.currentTick() - from >= 3; }));
    }
};

TEST_F(HostFocusTest, ConnectedClientIsNativeUnlessItsPolicyHasBit23) {
    writePolicy(R"({"client": "/usr/bin/Viewer"})");
    testing::internal::CaptureStdout();
    auto& host = startHost();
    auto proxy = bridge();
    auto plain = client(false);
    ASSERT_TRUE(plain->authenticate("1.0.2+0", 555, "Viewer", ""));
    auto flagged = client(false);
    ASSERT_TRUE(flagged->authenticate("1.0.2+0", 556, "Viewer", ""));
    auto answer = ask(*flagged, 206, [](auto& r) { r.set_policy(kNotNative); });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->policy() & kNotNative, kNotNative) << "bit 23 is granted as asked";

    ASSERT_TRUE(proxy->ping(555, "Viewer", "/usr/bin/Viewer"));
    letPassesGo(host);
    EXPECT_EQ(host.focusedProcess(), 0u) << "a native client in front needs no proxy";

    ASSERT_TRUE(proxy->ping(556, "Viewer", "/usr/bin/Viewer"));
    EXPECT_TRUE(eventually([&] { return host.focusedProcess() == kBridgePid; }))
        << "a client that says it is not native is served by the proxy";
    stopHost();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Frontmost Application: /usr/bin/Viewer (555) [*** Native Tyvo App ***]\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Frontmost Application: /usr/bin/Viewer (556) \n"), std::string::npos) << out;
}

TEST_F(HostFocusTest, EarthIsNativeByItsPathAlone) {
    writePolicy(R"({"client": "/opt/google/earth/GoogleEarth.exe"}, {"client": "/usr/bin/Viewer"})");
    testing::internal::CaptureStdout();
    auto& host = startHost();
    auto proxy = bridge();

    // Not a client, but known by the name of its executable.
    ASSERT_TRUE(proxy->ping(999, "Earth", "/opt/google/earth/GoogleEarth.exe"));
    letPassesGo(host);
    EXPECT_EQ(host.focusedProcess(), 0u);
    // The same table serves an application without that name.
    ASSERT_TRUE(proxy->ping(998, "Viewer", "/usr/bin/Viewer"));
    EXPECT_TRUE(eventually([&] { return host.focusedProcess() == kBridgePid; }));
    stopHost();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Frontmost Application: /opt/google/earth/GoogleEarth.exe (999) [*** Native Tyvo App ***]\n"),
              std::string::npos)
        << out;
}

TEST_F(HostFocusTest, FocusGoesWithTheClientThatHeldIt) {
    writePolicy(R"({"client": "/usr/bin/Viewer"})");
    auto opts = options();
    opts.passPeriod = 1ms;  // 1200 passes in a few seconds
    auto& host = startHost(opts);
    auto proxy = bridge();
    const uint32_t proxyId = proxy->clientId();
    ASSERT_TRUE(proxy->ping(999, "Viewer", "/usr/bin/Viewer"));
    ASSERT_TRUE(eventually([&] { return host.focusedProcess() == kBridgePid; }));
    // The bridge falls silent and expires.
    ASSERT_TRUE(eventually([&] { return !host.hasClient(proxyId); }, 60s));
    EXPECT_EQ(host.focusedProcess(), 0u);
}

}  // namespace
