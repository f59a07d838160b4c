#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <utility>

#include "links/LinkStreams.h"

// Parts as a peer would send them, handed to the input stream one by one.
class FuzzParts : public LinkPartSource {
public:
    void add(std::string bytes, bool more) { m_parts.emplace_back(std::move(bytes), more); }
    bool empty() const { return m_parts.empty(); }

    int receivePart(void* buffer, size_t capacity, std::optional<std::chrono::milliseconds>, bool& more) override {
        if (m_parts.empty()) return -1;
        auto [bytes, m] = std::move(m_parts.front());
        m_parts.pop_front();
        std::memcpy(buffer, bytes.data(), std::min(capacity, bytes.size()));
        more = m;
        return static_cast<int>(bytes.size());
    }

private:
    std::deque<std::pair<std::string, bool>> m_parts;
};
