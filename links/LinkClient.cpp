#include "links/LinkClient.h"

#include "links/LinkManager.h"
#include "links/MessageValue.h"

using Tyvo::Message::Message;

LinkClient::LinkClient(const Options& options) : LinkClient(std::make_shared<LinkManager>(), options) {}

LinkClient::LinkClient(std::shared_ptr<LinkManager> manager, const Options& options)
    : m_options(options), m_manager(std::move(manager)) {
    m_manager->setCipherEnabled(m_options.cipher);
    const std::string name = linkName("CommandLink");
    m_manager->declare(name, LinkPattern::RequestReply, LinkTransport::Tcp, m_options.commandPort, m_options.host);
    if (auto endpoint = m_manager->open(name, LinkKind::Request)) {
        m_command = std::make_unique<LinkEndpointRpc>(std::move(endpoint));
    }
}

LinkClient::~LinkClient() = default;

// Names on a shared manager are per host and port, so clients of different
// hosts can share one manager.
std::string LinkClient::linkName(const char* base) const {
    return std::string(base) + "@" + m_options.host + ":" + std::to_string(m_options.commandPort);
}

std::optional<Tyvo::Message::Response> LinkClient::request(Tyvo::Message::Request request) {
    if (!m_command) return std::nullopt;
    if (m_clientId != 0 && !request.has_client_id()) request.set_client_id(m_clientId);
    Message message;
    message.set_type(Message::REQUEST);
    *message.mutable_request() = std::move(request);
    if (!m_command->writeMessage(message)) return std::nullopt;
    Message answer;
    if (!m_command->readMessage(answer, m_options.timeout)) return std::nullopt;
    if (answer.type() != Message::RESPONSE || !answer.has_response()) return std::nullopt;
    return answer.response();
}

bool LinkClient::authenticate(const std::string& version, uint32_t pid, const std::string& title,
                              const std::string& app) {
    Tyvo::Message::Request request;
    request.set_type(200);
    auto* auth = request.mutable_authenticate();
    if (!version.empty()) auth->set_version(version);
    if (pid != 0) auth->set_pid(pid);
    if (!title.empty()) auth->set_title(title);
    if (!app.empty()) auth->set_app(app);
    auto response = this->request(std::move(request));
    if (!response || response->type() != 300 || response->status() != 0) return false;
    m_clientId = response->authenticate().client_id();
    m_eventPort = response->authenticate().event_port();
    return m_clientId != 0;
}

std::optional<std::map<std::string, Value>> LinkClient::getConfiguration(const std::vector<std::string>& keys) {
    Tyvo::Message::Request request;
    request.set_type(203);
    auto* list = request.mutable_keys();
    for (const auto& key : keys) list->add_keys(key);
    auto response = this->request(std::move(request));
    if (!response || response->type() != 303) return std::nullopt;
    if (response->status() != 0) return std::map<std::string, Value>{};  // none of the keys exists
    return fromConfigSettings(response->settings());
}

std::optional<std::vector<std::string>> LinkClient::setConfiguration(const std::map<std::string, Value>& values) {
    Tyvo::Message::Request request;
    request.set_type(202);
    toConfigSettings(values, *request.mutable_settings());
    auto response = this->request(std::move(request));
    if (!response || response->type() != 302 || response->status() != 0) return std::nullopt;
    return std::vector<std::string>(response->keys().keys().begin(), response->keys().keys().end());
}

std::optional<std::vector<std::string>> LinkClient::subscribe(const std::vector<std::string>& resources,
                                                              bool subscribe) {
    Tyvo::Message::Request request;
    request.set_type(204);
    auto* events = request.mutable_events();
    for (const auto& name : resources) events->add_resources(name);
    events->set_subscribe(subscribe);
    auto response = this->request(std::move(request));
    if (!response || response->type() != 304 || response->status() != 0) return std::nullopt;
    return std::vector<std::string>(response->events().resources().begin(), response->events().resources().end());
}

std::optional<Tyvo::Message::DeviceList> LinkClient::devices() {
    Tyvo::Message::Request request;
    request.set_type(209);
    auto response = this->request(std::move(request));
    if (!response || response->type() != 309 || response->status() != 0) return std::nullopt;
    return response->devices();
}

bool LinkClient::ping(uint32_t pid, const std::string& title, const std::string& path) {
    Tyvo::Message::Request request;
    request.set_type(201);
    if (pid != 0) {
        auto* ping = request.mutable_ping();
        ping->set_pid(pid);
        ping->set_title(title);
        ping->set_path(path);
    }
    auto response = this->request(std::move(request));
    return response && response->type() == 301 && response->status() == 0;
}

bool LinkClient::connectEvents() {
    if (m_events) return true;
    if (m_eventPort <= 0) return false;
    const std::string name = linkName("EventLink");
    m_manager->declare(name, LinkPattern::PublishSubscribe, LinkTransport::Tcp, m_eventPort, m_options.host);
    auto endpoint = m_manager->open(name, LinkKind::Subscriber);
    if (!endpoint) return false;
    m_events = std::make_unique<LinkEndpointRpc>(std::move(endpoint));
    return true;
}

std::optional<Tyvo::Message::Event> LinkClient::nextEvent(std::chrono::milliseconds wait) {
    if (!m_events) return std::nullopt;
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        Message message;
        if (!m_events->readMessage(message, std::max(left, std::chrono::milliseconds(0)))) {
            return std::nullopt;
        }
        // Anything that is not an event (a malformed message) is skipped.
        if (message.type() == Message::EVENT && message.has_event()) return message.event();
        if (left.count() <= 0) return std::nullopt;
    }
}
