#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "config/Config.h"
#include "config/ConfigDefaults.h"
#include "context/CoreContext.h"
#include "links/LinkClient.h"
#include "links/ResourceHost.h"
#include "tests/support/TempFolder.h"

namespace hosttest {

using namespace std::chrono_literals;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Polls a condition until it holds or the bound passes.
inline bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds bound = 10s) {
    auto end = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < end) {
        if (condition()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return condition();
}

// A resource host on free ports in a context of its own, with the
// configuration at its defaults and saved into a scratch folder.
class HostTest : public ::testing::Test {
protected:
    void SetUp() override {
        Config::applyDefaults();
        Config::registerFile(m_folder.file("config.json"), "configuration");
    }

    void TearDown() override { stopHost(); }

    ResourceHostOptions options() const {
        ResourceHostOptions o;
        o.commandPort = 0;
        o.eventPort = 0;
        o.passPeriod = 20ms;
        o.policyPath = m_folder.file("policy.json");
        return o;
    }

    ResourceHost& startHost() { return startHost(options()); }
    ResourceHost& startHost(const ResourceHostOptions& o) {
        m_context = CoreContext::Current()->NewChild();
        CurrentContextScope scope(m_context);
        m_host = std::make_shared<ResourceHost>(o);
        m_context->AddMember(m_host);
        m_context->Initiate();
        // Running once it has made its first pass (the listener is in place).
        const uint32_t first = o.firstTick;
        EXPECT_TRUE(eventually([&] { return m_host->currentTick() != first; }));
        return *m_host;
    }

    void stopHost() {
        if (!m_context) return;
        m_context->RequestShutdown();
        m_host.reset();
        m_context.reset();
    }

    std::unique_ptr<LinkClient> client(bool authenticated = true) {
        LinkClient::Options o;
        o.commandPort = m_host->commandPort();
        auto c = std::make_unique<LinkClient>(o);
        if (authenticated) {
            EXPECT_TRUE(c->authenticate());
        }
        return c;
    }

    // A request from the client, type and payload set by `fill`.
    static std::optional<Tyvo::Message::Response> ask(LinkClient& c, int type,
                                                      const std::function<void(Tyvo::Message::Request&)>& fill = {}) {
        Tyvo::Message::Request request;
        request.set_type(type);
        if (fill) fill(request);
        return c.request(std::move(request));
    }

    TempFolder m_folder{"tyvo-links"};
    std::shared_ptr<CoreContext> m_context;
    std::shared_ptr<ResourceHost> m_host;
};

}  // namespace hosttest
