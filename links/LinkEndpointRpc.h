#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>

#include "links/LinkEndpoint.h"
#include "links/LinkStreams.h"
#include "source/DataStructures/Tyvo.pb.h"

// A message channel over one endpoint: whole Tyvo::Message::Message values,
// each framed as one multi-part socket message. Several threads may write
// (one message at a time goes out whole) and read (one at a time).
class LinkEndpointRpc {
public:
    explicit LinkEndpointRpc(std::unique_ptr<LinkEndpoint> endpoint);
    ~LinkEndpointRpc();

    LinkEndpointRpc(const LinkEndpointRpc&) = delete;
    LinkEndpointRpc& operator=(const LinkEndpointRpc&) = delete;

    // Reads one message. The first part is awaited, except on publishers
    // and repliers, where it is only polled. False when no message was
    // waiting. A message that came but does not parse (or broke a size
    // limit) leaves `message` empty and returns true.
    bool readMessage(Tyvo::Message::Message& message);
    // As above, waiting at most `maxWait` for the first part.
    bool readMessage(Tyvo::Message::Message& message, std::chrono::milliseconds maxWait);

    // True when every part was sent. An incomplete message (a required field
    // missing) is not sent at all.
    bool writeMessage(const Tyvo::Message::Message& message);

    LinkEndpoint& endpoint() { return *m_endpoint; }

private:
    class EndpointParts;
    bool read(Tyvo::Message::Message& message, std::optional<std::chrono::milliseconds> firstPartWait);

    std::unique_ptr<LinkEndpoint> m_endpoint;
    std::unique_ptr<EndpointParts> m_parts;
    const int m_kind;

    std::mutex m_readLock;  // one reader at a time owns the input stream
    LinkEndpointCopyInputStream m_input;
    std::mutex m_writeLock;  // one message's parts go out together
    LinkEndpointCopyOutputStream m_output;
};

// Reads one message from any part source, as LinkEndpointRpc does; for the
// framing without sockets (tests, fuzzing). Returns false when nothing came.
bool readFramedMessage(LinkEndpointCopyInputStream& input, Tyvo::Message::Message& message,
                       std::optional<std::chrono::milliseconds> firstPartWait);
