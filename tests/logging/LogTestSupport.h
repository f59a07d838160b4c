#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <streambuf>
#include <string>

#include "logging/LogClock.h"

// A clock the test moves by hand.
class FakeLogClock : public LogClock {
public:
    explicit FakeLogClock(std::time_t wall = 1796724722, int64_t steadyMs = 100000)
        : m_wall(wall), m_steady(steadyMs) {}
    std::time_t now() const override { return m_wall.load(); }
    int64_t steadyMilliseconds() const override { return m_steady.load(); }
    void advance(int64_t milliseconds) { m_steady.fetch_add(milliseconds); }

private:
    std::atomic<std::time_t> m_wall;
    std::atomic<int64_t> m_steady;
};

// A stream buffer that one thread writes and another reads safely.
class SharedTextBuffer : public std::streambuf {
public:
    std::string text() const {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        return m_text;
    }

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        std::lock_guard<std::mutex> lock(m_bufferLock);
        m_text.push_back(traits_type::to_char_type(c));
        return c;
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        std::lock_guard<std::mutex> lock(m_bufferLock);
        m_text.append(s, static_cast<std::size_t>(n));
        return n;
    }

private:
    mutable std::mutex m_bufferLock;
    std::string m_text;
};
