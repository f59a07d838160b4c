#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "camera/capture/HardwareStateListener.h"
#include "camera/capture/RawFrameListener.h"
#include "context/ExceptionFilter.h"
#include "devices/core/DeviceExceptions.h"

// What a capture object reports in its context: raw frames, camera openings
// and the exception that ends its thread (handled here, so nothing is
// printed).
class CaptureWatcher : public RawFrameListener, public HardwareStateListener, public ExceptionFilter {
public:
    struct Frame {
        std::int64_t timestamp = 0;
        int width = 0;
        int height = 0;
        std::array<std::uint8_t, 6> trailer{};  // last six bytes of the even-byte image
        int openingsBefore = 0;
    };

    void onRawFrame(std::int64_t timestamp, const std::uint8_t* data, int width, int height) override {
        Frame frame{timestamp, width, height, {}, 0};
        const std::size_t last = static_cast<std::size_t>(width) * static_cast<std::size_t>(height) - 6;
        for (std::size_t i = 0; i < 6; ++i) frame.trailer[i] = data[2 * (last + i)];
        std::lock_guard<std::mutex> lock(m_watchLock);
        frame.openingsBefore = m_openings;
        m_frames.push_back(frame);
        m_changed.notify_all();
    }

    void onCameraOpened() override {
        std::lock_guard<std::mutex> lock(m_watchLock);
        ++m_openings;
        m_changed.notify_all();
    }

    // Exceptions of event receivers go on, as they would without a watcher.
    void OnEventException(const Rethrower& rethrow, const EventReceiverProxyBase*,
                          const std::shared_ptr<EventReceiver>&) override {
        rethrow();
    }

    void OnThreadException(const Rethrower& rethrow) override {
        std::string kind;
        std::string text;
        try {
            rethrow();
        } catch (const device_lost_exception& e) {
            kind = "device_lost";
            text = e.what();
        } catch (const device_exception& e) {
            kind = "device";
            text = e.what();
        } catch (const NotConnectedException& e) {
            kind = "not_connected";
            text = e.what();
        } catch (const scorch_exception& e) {
            kind = "scorch";
            text = e.what();
        } catch (const hardware_exception& e) {
            kind = "hardware";
            text = e.what();
        } catch (const std::runtime_error& e) {
            kind = "runtime";
            text = e.what();
        } catch (...) {
            kind = "other";
        }
        std::lock_guard<std::mutex> lock(m_watchLock);
        m_endKind = kind;
        m_endText = text;
        m_ended = true;
        m_changed.notify_all();
    }

    bool waitForFrames(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_watchLock);
        return m_changed.wait_for(lock, timeout, [&] { return m_frames.size() >= count; });
    }

    // Waits for frames of this height after the ones seen so far.
    bool waitForFramesOfHeight(int height, std::size_t count,
                               std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_watchLock);
        return m_changed.wait_for(lock, timeout, [&] {
            std::size_t seen = 0;
            for (const Frame& f : m_frames) seen += f.height == height ? 1 : 0;
            return seen >= count;
        });
    }

    bool waitForEnd(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(m_watchLock);
        return m_changed.wait_for(lock, timeout, [&] { return m_ended; });
    }

    std::vector<Frame> frames() const {
        std::lock_guard<std::mutex> lock(m_watchLock);
        return m_frames;
    }
    int openings() const {
        std::lock_guard<std::mutex> lock(m_watchLock);
        return m_openings;
    }
    std::string endKind() const {
        std::lock_guard<std::mutex> lock(m_watchLock);
        return m_endKind;
    }
    std::string endText() const {
        std::lock_guard<std::mutex> lock(m_watchLock);
        return m_endText;
    }

private:
    mutable std::mutex m_watchLock;
    std::condition_variable m_changed;
    std::vector<Frame> m_frames;
    int m_openings = 0;
    bool m_ended = false;
    std::string m_endKind;
    std::string m_endText;
};
