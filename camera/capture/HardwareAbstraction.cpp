#include "camera/capture/HardwareAbstraction.h"

HardwareAbstraction::HardwareAbstraction() = default;

HardwareAbstraction::~HardwareAbstraction() {
    // Frame consumers drop what they hold of this device before it goes.
    m_frameEvents.Fire(&DIFrameListener::onDeviceGone);
}

const std::string& HardwareAbstraction::serialNumber() const { return m_serial; }

int HardwareAbstraction::deviceClass() const {
    std::lock_guard<std::mutex> lock(m_identityLock);
    return m_deviceClass;
}

void HardwareAbstraction::setIdentity(const std::string& serial, int deviceClass) {
    std::lock_guard<std::mutex> lock(m_identityLock);
    if (m_serial != serial) m_serial = serial;
    m_deviceClass = deviceClass;
}

double HardwareAbstraction::frameRate() const { return 1.0 / m_frameInterval.load(); }

int HardwareAbstraction::firmwareVersion() { return 0; }

bool HardwareAbstraction::reservedQuery() { return false; }

void HardwareAbstraction::writeCalibration(const Calibration&) {}

void HardwareAbstraction::setExposure(float) {}
void HardwareAbstraction::setControl5(float) {}
void HardwareAbstraction::setFrameRate(float) {}
void HardwareAbstraction::setControl15(int) {}
void HardwareAbstraction::setAlternateMode(bool) {}
void HardwareAbstraction::setRegionOfInterest(const float[6]) {}
void HardwareAbstraction::applyResolution(int, int) {}

int HardwareAbstraction::horizontalDivisor() const { return m_horizontalDivisor.load(); }
int HardwareAbstraction::verticalDivisor() const { return m_verticalDivisor.load(); }

void HardwareAbstraction::storeDivisors(int horizontalDivisor, int verticalDivisor) {
    m_horizontalDivisor.store(horizontalDivisor);
    m_verticalDivisor.store(verticalDivisor);
}

void HardwareAbstraction::setResolution(int horizontalDivisor, int verticalDivisor) {
    storeDivisors(horizontalDivisor, verticalDivisor);
    applyResolution(this->horizontalDivisor(), this->verticalDivisor());
}

void HardwareAbstraction::smoothTimestamp(std::int64_t& timestamp) {
    std::int64_t u = timestamp + m_timestampOffset;
    if (u < m_lastTimestamp) {
        m_timestampOffset = m_lastTimestamp - timestamp;
        u = m_lastTimestamp + 1;
    }
    const float interval = static_cast<float>(u - m_lastTimestamp) * 3e-7f + 0.7f * m_frameInterval.load();
    m_frameInterval.store(interval);
    m_lastTimestamp = u;
    timestamp = u;
}

void HardwareAbstraction::onRateLimit(bool) {}
void HardwareAbstraction::onToggleOrientation() {}
void HardwareAbstraction::onResolutionRequest(int) {}
void HardwareAbstraction::onPipelineMessage(const std::string&) {}
void HardwareAbstraction::onReserved1() {}
void HardwareAbstraction::onReserved2() {}
void HardwareAbstraction::onReserved3() {}

void HardwareAbstraction::fireFirmwareUpdateStarted(const std::string& serialNumber) {
    m_firmwareEvents.Fire(&FirmwareStatusListener::onFirmwareUpdateStarted, serialNumber);
}

void HardwareAbstraction::fireFirmwareUpdateFinished() {
    m_firmwareEvents.Fire(&FirmwareStatusListener::onFirmwareUpdateFinished);
}

const LogHandle& HardwareAbstraction::updateLog() const { return m_log; }

int HardwareAbstraction::cachedControl(int control) const {
    return isControlIndex(control) ? m_controlValues[control].load() : 0;
}

void HardwareAbstraction::cacheControl(int control, int value) {
    if (isControlIndex(control)) m_controlValues[control].store(value);
}

bool HardwareAbstraction::setControlCached(int control, int value) {
    const bool ok = setControl(control, value);
    if (ok) cacheControl(control, value);
    return ok;
}
