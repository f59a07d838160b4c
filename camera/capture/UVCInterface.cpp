#include "camera/capture/UVCInterface.h"

UVCInterface::UVCInterface() : CoreThread("UVCInterface") {}

UVCInterface::~UVCInterface() = default;

void UVCInterface::Run() {
    for (;;) {
        int command = kCommandEnd;
        {
            std::unique_lock<std::mutex> lock(m_stateLock);
            m_queueChanged.wait(lock, [this] { return !m_commands.empty() || ShouldStop(); });
            if (ShouldStop()) return;
            command = m_commands.front();
            m_commands.pop_front();
            // Repeated commands coalesce: 3, 3 opens once.
            while (!m_commands.empty() && m_commands.front() == command) m_commands.pop_front();
        }
        try {
            if (!execute(command)) return;
        } catch (...) {
            // The thread ends with the exception (the context reports it);
            // the camera must not stay open behind it.
            closeCamera();
            throw;
        }
    }
}

bool UVCInterface::execute(int command) {
    switch (command) {
        case kCommandEnd: return false;
        case kCommandClose:
            if (streamState() != kNotStreaming) closeCamera();
            return true;
        case kCommandStream:
            if (streamState() != kStreaming) {
                openCamera();
                m_stateEvents.Fire(&HardwareStateListener::onCameraOpened);
                runStream();
            }
            return true;
        case kCommandRestart: return execute(kCommandClose) && execute(kCommandStream);
        default: return true;
    }
}

void UVCInterface::OnStop() { post(kCommandEnd); }

bool UVCInterface::isConnected() const { return !m_deviceLost.load(); }

void UVCInterface::markDeviceLost() { m_deviceLost.store(true); }

bool UVCInterface::requestFormat(int width, int height, float frameRate) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    if (width == m_width && height == m_height && frameRate == m_frameRate) return false;
    m_width = width;
    m_height = height;
    m_frameRate = frameRate;
    return true;
}

bool UVCInterface::getControl(int control, int& value) {
    if (!readControl(control, value)) return false;
    if (isControlIndex(control)) {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_values[control] = value;
    }
    return true;
}

bool UVCInterface::putControl(int control, int value) {
    if (isControlIndex(control)) {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_values[control] = value;
        m_dirty[control] = true;
    }
    return writeControl(control, value);
}

void UVCInterface::post(int command) {
    {
        std::lock_guard<std::mutex> lock(m_stateLock);
        m_commands.push_back(command);
        m_queueChanged.notify_all();
    }
    wake();
}

int UVCInterface::streamState() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_streamState;
}

void UVCInterface::setStreamState(int state) {
    std::lock_guard<std::mutex> lock(m_stateLock);
    m_streamState = state;
}

int UVCInterface::requestedWidth() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_width;
}

void UVCInterface::requestedFormatLocked(int& width, int& height) const {
    width = m_width;
    height = m_height;
}

int UVCInterface::requestedHeight() const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return m_height;
}

bool UVCInterface::streamMustEndLocked() {
    while (!m_commands.empty() && m_commands.front() == kCommandStream) m_commands.pop_front();
    return !m_commands.empty() || ShouldStop();
}

int UVCInterface::cachedValue(int control) const {
    std::lock_guard<std::mutex> lock(m_stateLock);
    return cachedValueLocked(control);
}

int UVCInterface::cachedValueLocked(int control) const { return isControlIndex(control) ? m_values[control] : 0; }

std::vector<std::pair<int, int>> UVCInterface::dirtyControls() const {
    std::vector<std::pair<int, int>> dirty;
    std::lock_guard<std::mutex> lock(m_stateLock);
    for (int control = 0; control < kControlCount; ++control)
        if (m_dirty[control]) dirty.emplace_back(control, m_values[control]);
    return dirty;
}

void UVCInterface::fireRawFrame(std::int64_t timestampMicroseconds, const std::uint8_t* data, int width, int height) {
    m_rawFrames.Fire(&RawFrameListener::onRawFrame, timestampMicroseconds, data, width, height);
}
