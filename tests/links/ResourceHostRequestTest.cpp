// Every request type of the client API against a running host, over the
// real links.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "config/Json.h"
#include "devices/core/IdentifiableDevice.h"
#include "links/MessageValue.h"
#include "tests/links/HostTestSupport.h"

namespace {

using namespace hosttest;
using Tyvo::Message::Request;
using Tyvo::Message::Response;

struct VersionCase {
    const char* version;  // nullptr: not sent
    uint32_t oldVersion;  // 0: not sent
    bool accepted;
};

class AuthenticationTest : public HostTest {};

TEST_F(AuthenticationTest, VersionAcceptanceTable) {
    startHost();
    const VersionCase cases[] = {
        {"1.0.2+0", 0, true}, {"1.0.0+0", 0, true},  {"1.0.0", 0, true},    {"1.0.9", 0, true},
        {"1.1.0", 0, false},  {"1.1.0+3", 0, false}, {"2.0.0", 0, false},   {"2.0.0+1", 0, false},
        {"0.9.0", 0, false},  {nullptr, 702, true},  {nullptr, 701, false}, {nullptr, 0, false},
        {"702", 0, true},     {"1.0", 0, false},     {"1.0.x", 0, false},   {"1.0.99999999999", 0, false},
        {"1.0.2", 600, true},  // the version text wins over the old number
    };
    for (const auto& c : cases) {
        auto link = client(false);
        auto response = ask(*link, 200, [&](Request& r) {
            auto* auth = r.mutable_authenticate();
            if (c.version) auth->set_version(c.version);
            if (c.oldVersion) auth->set_old_version(c.oldVersion);
        });
        ASSERT_TRUE(response) << (c.version ? c.version : "old");
        const std::string label = c.version ? c.version : std::to_string(c.oldVersion);
        EXPECT_EQ(response->type(), 300) << label;
        EXPECT_EQ(response->authenticate().version(), "1.0.2+0") << label;
        if (c.accepted) {
            EXPECT_EQ(response->status(), 0) << label;
            EXPECT_NE(response->authenticate().client_id(), 0u) << label;
            EXPECT_EQ(response->authenticate().event_port(), m_host->eventPort()) << label;
            EXPECT_EQ(response->authenticate().old_version(), 701u) << label;
            EXPECT_TRUE(m_host->hasClient(response->authenticate().client_id())) << label;
        } else {
            EXPECT_EQ(response->status(), -1) << label;
            EXPECT_FALSE(response->authenticate().has_client_id()) << label;
            EXPECT_FALSE(response->authenticate().has_event_port()) << label;
        }
    }
    EXPECT_EQ(m_host->clientCount(),
              static_cast<size_t>(
                  std::count_if(std::begin(cases), std::end(cases), [](const VersionCase& c) { return c.accepted; })));
}

TEST_F(AuthenticationTest, NewerClientsTriggerTheUpdateNotification) {
    std::mutex lock;
    std::vector<std::string> notified;
    auto& host = startHost();
    host.setUpdateNotification([&](const std::string& v) {
        std::lock_guard<std::mutex> guard(lock);
        notified.push_back(v);
    });
    for (const char* version : {"1.0.2+9", "1.0.3", "2.0.0", "0.1.0"}) {
        auto link = client(false);
        link->authenticate(version);
    }
    // The host thread called the hook; the answers came after it.
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_EQ(notified, (std::vector<std::string>{"1.0.3", "2.0.0"}));
}

TEST_F(AuthenticationTest, ClientIdsAreDistinctAndNeverZero) {
    startHost();
    std::set<uint32_t> ids;
    for (int i = 0; i < 30; ++i) {
        auto link = client();
        EXPECT_NE(link->clientId(), 0u);
        ids.insert(link->clientId());
    }
    EXPECT_EQ(ids.size(), 30u);
    // Not a counter: random ids spread over the whole range.
    EXPECT_GT(*ids.rbegin() - *ids.begin(), 1u << 24);
}

class RequestTest : public HostTest {};

TEST_F(RequestTest, UnknownClientsAndUnknownRequestsGetTypeZero) {
    startHost();
    auto stranger = client(false);
    for (int type : {201, 202, 203, 204, 206, 209}) {
        auto response = ask(*stranger, type, [](Request& r) { r.set_client_id(12345); });
        ASSERT_TRUE(response) << type;
        EXPECT_EQ(response->type(), 0) << type;
        EXPECT_EQ(response->status(), -1) << type;
    }
    auto known = client();
    auto response = ask(*known, 250);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->type(), 0);
    EXPECT_EQ(response->status(), -1);
}

