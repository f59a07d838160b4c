#include "links/ResourceHost.h"

#include <google/protobuf/stubs/logging.h>

#include <algorithm>
#include <iostream>
#include <limits>
#include <random>

#include "config/Config.h"
#include "context/Autowired.h"
#include "context/CoreContext.h"
#include "devices/core/IdentifiableDevice.h"
#include "links/LinkManager.h"
#include "links/MessageValue.h"
#include "logging/ConsoleLine.h"

using Tyvo::Message::Message;
using Tyvo::Message::Request;
using Tyvo::Message::Response;

namespace {

constexpr const char* kCommandLink = "CommandLink";
constexpr const char* kEventLink = "EventLink";

enum RequestType : int {
    kAuthenticate = 200,
    kPing = 201,
    kSetConfiguration = 202,
    kGetConfiguration = 203,
    kSubscribe = 204,
    kPolicy = 206,
    kDevices = 209,
};

enum EventType : int {
    kConfigurationChanged = 403,
    kBackgroundModeChanged = 406,
    kLogMessage = 412,
    kIdleTick = 415,
};

constexpr uint32_t kBackgroundFramesBit = 0x1;
constexpr uint32_t kNotNativeBit = 1u << 23;
constexpr uint32_t kBackgroundGrantByte = 0x5C;

const ClientVersion& serverVersion() {
    static const ClientVersion version = *ClientVersion::parse(kServerVersion);
    return version;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// The protocol-buffer library writes its complaints about malformed input to
// standard error; every such input here is a client's problem, answered on
// the link, and must not reach the console dialogue.
void silenceProtobufLog(google::protobuf::LogLevel, const char*, int, const std::string&) {}

}  // namespace

const std::array<std::pair<const char*, double>, 10>& ResourceHost::gestureParameters() {
    static const std::array<std::pair<const char*, double>, 10> kParameters = {{
        {"Gesture.Circle.MinRadius", 5.0},
        {"Gesture.Circle.MinArc", 4.71238898038469},
        {"Gesture.Swipe.MinLength", 150.0},
        {"Gesture.Swipe.MinVelocity", 1000.0},
        {"Gesture.ScreenTap.MinForwardVelocity", 50.0},
        {"Gesture.ScreenTap.HistorySeconds", 0.1},
        {"Gesture.ScreenTap.MinDistance", 3.0},
        {"Gesture.KeyTap.MinDownVelocity", 50.0},
        {"Gesture.KeyTap.HistorySeconds", 0.1},
        {"Gesture.KeyTap.MinDistance", 5.0},
    }};
    return kParameters;
}

ResourceHost::ResourceHost() : ResourceHost(ResourceHostOptions{}) {}

ResourceHost::ResourceHost(const ResourceHostOptions& options)
    : CoreThread("ResourceHost"), m_options(options), m_tick(options.firstTick) {
    if (m_options.openLinks) {
        AutoRequired<LinkManager> links;
        m_links = links.shared();
        m_links->declare(kCommandLink, LinkPattern::RequestReply, LinkTransport::Tcp, m_options.commandPort,
                         "localhost");
        m_links->declare(kEventLink, LinkPattern::PublishSubscribe, LinkTransport::Tcp, m_options.eventPort,
                         "localhost");
    }
    google::protobuf::SetLogHandler(&silenceProtobufLog);
    if (m_options.openLinks) {
        auto command = m_links->open(kCommandLink, LinkKind::Reply);
        auto events = m_links->open(kEventLink, LinkKind::Publisher);
        // A port held by another process leaves the host deaf or mute; say so.
        if (command && !command->attached()) m_log.critical("ResourceHost: cannot listen on CommandLink");
        if (events && !events->attached()) m_log.critical("ResourceHost: cannot publish on EventLink");
        if (command) m_commandLink = std::make_unique<LinkEndpointRpc>(std::move(command));
        if (events) m_eventLink = std::make_unique<LinkEndpointRpc>(std::move(events));
        if (auto link = m_links->declaration(kCommandLink)) m_commandPort = link->port;
        if (auto link = m_links->declaration(kEventLink)) m_eventPort = link->port;
    }
    const auto& parameters = gestureParameters();
    for (size_t i = 0; i < parameters.size(); ++i) {
        m_gestures[i] = parameters[i].second;
        if (Config::addDynamic(parameters[i].first, std::make_shared<Config::DynamicVariable<double>>(m_gestures[i]))) {
            m_registeredGestures.emplace_back(parameters[i].first);
        }
    }
    Ready();
}

ResourceHost::~ResourceHost() {
    // After removeListener returns no listener call is running (they run
    // under the store's lock), so nothing touches this object any more.
    Config::removeListener(kListenerName);
    for (const auto& key : m_registeredGestures) Config::removeDynamic(key);
    m_commandLink.reset();
    m_eventLink.reset();
}

void ResourceHost::start() {
    Config::addListener(kListenerName,
                        [this](const std::string& key, const Value& value) { onConfigurationChanged(key, value); });
    m_policy =
        loadProxyPolicy(m_options.policyPath, [this](const std::string& path) { return isConnectedClientPath(path); });
    m_log.info("ResourceHost running");
}

void ResourceHost::Run() {
    start();
    using Clock = std::chrono::steady_clock;
    // The loop keeps time in periods: each begins with a pass (expiry and
    // the tick, the frontmost application, configuration events) and then
    // answers requests as they arrive until the period is over. A request
    // never starts a pass of its own, so expiry and the idle event follow
    // the clock however busy the clients keep the host.
    while (!ShouldStop()) {
        const auto periodEnd = Clock::now() + m_options.passPeriod;
        servicePass();
        // A pass that took the whole period is followed by the next at once,
        // without the event: the host is behind, not idle.
        if (Clock::now() >= periodEnd) continue;
        if (!serveUntil(periodEnd)) continue;  // a stop ended the period
        publishSimpleEvent(kIdleTick);
        ++m_idleTicks;
    }
}

bool ResourceHost::serveUntil(std::chrono::steady_clock::time_point periodEnd) {
    using Clock = std::chrono::steady_clock;
    // Waits in short steps, so that a stop of the context is noticed even
    // when nobody signals.
    while (Clock::now() < periodEnd) {
        const auto step = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(periodEnd - Clock::now()),
                                   std::chrono::milliseconds(50));
        if (m_commandLink) {
            if (m_commandLink->endpoint().waitReadable(step)) answerRequests(periodEnd);
        } else {
            std::unique_lock<std::mutex> lock(m_loopLock);
            m_loopCondition.wait_for(lock, step, [this] { return m_wakeRequested; });
        }
        {
            std::lock_guard<std::mutex> lock(m_loopLock);
            if (m_wakeRequested) return false;
        }
        if (ShouldStop()) return false;
    }
    return true;
}

