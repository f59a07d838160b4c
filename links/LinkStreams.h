#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include <google/protobuf/io/zero_copy_stream.h>

// One protocol-buffer message travels as one multi-part socket message, in
// parts of at most kPartSize bytes. The streams below let the protocol-buffer
// library parse from and serialise into the parts directly, through one
// preallocated part buffer each, with no whole-message buffer in between.

// Where the input stream takes its parts from (a link endpoint, or a test).
class LinkPartSource {
public:
    virtual ~LinkPartSource() = default;
    // Receives one part as LinkEndpoint::receive does: returns its size (only
    // `capacity` bytes stored when larger), or -1 when nothing came. Without
    // a wait limit the call waits until a part comes or the source closes.
    virtual int receivePart(void* buffer, size_t capacity, std::optional<std::chrono::milliseconds> maxWait,
                            bool& more) = 0;
};

// Where the output stream sends its parts.
class LinkPartSink {
public:
    virtual ~LinkPartSink() = default;
    virtual bool sendPart(const void* bytes, size_t length, bool more) = 0;
};

class LinkEndpointCopyInputStream : public google::protobuf::io::ZeroCopyInputStream {
public:
    static constexpr size_t kPartSize = 0x20000;  // 131072

    // `maxMessageSize`: a message larger than this is received to its end
    // and dropped.
    LinkEndpointCopyInputStream(LinkPartSource& source, size_t maxMessageSize);
    ~LinkEndpointCopyInputStream() override;

    // Starts a new message. The first part is awaited for at most
    // `firstPartWait` (nullopt: until it comes or the source closes; zero:
    // only polled). Later parts of the same message are always awaited.
    void beginMessage(std::optional<std::chrono::milliseconds> firstPartWait);

    // Receives and discards whatever is left of the current message, so that
    // the next message starts on its own first part.
    void finishMessage();

    // True when the first part of the message never came.
    bool nothingWaiting() const { return m_nothingWaiting; }
    // True when the message broke a limit (a part larger than the buffer,
    // the message larger than the maximum) or a part went missing.
    bool failed() const { return m_failed; }

    bool Next(const void** data, int* size) override;
    void BackUp(int count) override;
    bool Skip(int count) override;
    int64_t ByteCount() const override { return m_byteCount; }

private:
    bool receiveNextPart();

    LinkPartSource& m_source;
    const size_t m_maxMessageSize;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_size = 0;      // bytes of the current part in the buffer
    size_t m_position = 0;  // bytes of it handed out (less what was backed up)
    std::optional<std::chrono::milliseconds> m_firstPartWait;
    bool m_started = false;  // the first part arrived
    bool m_ended = true;     // the last part arrived (or the message was abandoned)
    bool m_nothingWaiting = false;
    bool m_failed = false;
    size_t m_received = 0;  // bytes of the message received so far
    size_t m_parts = 0;     // parts of the message received so far
    int64_t m_byteCount = 0;
};

class LinkEndpointCopyOutputStream : public google::protobuf::io::ZeroCopyOutputStream {
public:
    static constexpr size_t kPartSize = 0x20000;  // 131072

    explicit LinkEndpointCopyOutputStream(LinkPartSink& sink);
    ~LinkEndpointCopyOutputStream() override;

    // Starts a new message.
    void beginMessage();
    // Sends what is left as the last part (possibly empty, so that a message
    // filling whole parts still ends). False when any part failed.
    bool finishMessage();

    bool Next(void** data, int* size) override;
    void BackUp(int count) override;
    int64_t ByteCount() const override { return m_byteCount; }

private:
    LinkPartSink& m_sink;
    std::unique_ptr<uint8_t[]> m_buffer;
    size_t m_used = 0;  // bytes of the buffer handed out (less what was backed up)
    bool m_failed = false;
    int64_t m_byteCount = 0;
};