TEST_F(RequestTest, SetConfigurationSavesOnlyWhenAKeyWasSet) {
    startHost();
    auto link = client();
    const std::string file = m_folder.file("config.json");

    auto none = link->setConfiguration({{"no_such_key", Value(5)}});
    ASSERT_TRUE(none);
    EXPECT_TRUE(none->empty());
    EXPECT_FALSE(std::filesystem::exists(file));

    auto taken = link->setConfiguration({{"camera_mode", Value("QVGA")}, {"no_such_key", Value(1)}});
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, std::vector<std::string>{"camera_mode"});
    ASSERT_TRUE(std::filesystem::exists(file));
    Value document = Json::parse(readFile(file));
    EXPECT_EQ(document.member("configuration").member("camera_mode"), Value("QVGA"));
    std::string mode;
    EXPECT_TRUE(Config::get("camera_mode", mode));
    EXPECT_EQ(mode, "QVGA");
}

TEST_F(RequestTest, GestureParametersAreLiveEntries) {
    startHost();
    auto link = client();
    auto before = link->getConfiguration({"Gesture.Swipe.MinLength", "Gesture.Circle.MinArc"});
    ASSERT_TRUE(before);
    EXPECT_EQ((*before)["Gesture.Swipe.MinLength"], Value(150.0));
    EXPECT_EQ((*before)["Gesture.Circle.MinArc"], Value(4.71238898038469));

    auto taken = link->setConfiguration({{"Gesture.Swipe.MinLength", Value(200)}});
    ASSERT_TRUE(taken);
    EXPECT_EQ(*taken, std::vector<std::string>{"Gesture.Swipe.MinLength"});
    auto after = link->getConfiguration({"Gesture.Swipe.MinLength"});
    ASSERT_TRUE(after);
    EXPECT_EQ((*after)["Gesture.Swipe.MinLength"], Value(200.0));
    // Live entries are not written to the file.
    EXPECT_FALSE(std::filesystem::exists(m_folder.file("config.json")));
}

TEST_F(RequestTest, GetConfigurationByKeysOrEverything) {
    startHost();
    auto link = client();
    auto some = link->getConfiguration({"camera_mode", "missing_key", "background_app_mode"});
    ASSERT_TRUE(some);
    EXPECT_EQ(some->size(), 2u);
    EXPECT_EQ((*some)["background_app_mode"], Value(1));

    auto nothing = ask(*link, 203, [](Request& r) { r.mutable_keys()->add_keys("missing_key"); });
    ASSERT_TRUE(nothing);
    EXPECT_EQ(nothing->type(), 303);
    EXPECT_EQ(nothing->status(), -1);
    EXPECT_FALSE(nothing->has_settings());

    // Everything: every entry with a message form goes out, even an empty
    // array (which reads back as nothing, the message having no field set).
    auto raw = ask(*link, 203);
    ASSERT_TRUE(raw);
    size_t expected = 0;
    for (const auto& [key, value] : Config::values()) expected += value.typeCode() != 0;
    EXPECT_EQ(static_cast<size_t>(raw->settings().entries_size()), expected);
    auto all = fromConfigSettings(raw->settings());
    EXPECT_EQ(all["camera_mode"], Value("HVGA"));
    EXPECT_EQ(all["screen_calibration0"].size(), 9u);
    EXPECT_FALSE(all.count("screen_calibration1"));
    for (const auto& [name, initial] : ResourceHost::gestureParameters()) {
        EXPECT_EQ(all[name], Value(initial)) << name;
    }
}

