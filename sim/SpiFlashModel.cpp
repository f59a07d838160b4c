#include "sim/SpiFlashModel.h"

#include <algorithm>

namespace tyvo::sim {

SpiFlashModel::SpiFlashModel(std::size_t size)
    : m_size(size), m_array(size, 0xFF), m_erases((size + kSectorSize - 1) / kSectorSize, 0) {}

void SpiFlashModel::setEraseBusyPolls(unsigned polls) {
    std::lock_guard lock(m_flashLock);
    m_busyPolls = polls;
}

void SpiFlashModel::setEraseRealTime(std::optional<std::chrono::nanoseconds> duration) {
    std::lock_guard lock(m_flashLock);
    m_eraseTime = duration;
}

void SpiFlashModel::setStuckBusy(bool stuck) {
    std::lock_guard lock(m_flashLock);
    m_stuck = stuck;
}

bool SpiFlashModel::startErase(uint32_t sector) {
    std::lock_guard lock(m_flashLock);
    if (sector >= m_erases.size() || busyLocked()) return false;
    const std::size_t begin = static_cast<std::size_t>(sector) * kSectorSize;
    std::fill(m_array.begin() + static_cast<std::ptrdiff_t>(begin),
              m_array.begin() + static_cast<std::ptrdiff_t>(std::min(begin + kSectorSize, m_size)), 0xFF);
    ++m_erases[sector];
    m_erasing = true;
    m_pollsLeft = m_busyPolls;
    if (m_eraseTime) m_readyAt = std::chrono::steady_clock::now() + *m_eraseTime;
    return true;
}

bool SpiFlashModel::busyLocked() const {
    if (!m_erasing) return false;
    if (m_stuck) return true;
    if (m_eraseTime) return std::chrono::steady_clock::now() < m_readyAt;
    return m_pollsLeft > 0;
}

bool SpiFlashModel::pollBusy() {
    std::lock_guard lock(m_flashLock);
    ++m_statusPolls;
    const bool busy = busyLocked();
    if (!busy) {
        m_erasing = false;
    } else if (!m_eraseTime && !m_stuck) {
        --m_pollsLeft;
    }
    return busy;
}

void SpiFlashModel::powerCycle() {
    std::lock_guard lock(m_flashLock);
    m_erasing = false;
    m_pollsLeft = 0;
}

void SpiFlashModel::setWeakCell(uint32_t page, std::size_t offset, bool once) {
    std::lock_guard lock(m_flashLock);
    m_weakCell = WeakCell{static_cast<uint32_t>(page * kPageSize + offset % kPageSize), once};
}

unsigned SpiFlashModel::weakCellMisses() const {
    std::lock_guard lock(m_flashLock);
    return m_weakCellMisses;
}

bool SpiFlashModel::program(uint32_t address, std::span<const uint8_t> data) {
    std::lock_guard lock(m_flashLock);
    if (busyLocked()) return false;
    if (address > m_size || data.size() > m_size - address) return false;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::size_t at = address + i;
        if (m_weakCell && m_weakCell->address == at && data[i] != 0xFF) {
            ++m_weakCellMisses;
            if (m_weakCell->once) m_weakCell.reset();
            continue;
        }
        m_array[at] &= data[i];
    }
    m_programmed += data.size();
    return true;
}

std::optional<Bytes> SpiFlashModel::read(uint32_t address, std::size_t length) const {
    std::lock_guard lock(m_flashLock);
    if (address > m_size || length > m_size - address) return std::nullopt;
    return Bytes(m_array.begin() + address, m_array.begin() + static_cast<std::ptrdiff_t>(address + length));
}

Bytes SpiFlashModel::contents() const {
    std::lock_guard lock(m_flashLock);
    return m_array;
}

void SpiFlashModel::load(uint32_t address, std::span<const uint8_t> data) {
    std::lock_guard lock(m_flashLock);
    const std::size_t n = address > m_size ? 0 : std::min(data.size(), m_size - address);
    std::copy_n(data.begin(), n, m_array.begin() + address);
}

unsigned SpiFlashModel::eraseCount(uint32_t sector) const {
    std::lock_guard lock(m_flashLock);
    return sector < m_erases.size() ? m_erases[sector] : 0;
}

unsigned SpiFlashModel::statusPolls() const {
    std::lock_guard lock(m_flashLock);
    return m_statusPolls;
}

std::size_t SpiFlashModel::programmedBytes() const {
    std::lock_guard lock(m_flashLock);
    return m_programmed;
}

}  // namespace tyvo::sim