void ResourceHost::answerRequests(std::chrono::steady_clock::time_point until) {
    if (!m_commandLink) return;
    Message request;
    Message response;
    while (!ShouldStop() && m_commandLink->readMessage(request)) {
        handleRequest(request, response);
        // Every request is answered, the malformed ones too: the reply
        // socket takes the next request only after answering this one,
        // and the client waits for its answer.
        m_commandLink->writeMessage(response);
        if (std::chrono::steady_clock::now() >= until) break;
    }
}

void ResourceHost::OnStop() {
    {
        std::lock_guard<std::mutex> lock(m_loopLock);
        m_wakeRequested = true;
    }
    m_loopCondition.notify_all();
}

void ResourceHost::servicePass() {
    // Answer what is waiting, but never for longer than one period in a row:
    // clients flooding the link must not hold up expiry and events.
    answerRequests(std::chrono::steady_clock::now() + m_options.passPeriod);
    expireClients();
    updateFrontmostApplication();
    publishConfigurationChanges();
}

void ResourceHost::expireClients() {
    std::lock_guard<std::mutex> lock(m_clientLock);
    for (auto it = m_clients.begin(); it != m_clients.end();) {
        Client& client = it->second;
        if (m_tick - client.lastSeen < kExpiryTicks) {
            ++it;
            continue;
        }
        for (const auto& resource : client.resources) {
            if (m_resources.release(resource)) m_subscriptionsChanged = true;
        }
        if (client.pid == m_focusedPid) m_focusedPid = 0;
        it = m_clients.erase(it);
    }
    if (m_tick == std::numeric_limits<uint32_t>::max()) {
        // Rebase every tick on the oldest so that the count can go on.
        uint32_t oldest = m_tick;
        for (const auto& [id, client] : m_clients) oldest = std::min(oldest, client.lastSeen);
        for (auto& [id, client] : m_clients) client.lastSeen -= oldest;
        m_tick -= oldest;
    }
    ++m_tick;
    if (m_subscriptionsChanged) {
        m_activeMask = m_resources.mask();
        m_subscriptionsChanged = false;
    }
}

