#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/Value.h"
#include "links/LinkEndpointRpc.h"
#include "source/DataStructures/Tyvo.pb.h"

class LinkManager;

// The client side of the API, for tools and tests: connects to a resource
// host, authenticates, reads and changes the configuration, subscribes to
// resources and receives events. One client is one command connection and
// at most one event connection; it is used from one thread at a time.
class LinkClient {
public:
    struct Options {
        std::string host = "localhost";
        int commandPort = 6438;
        // How long a request waits for its answer.
        std::chrono::milliseconds timeout{5000};
        bool cipher = true;
    };

    // A client with a link manager of its own.
    explicit LinkClient(const Options& options);
    // A client on a shared manager (at most 16 endpoints per manager); the
    // manager's "CommandLink" must be free or declared for the same port.
    LinkClient(std::shared_ptr<LinkManager> manager, const Options& options);
    ~LinkClient();

    LinkClient(const LinkClient&) = delete;
    LinkClient& operator=(const LinkClient&) = delete;

    // False when the command link could not be opened.
    bool connected() const { return m_command != nullptr; }

    // Sends one request (type and client id are filled in) and waits for
    // its response; empty on time-out. A late answer to an abandoned request
    // is recognised and dropped.
    std::optional<Tyvo::Message::Response> request(Tyvo::Message::Request request);

    // Authenticates; true when the host accepted the client.
    bool authenticate(const std::string& version = "1.0.2+0", uint32_t pid = 0, const std::string& title = "",
                      const std::string& app = "");
    uint32_t clientId() const { return m_clientId; }
    int eventPort() const { return m_eventPort; }

    // The values of the keys (all of them with no key); empty on failure.
    std::optional<std::map<std::string, Value>> getConfiguration(const std::vector<std::string>& keys = {});
    // The keys the host took; empty on failure.
    std::optional<std::vector<std::string>> setConfiguration(const std::map<std::string, Value>& values);
    // The resource names the host acknowledged.
    std::optional<std::vector<std::string>> subscribe(const std::vector<std::string>& resources, bool subscribe = true);
    std::optional<Tyvo::Message::DeviceList> devices();
    // Reports the frontmost application; also keeps the client from expiring.
    bool ping(uint32_t pid = 0, const std::string& title = "", const std::string& path = "");

    // Opens the event connection (after authentication: the port comes
    // with it). Events published before the connection is up are not seen.
    bool connectEvents();
    // The next event, waiting at most `wait`.
    std::optional<Tyvo::Message::Event> nextEvent(std::chrono::milliseconds wait);

private:
    std::string linkName(const char* base) const;

    Options m_options;
    std::shared_ptr<LinkManager> m_manager;
    std::unique_ptr<LinkEndpointRpc> m_command;
    std::unique_ptr<LinkEndpointRpc> m_events;
    uint32_t m_clientId = 0;
    int m_eventPort = 0;
};
