#pragma once

#include <chrono>
#include <future>

#include "camera/capture/HardwareStateListener.h"

// Keeps the capture thread in the camera-opened event until opened: the
// camera is open and does not stream yet, as while a device sets itself up.
class OpeningGate : public HardwareStateListener {
public:
    void onCameraOpened() override {
        m_opened.set_value();
        m_released.wait();
    }

    bool waitUntilOpened(std::chrono::milliseconds timeout) {
        return m_openedSeen.wait_for(timeout) == std::future_status::ready;
    }
    void open() { m_release.set_value(); }

private:
    std::promise<void> m_opened;
    std::future<void> m_openedSeen = m_opened.get_future();
    std::promise<void> m_release;
    std::future<void> m_released = m_release.get_future();
};