void ResourceHost::updateFrontmostApplication() {
    FrontmostApplication app = m_frontmost.update();
    if (app.pid == m_lastFrontmostPid) return;
    m_lastFrontmostPid = app.pid;

    bool native = false;
    bool knownClient = false;
    {
        std::lock_guard<std::mutex> lock(m_clientLock);
        for (const auto& [id, client] : m_clients) {
            if (app.pid != 0 && client.pid == app.pid) {
                knownClient = true;
                native = (client.effectivePolicy & kNotNativeBit) == 0;
                break;
            }
        }
    }
    if (!knownClient) native = endsWith(comparablePath(app.path), "\\googleearth.exe");
    if (m_policy.logging) {
        WriteConsoleLine(std::cout, "Frontmost Application: " + app.path + " (" + std::to_string(app.pid) + ") " +
                                        (native ? "[*** Native Tyvo App ***]" : ""));
    }
    if (!native) {
        auto proxies = m_policy.proxies.find(comparablePath(app.path));
        if (proxies != m_policy.proxies.end()) {
            std::lock_guard<std::mutex> lock(m_clientLock);
            for (const auto& proxy : proxies->second) {
                for (const auto& [id, client] : m_clients) {
                    if (comparablePath(client.applicationPath) != comparablePath(proxy)) continue;
                    m_focusedPid = client.pid;
                    if (m_policy.logging) WriteConsoleLine(std::cout, "Using Proxy: " + proxy);
                }
            }
        }
    }
    m_frontmostNative = native;
}

void ResourceHost::onConfigurationChanged(const std::string& key, const Value& value) {
    std::lock_guard<std::mutex> lock(m_hostLock);
    m_configurationChanged = true;
    m_pendingChanges[key] = value;
    if (key == "background_app_mode") m_backgroundModeChanged = true;
}

void ResourceHost::publishConfigurationChanges() {
    std::map<std::string, Value> changes;
    bool configurationChanged;
    bool backgroundModeChanged;
    {
        std::lock_guard<std::mutex> lock(m_hostLock);
        configurationChanged = m_configurationChanged;
        backgroundModeChanged = m_backgroundModeChanged;
        changes.swap(m_pendingChanges);
        m_configurationChanged = m_backgroundModeChanged = false;
    }
    // Published outside the lock: in-process receivers of the event may
    // change the configuration in turn, and the listener takes this lock.
    if (configurationChanged) {
        Message event;
        event.set_type(Message::EVENT);
        event.mutable_event()->set_type(kConfigurationChanged);
        toConfigSettings(changes, *event.mutable_event()->mutable_settings());
        publishEvent(event);
    }
    if (backgroundModeChanged) publishSimpleEvent(kBackgroundModeChanged);
}

void ResourceHost::publishSimpleEvent(int type) {
    Message event;
    event.set_type(Message::EVENT);
    event.mutable_event()->set_type(type);
    publishEvent(event);
}

bool ResourceHost::publishEvent(const Message& event) {
    if (event.type() != Message::EVENT) return false;
    bool written = m_eventLink && m_eventLink->writeMessage(event);
    m_apiSender.Fire(&APIMessageListener::onAPIMessage, event);
    return written;
}

void ResourceHost::publishLog(const LogRecord& record) {
    Message event;
    event.set_type(Message::EVENT);
    event.mutable_event()->set_type(kLogMessage);
    auto* log = event.mutable_event()->mutable_log();
    log->set_frame_id(record.frameId);
    log->set_severity(record.severity);
    log->set_error_code(static_cast<int32_t>(record.errorCode));
    log->set_text(record.text);
    publishEvent(event);
}

void ResourceHost::setUpdateNotification(std::function<void(const std::string&)> notify) {
    std::lock_guard<std::mutex> lock(m_hostLock);
    m_updateNotification = std::move(notify);
}

