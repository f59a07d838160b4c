#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "config/Value.h"
#include "context/CoreThread.h"
#include "context/EventSender.h"
#include "links/APIMessageListener.h"
#include "links/ClientVersion.h"
#include "links/FrontmostApplication.h"
#include "links/LinkEndpointRpc.h"
#include "links/ProxyPolicy.h"
#include "links/ResourceTable.h"
#include "logging/LogHandle.h"
#include "logging/LogRecord.h"
#include "source/DataStructures/Tyvo.pb.h"

class IdentifiableDevice;
class LinkManager;

// Where and how the resource host serves. The defaults are those of the
// running tool; tests choose free ports (0: the system picks one), short
// passes and their own policy file.
struct ResourceHostOptions {
    int commandPort = 6438;
    int eventPort = 6439;
    std::chrono::milliseconds passPeriod{250};
    std::string policyPath = "policy.json";
    uint32_t firstTick = 0;
    // Without links the host handles requests handed to it directly
    // (handleRequest), with no socket at all.
    bool openLinks = true;
};

// The service side of the client API. Clients authenticate and send
// requests on "CommandLink" (request/reply); events go to them on
// "EventLink" (publish/subscribe). The host keeps the table of authenticated
// clients and the resources they subscribe to, exposes the configuration,
// forwards log records, follows the frontmost application and exposes the
// gesture parameters as live configuration entries.
//
// Threads: the host's own thread reads and answers every request and runs
// the passes. The configuration listener, publishEvent and the log
// forwarding run on other threads. Locks: m_hostLock guards the pending
// configuration changes and their flags, and the update hook; m_clientLock the client table, the
// resources and the focus. The store's lock comes before m_hostLock (the
// listener runs under it); neither host lock is held while calling into the
// store or publishing.
class ResourceHost : public CoreThread, public LogRecordListener {
public:
    static constexpr uint32_t kExpiryTicks = 1200;
    static constexpr const char* kListenerName = "ResourceHost";

    ResourceHost();
    explicit ResourceHost(const ResourceHostOptions& options);
    ~ResourceHost() override;

    void Run() override;
    void OnStop() override;

    // Answers one message as the host's thread does. Not thread-safe with
    // the running service loop: for hosts without links.
    void handleRequest(const Tyvo::Message::Message& request, Tyvo::Message::Message& response);

    // Sends an event (type 102) to the clients and to the in-process
    // APIMessageListener receivers. False when the message is no event or
    // could not be sent.
    bool publishEvent(const Tyvo::Message::Message& event);

    // Sends a log record to the clients as an event of type 412.
    void publishLog(const LogRecord& record);
    void onLogRecord(const LogRecord& record) override { publishLog(record); }

    // Called with the client's version text when a client newer than this
    // host connects.
    void setUpdateNotification(std::function<void(const std::string&)> notify);

    // The ports in use (the chosen ones when 0 was asked for); 0 without links.
    int commandPort() const { return m_commandPort; }
    int eventPort() const { return m_eventPort; }

    // Observation, from any thread.
    size_t clientCount() const;
    bool hasClient(uint32_t clientId) const;
    uint32_t activeResourceMask() const;
    int resourceSubscribers(const std::string& name) const;
    uint32_t currentTick() const;
    uint32_t focusedProcess() const;
    uint64_t idleTicksPublished() const { return m_idleTicks.load(); }

    // The gesture parameters and their first values.
    static const std::array<std::pair<const char*, double>, 10>& gestureParameters();

private:
    struct Client {
        uint32_t pid = 0;
        std::string title;
        std::string applicationPath;
        uint32_t lastSeen = 0;
        std::set<std::string> resources;
        uint32_t requestedPolicy = 0;
        uint32_t effectivePolicy = 0;
    };

    void start();
    void servicePass();
    // Answers requests as they arrive until the period ends; false when a
    // stop ended it early.
    bool serveUntil(std::chrono::steady_clock::time_point periodEnd);
    // Answers the requests waiting now, until none is left or `until`.
    void answerRequests(std::chrono::steady_clock::time_point until);
    void expireClients();
    void updateFrontmostApplication();
    void publishConfigurationChanges();
    void onConfigurationChanged(const std::string& key, const Value& value);

    void authenticate(const Tyvo::Message::Request& request, Tyvo::Message::Response& response);
    void handleClientRequest(Client& client, const Tyvo::Message::Request& request, Tyvo::Message::Response& response);
    void setConfiguration(const Tyvo::Message::Request& request, Tyvo::Message::Response& response);
    void getConfiguration(const Tyvo::Message::Request& request, Tyvo::Message::Response& response);
    void subscribe(Client& client, const Tyvo::Message::Request& request, Tyvo::Message::Response& response);
    void fillDevices(Tyvo::Message::DeviceList& devices);
    uint32_t newClientId();
    bool isConnectedClientPath(const std::string& path) const;
    void publishSimpleEvent(int type);

    const ResourceHostOptions m_options;
    std::shared_ptr<LinkManager> m_links;
    std::unique_ptr<LinkEndpointRpc> m_commandLink;
    std::unique_ptr<LinkEndpointRpc> m_eventLink;
    int m_commandPort = 0;
    int m_eventPort = 0;
    LogHandle m_log;
    EventSender<APIMessageListener> m_apiSender;

    // The gesture parameters, bound to live configuration entries. They are
    // set through the store, under its lock, and read the same way.
    std::array<double, 10> m_gestures{};
    std::vector<std::string> m_registeredGestures;

    mutable std::mutex m_clientLock;
    std::map<uint32_t, Client> m_clients;
    ResourceTable m_resources;
    bool m_subscriptionsChanged = true;  // the mask is first computed in the first pass
    uint32_t m_activeMask = 0;
    uint32_t m_tick;
    uint32_t m_focusedPid = 0;

    // Only the host's thread (or the socket-less caller) touches these.
    ProxyPolicy m_policy;
    FrontmostApplicationTracker m_frontmost;
    uint32_t m_lastFrontmostPid = 0;
    bool m_frontmostNative = false;
    std::map<const IdentifiableDevice*, std::pair<std::weak_ptr<IdentifiableDevice>, int64_t>> m_deviceIds;
    int64_t m_nextDeviceId = 1;

    std::mutex m_hostLock;
    std::function<void(const std::string&)> m_updateNotification;
    std::map<std::string, Value> m_pendingChanges;
    bool m_configurationChanged = false;
    bool m_backgroundModeChanged = false;

    std::mutex m_loopLock;  // with m_loopCondition: the wait between passes
    std::condition_variable m_loopCondition;
    bool m_wakeRequested = false;  // set once, by a stop

    std::atomic<uint64_t> m_idleTicks{0};
};
