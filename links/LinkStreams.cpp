#include "links/LinkStreams.h"

#include <algorithm>

LinkEndpointCopyInputStream::LinkEndpointCopyInputStream(LinkPartSource& source, size_t maxMessageSize)
    : m_source(source), m_maxMessageSize(maxMessageSize), m_buffer(new uint8_t[kPartSize]) {}

LinkEndpointCopyInputStream::~LinkEndpointCopyInputStream() = default;

void LinkEndpointCopyInputStream::beginMessage(std::optional<std::chrono::milliseconds> firstPartWait) {
    m_firstPartWait = firstPartWait;
    m_size = m_position = 0;
    m_started = false;
    m_ended = false;
    m_nothingWaiting = false;
    m_failed = false;
    m_received = 0;
    m_parts = 0;
    m_byteCount = 0;
}

bool LinkEndpointCopyInputStream::receiveNextPart() {
    while (!m_ended) {
        bool more = false;
        int n = m_source.receivePart(m_buffer.get(), kPartSize, m_started ? std::nullopt : m_firstPartWait, more);
        if (n < 0) {
            // Nothing at all is no error; a message cut short is.
            if (m_started)
                m_failed = true;
            else
                m_nothingWaiting = true;
            m_ended = true;
            return false;
        }
        m_started = true;
        if (!more) m_ended = true;
        m_received += static_cast<size_t>(n);
        ++m_parts;
        // Empty parts cost nothing in bytes, so their number is limited too:
        // a message of the maximum size needs this many parts and its end part.
        const size_t maxParts = m_maxMessageSize / kPartSize + 2;
        if (static_cast<size_t>(n) > kPartSize || m_received > m_maxMessageSize || m_parts > maxParts) {
            // Not one of ours: take the rest off the link and drop it all.
            m_failed = true;
            m_size = m_position = 0;
            finishMessage();
            return false;
        }
        if (n == 0) continue;  // an empty part carries nothing; the end part usually is one
        m_size = static_cast<size_t>(n);
        m_position = 0;
        return true;
    }
    return false;
}

bool LinkEndpointCopyInputStream::Next(const void** data, int* size) {
    if (m_failed) return false;
    if (m_position == m_size && !receiveNextPart()) return false;
    *data = m_buffer.get() + m_position;
    *size = static_cast<int>(m_size - m_position);
    m_byteCount += *size;
    m_position = m_size;
    return true;
}

void LinkEndpointCopyInputStream::BackUp(int count) {
    // Only bytes of the last buffer handed out can be given back.
    size_t back = std::min(static_cast<size_t>(std::max(count, 0)), m_position);
    m_position -= back;
    m_byteCount -= static_cast<int64_t>(back);
}

bool LinkEndpointCopyInputStream::Skip(int count) {
    if (count < 0) return false;
    size_t left = static_cast<size_t>(count);
    while (left > 0) {
        if (m_failed) return false;
        if (m_position == m_size && !receiveNextPart()) return false;
        size_t step = std::min(left, m_size - m_position);
        m_position += step;
        m_byteCount += static_cast<int64_t>(step);
        left -= step;
    }
    return true;
}

void LinkEndpointCopyInputStream::finishMessage() {
    while (!m_ended) {
        bool more = false;
        // Later parts of a message travel with its first part, so they are
        // there already; a source that closes ends the wait.
        int n = m_source.receivePart(m_buffer.get(), kPartSize, std::nullopt, more);
        if (n < 0 || !more) m_ended = true;
        if (n < 0) m_failed = true;
    }
    m_size = m_position = 0;
}

LinkEndpointCopyOutputStream::LinkEndpointCopyOutputStream(LinkPartSink& sink)
    : m_sink(sink), m_buffer(new uint8_t[kPartSize]) {}

LinkEndpointCopyOutputStream::~LinkEndpointCopyOutputStream() = default;

void LinkEndpointCopyOutputStream::beginMessage() {
    m_used = 0;
    m_failed = false;
    m_byteCount = 0;
}

bool LinkEndpointCopyOutputStream::Next(void** data, int* size) {
    if (m_failed) return false;
    if (m_used == kPartSize) {
        // A full buffer is a part; more follow (at least the end part).
        if (!m_sink.sendPart(m_buffer.get(), kPartSize, true)) {
            m_failed = true;
            return false;
        }
        m_used = 0;
    }
    *data = m_buffer.get() + m_used;
    *size = static_cast<int>(kPartSize - m_used);
    m_byteCount += *size;
    m_used = kPartSize;
    return true;
}

void LinkEndpointCopyOutputStream::BackUp(int count) {
    size_t back = std::min(static_cast<size_t>(std::max(count, 0)), m_used);
    m_used -= back;
    m_byteCount -= static_cast<int64_t>(back);
}

bool LinkEndpointCopyOutputStream::finishMessage() {
    if (m_failed) return false;
    if (m_used == kPartSize) {
        if (!m_sink.sendPart(m_buffer.get(), kPartSize, true)) {
            m_failed = true;
            return false;
        }
        m_used = 0;
    }
    bool sent = m_sink.sendPart(m_buffer.get(), m_used, false);
    m_used = 0;
    return sent;
}