void ResourceHost::handleRequest(const Message& message, Message& reply) {
    reply.Clear();
    reply.set_type(Message::RESPONSE);
    Response& response = *reply.mutable_response();
    response.set_type(0);
    response.set_status(-1);
    if (message.type() != Message::REQUEST || !message.has_request()) return;
    const Request& request = message.request();

    if (request.type() == kAuthenticate) {
        authenticate(request, response);
        return;
    }
    if (!request.has_client_id()) return;
    const uint32_t id = request.client_id();
    std::unique_lock<std::mutex> lock(m_clientLock);
    auto it = m_clients.find(id);
    if (it == m_clients.end()) return;  // unknown or expired: type 0
    // Only this thread adds or removes clients, so the record stays put
    // while the lock is let go for calls into the store.
    Client& client = it->second;
    lock.unlock();

    handleClientRequest(client, request, response);

    lock.lock();
    client.lastSeen = m_tick;
}

void ResourceHost::handleClientRequest(Client& client, const Request& request, Response& response) {
    switch (request.type()) {
        case kPing:
            if (request.has_ping()) {
                const auto& ping = request.ping();
                if (ping.has_pid() && ping.has_title() && ping.has_path() && ping.pid() != 0) {
                    m_frontmost.report(ping.pid(), ping.path(), ping.title());
                }
            }
            response.set_type(301);
            response.set_status(0);
            break;
        case kSetConfiguration: setConfiguration(request, response); break;
        case kGetConfiguration: getConfiguration(request, response); break;
        case kSubscribe: subscribe(client, request, response); break;
        case kPolicy:
            if (request.has_policy()) {
                const uint32_t requested = request.policy();
                int32_t backgroundMode = 0;
                Config::get("background_app_mode", backgroundMode);
                uint32_t effective = requested & ~kBackgroundFramesBit;
                if ((requested & kBackgroundFramesBit) &&
                    (backgroundMode != 0 || (requested >> 24) == kBackgroundGrantByte)) {
                    effective |= kBackgroundFramesBit;
                }
                {
                    std::lock_guard<std::mutex> lock(m_clientLock);
                    client.requestedPolicy = requested;
                    client.effectivePolicy = effective;
                }
                response.set_policy(effective);
            }
            [[fallthrough]];
        case kDevices:
            response.set_type(309);
            fillDevices(*response.mutable_devices());
            response.set_status(0);
            break;
        default: break;  // unknown request: type 0
    }
}

void ResourceHost::authenticate(const Request& request, Response& response) {
    response.set_type(300);
    response.mutable_authenticate()->set_version(kServerVersion);
    if (!request.has_authenticate()) return;
    const auto& auth = request.authenticate();

    Value info;
    if (auth.has_app_key()) info.setMember("app_key", auth.app_key());
    if (auth.has_old_version()) info.setMember("old_version", auth.old_version());
    if (auth.has_version()) info.setMember("version", auth.version());
    if (auth.has_pid()) info.setMember("pid", auth.pid());
    if (auth.has_title()) info.setMember("title", auth.title());
    if (auth.has_app()) info.setMember("app", auth.app());

    std::string versionText = "0";
    if (auth.has_version()) {
        versionText = info.member("version").toString();
    } else if (auth.has_old_version()) {
        versionText = info.member("old_version").toString();
    }

    auto clientVersion = ClientVersion::parse(versionText);
    if (clientVersion && clientVersion->newerThan(serverVersion())) {
        std::function<void(const std::string&)> notify;
        {
            std::lock_guard<std::mutex> lock(m_hostLock);
            notify = m_updateNotification;
        }
        if (notify) notify(versionText);
    }
    if (!clientVersionAccepted(versionText, serverVersion())) return;

    Client client;
    client.pid = auth.has_pid() ? info.member("pid").toUnsigned() : 0;
    client.title = auth.title();  // empty when absent
    client.applicationPath = auth.app();
    // A client connecting itself needs no proxy any more.
    m_policy.proxies.erase(comparablePath(client.applicationPath));

    uint32_t id;
    {
        std::lock_guard<std::mutex> lock(m_clientLock);
        id = newClientId();
        client.lastSeen = m_tick;
        m_clients.emplace(id, std::move(client));
    }
    auto* reply = response.mutable_authenticate();
    reply->set_client_id(id);
    reply->set_event_port(m_eventPort);
    reply->set_version(kServerVersion);
    reply->set_old_version(kServerOldVersion);
    response.set_status(0);
}

