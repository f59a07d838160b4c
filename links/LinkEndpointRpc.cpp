#include "links/LinkEndpointRpc.h"

#include "links/LinkManager.h"
#include "links/LinkTypes.h"

class LinkEndpointRpc::EndpointParts : public LinkPartSource, public LinkPartSink {
public:
    explicit EndpointParts(LinkEndpoint& endpoint) : m_endpoint(endpoint) {}

    int receivePart(void* buffer, size_t capacity, std::optional<std::chrono::milliseconds> maxWait,
                    bool& more) override {
        if (maxWait) return m_endpoint.receive(buffer, capacity, *maxWait, more);
        return m_endpoint.receive(buffer, capacity, true, more);
    }

    bool sendPart(const void* bytes, size_t length, bool more) override {
        return m_endpoint.sendPart(bytes, length, more);
    }

private:
    LinkEndpoint& m_endpoint;
};

LinkEndpointRpc::LinkEndpointRpc(std::unique_ptr<LinkEndpoint> endpoint)
    : m_endpoint(std::move(endpoint)),
      m_parts(std::make_unique<EndpointParts>(*m_endpoint)),
      m_kind(m_endpoint->kind()),
      m_input(*m_parts, LinkManager::kMaxMessageSize),
      m_output(*m_parts) {}

LinkEndpointRpc::~LinkEndpointRpc() = default;

bool readFramedMessage(LinkEndpointCopyInputStream& input, Tyvo::Message::Message& message,
                       std::optional<std::chrono::milliseconds> firstPartWait) {
    message.Clear();
    input.beginMessage(firstPartWait);
    // The completeness check is ours: the library's own would complain on
    // standard error about every malformed message a peer sends.
    bool parsed = message.ParsePartialFromZeroCopyStream(&input) && message.IsInitialized();
    if (input.nothingWaiting()) {
        message.Clear();
        return false;
    }
    // The parser may stop early on bad input; the rest of the message must
    // not be taken for the start of the next one.
    input.finishMessage();
    if (!parsed || input.failed()) message.Clear();
    return true;
}

bool LinkEndpointRpc::read(Tyvo::Message::Message& message, std::optional<std::chrono::milliseconds> firstPartWait) {
    std::lock_guard<std::mutex> lock(m_readLock);
    return readFramedMessage(m_input, message, firstPartWait);
}

bool LinkEndpointRpc::readMessage(Tyvo::Message::Message& message) {
    // A publisher never receives and a replier serves many peers from one
    // loop: neither may block here.
    std::optional<std::chrono::milliseconds> wait;
    if (m_kind == LinkKind::Publisher || m_kind == LinkKind::Reply) wait = std::chrono::milliseconds(0);
    return read(message, wait);
}

bool LinkEndpointRpc::readMessage(Tyvo::Message::Message& message, std::chrono::milliseconds maxWait) {
    return read(message, maxWait);
}

bool LinkEndpointRpc::writeMessage(const Tyvo::Message::Message& message) {
    if (!message.IsInitialized()) return false;
    std::lock_guard<std::mutex> lock(m_writeLock);
    m_output.beginMessage();
    bool serialised = message.SerializePartialToZeroCopyStream(&m_output);
    // Even after a failure the message is ended, so that the peer never
    // sees the parts already sent run into the next message.
    bool finished = m_output.finishMessage();
    return serialised && finished;
}