TEST_F(RequestTest, SubscriptionsAreCountedOncePerClient) {
    auto& host = startHost();
    auto a = client();
    auto b = client();
    auto echoed = a->subscribe({"FingerPoints", "Bogus", "FingerPoints", "Gestures:Swipe"});
    ASSERT_TRUE(echoed);
    EXPECT_EQ(*echoed, (std::vector<std::string>{"FingerPoints", "FingerPoints", "Gestures:Swipe"}));
    a->subscribe({"FingerPoints"});
    EXPECT_EQ(host.resourceSubscribers("FingerPoints"), 1);
    b->subscribe({"FingerPoints"});
    EXPECT_EQ(host.resourceSubscribers("FingerPoints"), 2);
    EXPECT_TRUE(eventually([&] { return host.activeResourceMask() == (0x2u | 0x8000u); }));

    auto response = ask(*a, 204, [](Request& r) {
        r.mutable_events()->add_resources("FingerPoints");
        r.mutable_events()->set_subscribe(false);
    });
    ASSERT_TRUE(response);
    EXPECT_EQ(response->type(), 304);
    EXPECT_FALSE(response->events().subscribe());
    a->subscribe({"FingerPoints"}, false);  // not held any more: no change
    EXPECT_EQ(host.resourceSubscribers("FingerPoints"), 1);
    b->subscribe({"FingerPoints", "Gestures:Swipe"}, false);
    a->subscribe({"Gestures:Swipe"}, false);
    EXPECT_EQ(host.resourceSubscribers("FingerPoints"), 0);
    EXPECT_TRUE(eventually([&] { return host.activeResourceMask() == 0; }));
}

TEST_F(RequestTest, PolicyGrantsBackgroundFramesByModeOrMagicByte) {
    startHost();
    auto link = client();
    auto policy = [&](uint32_t word) {
        auto response = ask(*link, 206, [&](Request& r) { r.set_policy(word); });
        EXPECT_TRUE(response && response->type() == 309 && response->status() == 0);
        EXPECT_TRUE(response && response->has_devices());
        return response ? response->policy() : 0xDEADu;
    };
    EXPECT_EQ(policy(0x1), 0x1u);  // "background_app_mode" is 1 by default
    ASSERT_TRUE(Config::set("background_app_mode", Value(0)));
    EXPECT_EQ(policy(0x1), 0x0u);
    EXPECT_EQ(policy(0x800001), 0x800000u);
    EXPECT_EQ(policy(0x5C000001), 0x5C000001u);
    EXPECT_EQ(policy(0x5D000001), 0x5D000000u);

    auto plain = ask(*link, 206);  // no word: the device list alone
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->type(), 309);
    EXPECT_FALSE(plain->has_policy());
}

class FakeDevice : public IdentifiableDevice {
public:
    FakeDevice(std::string serial, int deviceClass) : m_serial(std::move(serial)), m_class(deviceClass) {}
    const std::string& serialNumber() const override { return m_serial; }
    int deviceClass() const override { return m_class; }

private:
    std::string m_serial;
    int m_class;
};

TEST_F(RequestTest, DeviceListFollowsTheDeviceContexts) {
    startHost();
    auto link = client();
    auto empty = link->devices();
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->devices_size(), 0);

    auto pipeline = m_context->NewChild();
    pipeline->AddMember(std::make_shared<FakeDevice>("LP00000000042", 4));
    auto list = link->devices();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->devices_size(), 1);
    EXPECT_EQ(list->devices(0).serial_number(), "LP00000000042");
    EXPECT_EQ(list->devices(0).device_class(), 4);
    const int64_t id = list->devices(0).id();

    auto second = m_context->NewChild();
    second->AddMember(std::make_shared<FakeDevice>("LP00000000043", 3));
    list = link->devices();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->devices_size(), 2);
    for (const auto& device : list->devices()) {
        if (device.serial_number() == "LP00000000042")
            EXPECT_EQ(device.id(), id);  // stable
        else
            EXPECT_NE(device.id(), id);
    }
    pipeline.reset();  // the device's context goes with its device
    list = link->devices();
    ASSERT_TRUE(list);
    ASSERT_EQ(list->devices_size(), 1);
    EXPECT_EQ(list->devices(0).serial_number(), "LP00000000043");
}

TEST_F(RequestTest, ProxyOfTheFrontmostApplicationTakesTheFocus) {
    std::ofstream(m_folder.file("policy.json")) << R"({"proxy_settings": {"logging": true,
        "proxies": [{"proxy": "/opt/bridge/Bridge", "clients": [{"client": "/usr/bin/Earth", "title": "E"}]},
                    {"proxy": "", "clients": [{"client": "/usr/bin/Other"}]}]}})";
    testing::internal::CaptureStdout();
    auto& host = startHost();
    LinkClient::Options o;
    o.commandPort = host.commandPort();
    LinkClient bridge(o);
    ASSERT_TRUE(bridge.authenticate("1.0.2+0", 4321, "Bridge", "/opt/bridge/bridge"));
    ASSERT_TRUE(bridge.ping(999, "Earth", "/usr/bin/Earth"));
    bool focused = eventually([&] { return host.focusedProcess() == 4321; });
    stopHost();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(focused);
    EXPECT_NE(out.find("Frontmost Application: /usr/bin/Earth (999) \n"), std::string::npos) << out;
    EXPECT_NE(out.find("Using Proxy: \\opt\\bridge\\Bridge\n"), std::string::npos) << out;
}