uint32_t ResourceHost::newClientId() {
    // Ids must not be guessable: a client that knew another's id could act
    // in its name. The system's random source, not a time-seeded generator.
    static thread_local std::random_device random;
    uint32_t id;
    do {
        id = static_cast<uint32_t>(random());
    } while (id == 0 || m_clients.count(id) != 0);
    return id;
}

void ResourceHost::setConfiguration(const Request& request, Response& response) {
    response.set_type(302);
    auto* keys = response.mutable_keys();
    for (const auto& [key, value] : fromConfigSettings(request.settings())) {
        if (Config::set(key, value, true)) keys->add_keys(key);
    }
    response.set_status(0);
    if (keys->keys_size() > 0) Config::save("configuration");
}

void ResourceHost::getConfiguration(const Request& request, Response& response) {
    response.set_type(303);
    std::map<std::string, Value> found;
    if (request.keys().keys_size() == 0) {
        found = Config::values();
    } else {
        for (const auto& key : request.keys().keys()) {
            Value value;
            if (Config::get(key, value)) found[key] = std::move(value);
        }
    }
    if (found.empty()) return;
    toConfigSettings(found, *response.mutable_settings());
    response.set_status(0);
}

void ResourceHost::subscribe(Client& client, const Request& request, Response& response) {
    response.set_type(304);
    if (!request.has_events()) return;
    const bool subscribing = request.events().has_subscribe() ? request.events().subscribe() : true;
    auto* reply = response.mutable_events();
    reply->set_subscribe(subscribing);
    std::lock_guard<std::mutex> lock(m_clientLock);
    for (const auto& name : request.events().resources()) {
        if (!m_resources.known(name)) continue;
        if (subscribing) {
            if (client.resources.insert(name).second) m_resources.acquire(name);
        } else if (client.resources.erase(name)) {
            m_resources.release(name);
        }
        reply->add_resources(name);
    }
    response.set_status(0);
    m_subscriptionsChanged = true;
}

void ResourceHost::fillDevices(Tyvo::Message::DeviceList& list) {
    auto context = GetContext();
    if (!context) return;
    // Forget the ids of devices that are gone.
    std::erase_if(m_deviceIds, [](const auto& entry) { return entry.second.first.expired(); });
    for (const auto& child : context->Children()) {
        for (const auto& device : child->MembersOf<IdentifiableDevice>()) {
            auto [it, added] = m_deviceIds.try_emplace(device.get(), device, m_nextDeviceId);
            if (added) ++m_nextDeviceId;
            auto* entry = list.add_devices();
            entry->set_id(it->second.second);
            entry->set_serial_number(device->serialNumber());
            entry->set_device_class(device->deviceClass());
        }
    }
}

bool ResourceHost::isConnectedClientPath(const std::string& path) const {
    const std::string wanted = comparablePath(path);
    std::lock_guard<std::mutex> lock(m_clientLock);
    return std::any_of(m_clients.begin(), m_clients.end(),
                       [&](const auto& entry) { return comparablePath(entry.second.applicationPath) == wanted; });
}

size_t ResourceHost::clientCount() const {
    std::lock_guard<std::mutex> lock(m_clientLock);
    return m_clients.size();
}

bool ResourceHost::hasClient(uint32_t clientId) const {
    std::lock_guard<std::mutex> lock(m_clientLock);
    return m_clients.count(clientId) != 0;
}

uint32_t ResourceHost::activeResourceMask() const {
    std::lock_guard<std::mutex> lock(m_clientLock);
    return m_activeMask;
}

int ResourceHost::resourceSubscribers(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_clientLock);
    return m_resources.subscribers(name);
}

uint32_t ResourceHost::currentTick() const {
    std::lock_guard<std::mutex> lock(m_clientLock);
    return m_tick;
}

uint32_t ResourceHost::focusedProcess() const {
    std::lock_guard<std::mutex> lock(m_clientLock);
    return m_focusedPid;
}
