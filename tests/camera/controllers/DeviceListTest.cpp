// The resource host's device list shows a streaming controller: a client
// asks over the real links while the attach monitor runs the controller on
// the emulated bus.

#include <gtest/gtest.h>

#include "links/LinkClient.h"
#include "links/ResourceHost.h"
#include "tests/camera/controllers/ControllerFixture.h"

namespace controllertest {
namespace {

using namespace std::chrono_literals;

class DeviceList : public ControllerFixture {
protected:
    void startHost() {
        ResourceHostOptions options;
        options.commandPort = 0;
        options.eventPort = 0;
        options.passPeriod = 20ms;
        options.policyPath = "/nonexistent/policy.json";
        CurrentContextScope scope(host);
        resourceHost = std::make_shared<ResourceHost>(options);
        host->AddMember(resourceHost);
    }

    std::optional<Tyvo::Message::DeviceList> ask(LinkClient& client) { return client.devices(); }

    std::shared_ptr<ResourceHost> resourceHost;
};

TEST_F(DeviceList, AStreamingControllerIsListedUntilItLeaves) {
    startHost();
    plug();
    startMonitor();
    const auto device = waitForConfigured<CyUVCDevice>();
    ASSERT_TRUE(device);
    ASSERT_TRUE(eventually([&] { return joiner->joined() == 1 && joiner->collector(0)->count() >= 3; }));

    LinkClient::Options options;
    options.commandPort = resourceHost->commandPort();
    LinkClient client(options);
    ASSERT_TRUE(client.authenticate());
    const auto list = ask(client);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->devices_size(), 1);
    EXPECT_EQ(list->devices(0).serial_number(), "MKT-210012345");
    EXPECT_EQ(list->devices(0).device_class(), 3);
    const auto firstId = list->devices(0).id();

    // Asked again, the same device keeps its id.
    const auto again = ask(client);
    ASSERT_TRUE(again);
    ASSERT_EQ(again->devices_size(), 1);
    EXPECT_EQ(again->devices(0).id(), firstId);

    ASSERT_TRUE(bus.unplug(port));
    EXPECT_TRUE(eventually([&] {
        const auto now = ask(client);
        return now && now->devices_size() == 0;
    }));
}

}  // namespace
}  // namespace controllertest
