#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>
#include <vector>

#include "camera/capture/ControlNumbers.h"
#include "camera/capture/HardwareCamera.h"
#include "camera/capture/HardwareStateListener.h"
#include "camera/capture/RawFrameListener.h"
#include "context/CoreThread.h"
#include "context/EventSender.h"

// The capture object of one controller in normal operation: a context thread
// ("UVCInterface") in the device's context that opens the camera, keeps it
// streaming, and offers the device numbered controls (ControlNumbers.h). The
// controller firmware also uses two of them as a memory window
// (MemoryWindow.h). A platform subclass finds the camera, streams it and
// carries the control requests.
//
// Locks: the I/O lock (one control request at a time) is always taken before
// the state lock (queue, stream state, requested format, control cache and
// the platform's handles). Control requests may come from any thread; the
// command loop runs on the capture thread only.
class UVCInterface : public CoreThread, public HardwareCamera {
public:
    // Commands of the command loop.
    enum Command : int {
        kCommandEnd = 0,    // leave the loop: the thread ends
        kCommandClose = 1,  // close the camera unless it is closed
        kCommandNothing = 2,
        kCommandStream = 3,   // open, announce and stream unless streaming
        kCommandRestart = 4,  // close, then open and stream
    };
    enum StreamState : int { kNotStreaming = 0, kStreaming = 2 };

    UVCInterface();
    ~UVCInterface() override;

    // The command loop, until command 0 or a stop request.
    void Run() override;
    // Posts command 0.
    void OnStop() override;

    bool isConnected() const override;

    // Range of a capture control; false when there is none (or no camera).
    virtual bool controlRange(int control, int& minimum, int& maximum, int& step, int& defaultValue) = 0;
    // Stores the requested format; false when it equals the stored one.
    virtual bool requestFormat(int width, int height, float frameRate);
    // Finds and opens the camera; throws when it cannot.
    virtual void openCamera() = 0;
    // Builds the stream and streams until told to stop; closes the camera
    // before it returns.
    virtual void runStream() = 0;
    // Releases every handle on the camera.
    virtual void closeCamera() = 0;
    // Makes a blocked runStream look at the command queue.
    virtual void wake() {}
    // One control request. While no camera is open a request succeeds
    // without reaching a device; once the thread is stopping, or the device
    // is gone, it throws NotConnectedException. False when the device
    // refuses it.
    virtual bool readControl(int control, int& value) = 0;
    virtual bool writeControl(int control, int value) = 0;

    // readControl, and the value into the cache on success.
    bool getControl(int control, int& value);
    // The value into the cache and marked dirty first (so a stream built
    // later replays it), then writeControl.
    bool putControl(int control, int value);
    // Appends a command to the queue and wakes the loop and the stream.
    void post(int command);

    int streamState() const;
    // The requested format.
    int requestedWidth() const;
    int requestedHeight() const;

protected:
    void setStreamState(int state);
    // The requested format, with the state lock held.
    void requestedFormatLocked(int& width, int& height) const;

    // For runStream, under the state lock: drops start commands at the head
    // of the queue (a start while streaming is dropped) and says whether the
    // stream must end for the command that is left, or for a stop request.
    bool streamMustEndLocked();

    // The cached value of a control (0 outside the cache); the Locked form
    // with the state lock held.
    int cachedValue(int control) const;
    int cachedValueLocked(int control) const;
    // (control, value) of every control requested since construction, in
    // control order: what a new stream writes to the device again.
    std::vector<std::pair<int, int>> dirtyControls() const;

    // The capture layer found the device gone: isConnected is false from now.
    void markDeviceLost();

    // Raw frames go to the receivers of the capture object's context.
    void fireRawFrame(std::int64_t timestampMicroseconds, const std::uint8_t* data, int width, int height);

    mutable std::mutex m_ioLock;     // one control request at a time; before m_stateLock
    mutable std::mutex m_stateLock;  // queue, stream state, format, cache, platform handles

private:
    // Carries out one command; false ends the loop.
    bool execute(int command);

    EventSender<RawFrameListener> m_rawFrames;
    EventSender<HardwareStateListener> m_stateEvents;

    std::condition_variable m_queueChanged;
    std::deque<int> m_commands;
    int m_streamState = kNotStreaming;
    std::array<bool, kControlCount> m_dirty{};
    std::array<int, kControlCount> m_values{};
    int m_width = 0;
    int m_height = 0;
    float m_frameRate = 0.0f;
    std::atomic<bool> m_deviceLost{false};
};
