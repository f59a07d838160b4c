#pragma once

// What tests of the controllers watch in a device context: frame records as
// a frame consumer receives them, log records, and waiting with a bound.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "camera/frames/DIFrameListener.h"
#include "context/Bolt.h"
#include "context/CoreContext.h"
#include "logging/LogRecord.h"
#include "tests/support/Eventually.h"

namespace controllertest {

// The shared bounded wait, with the longer bound a controller's start needs.
template <class Predicate>
bool eventually(Predicate predicate, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
    return Eventually(std::move(predicate), bound);
}

// A frame consumer: keeps the records it is handed (they stay alive while
// it holds them) and counts the devices that went.
class FrameCollector : public DIFrameListener {
public:
    void onFrame(std::weak_ptr<FrameRecord> frame) override {
        std::shared_ptr<FrameRecord> record = frame.lock();
        std::lock_guard<std::mutex> lock(m_collectorLock);
        if (record) m_records.push_back(std::move(record));
        // Only the latest few are kept, as a consumer would.
        if (m_records.size() > kKept) m_records.erase(m_records.begin());
        ++m_count;
        m_changed.notify_all();
    }
    void onDeviceGone() override {
        std::lock_guard<std::mutex> lock(m_collectorLock);
        ++m_gone;
    }

    bool waitForFrames(std::size_t count, std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_collectorLock);
        return m_changed.wait_for(lock, bound, [&] { return m_count >= count; });
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(m_collectorLock);
        return m_count;
    }
    std::shared_ptr<FrameRecord> latest() const {
        std::lock_guard<std::mutex> lock(m_collectorLock);
        return m_records.empty() ? nullptr : m_records.back();
    }
    std::vector<std::shared_ptr<FrameRecord>> records() const {
        std::lock_guard<std::mutex> lock(m_collectorLock);
        return m_records;
    }

private:
    static constexpr std::size_t kKept = 8;
    mutable std::mutex m_collectorLock;
    std::condition_variable m_changed;
    std::vector<std::shared_ptr<FrameRecord>> m_records;
    std::size_t m_count = 0;
    int m_gone = 0;
};

// Joins every new "Pipeline" context below its own context with a frame
// collector, the way a tracking pipeline attaches to a device.
class PipelineJoiner : public BoltBase {
public:
    const char* ContextName() const override { return "Pipeline"; }
    void OnContextCreated() override {
        auto collector = std::make_shared<FrameCollector>();
        CoreContext::Current()->AddMember(collector);
        std::lock_guard<std::mutex> lock(m_joinLock);
        m_collectors.push_back(collector);
    }
    std::shared_ptr<FrameCollector> collector(std::size_t index) const {
        std::lock_guard<std::mutex> lock(m_joinLock);
        return index < m_collectors.size() ? m_collectors[index] : nullptr;
    }
    std::size_t joined() const {
        std::lock_guard<std::mutex> lock(m_joinLock);
        return m_collectors.size();
    }

private:
    mutable std::mutex m_joinLock;
    std::vector<std::shared_ptr<FrameCollector>> m_collectors;
};

// The log records of the log server, as its listeners receive them.
class LogCollector : public LogRecordListener {
public:
    void onLogRecord(const LogRecord& record) override {
        std::lock_guard<std::mutex> lock(m_logLock);
        m_records.push_back(record);
    }
    // The first record whose text contains `text`; waits for it.
    bool waitFor(const std::string& text, LogRecord* found = nullptr,
                 std::chrono::milliseconds bound = std::chrono::seconds(10)) {
        return eventually(
            [&] {
                std::lock_guard<std::mutex> lock(m_logLock);
                for (const auto& r : m_records) {
                    if (r.text.find(text) != std::string::npos) {
                        if (found) *found = r;
                        return true;
                    }
                }
                return false;
            },
            bound);
    }
    std::size_t countOf(const std::string& text) const {
        std::lock_guard<std::mutex> lock(m_logLock);
        std::size_t n = 0;
        for (const auto& r : m_records) n += r.text.find(text) != std::string::npos ? 1 : 0;
        return n;
    }

private:
    mutable std::mutex m_logLock;
    std::vector<LogRecord> m_records;
};

}  // namespace controllertest