TEST_F(RequestTest, NativeClientInFrontNeedsNoProxy) {
    std::ofstream(m_folder.file("policy.json")) << R"({"proxy_settings": {"logging": true,
        "proxies": [{"proxy": "/opt/bridge/Bridge", "clients": [{"client": "/usr/bin/Game"}]}]}})";
    testing::internal::CaptureStdout();
    auto& host = startHost();
    LinkClient::Options o;
    o.commandPort = host.commandPort();
    LinkClient bridge(o);
    ASSERT_TRUE(bridge.authenticate("1.0.2+0", 4321, "Bridge", "/opt/bridge/Bridge"));
    LinkClient game(o);
    ASSERT_TRUE(game.authenticate("1.0.2+0", 555, "Game", "/usr/bin/Game"));  // drops its proxy entry
    ASSERT_TRUE(bridge.ping(555, "Game", "/usr/bin/Game"));
    const uint32_t reported = host.currentTick();
    EXPECT_TRUE(eventually([&] { return host.currentTick() - reported >= 3; }));
    const uint32_t focus = host.focusedProcess();
    stopHost();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Frontmost Application: /usr/bin/Game (555) [*** Native Tyvo App ***]\n"), std::string::npos)
        << out;
    EXPECT_EQ(out.find("Using Proxy"), std::string::npos) << out;
    EXPECT_EQ(focus, 0u);
}

TEST(MessageValueConversion, RoundTripsEveryKindTheMessageKnows) {
    Value array(Value::Array{Value(true), Value("x"), Value(nullptr), Value(-3)});
    const Value values[] = {
        Value(true), Value(int32_t{-7}), Value(uint32_t{7}), Value(int64_t{-1} << 40), Value(uint64_t{1} << 40),
        Value(2.5),  Value("text")};
    for (const Value& v : values) {
        Tyvo::Message::Value m;
        toMessageValue(v, m);
        EXPECT_EQ(fromMessageValue(m), v) << v.toString();
    }
    Tyvo::Message::Value m;
    toMessageValue(array, m);
    EXPECT_EQ(m.elements_size(), 4);                                                          // null goes out empty ...
    EXPECT_EQ(fromMessageValue(m), Value(Value::Array{Value(true), Value("x"), Value(-3)}));  // ... and is dropped

    toMessageValue(Value::exactFloat(1.5f), m);
    EXPECT_TRUE(m.has_float_value());
    EXPECT_EQ(fromMessageValue(m), Value(1.5));
    toMessageValue(Value(static_cast<long double>(0.25)), m);
    EXPECT_DOUBLE_EQ(m.double_value(), 0.25);
    Value object;
    object.setMember("k", 1);
    toMessageValue(object, m);
    EXPECT_EQ(m.ByteSizeLong(), 0u);
}

TEST(MessageValueConversion, FirstPresentFieldWinsAndSettingsSkipTheUnsendable) {
    Tyvo::Message::Value m;
    m.set_string_value("yes");
    m.set_bool_value(false);
    EXPECT_EQ(fromMessageValue(m), Value(false));
    m.Clear();
    m.set_double_value(2.0);
    m.set_float_value(1.0f);
    EXPECT_EQ(fromMessageValue(m), Value(1.0));

    std::map<std::string, Value> values{{"a", Value(1)}, {"n", Value()}, {"s", Value("v")}};
    Tyvo::Message::ConfigSettings settings;
    toConfigSettings(values, settings);
    ASSERT_EQ(settings.entries_size(), 2);
    auto* dup = settings.add_entries();
    dup->set_key("a");
    dup->mutable_value()->set_int_value(2);
    settings.add_entries()->set_key("novalue");
    auto* empty = settings.add_entries();
    empty->set_key("empty");
    empty->mutable_value();
    auto back = fromConfigSettings(settings);
    EXPECT_EQ(back.size(), 2u);
    EXPECT_EQ(back["a"], Value(2));
    EXPECT_EQ(back["s"], Value("v"));
}

}  // namespace
