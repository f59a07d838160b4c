#include "camera/frames/FrameHistory.h"

#include <stdexcept>

void FrameHistory::dropOldestIfFull() {
    if (!full()) return;
    m_ring[m_first].reset();
    m_first = (m_first + 1) % Capacity;
    --m_count;
}

void FrameHistory::append(std::shared_ptr<FrameRecord> record) {
    dropOldestIfFull();
    m_ring[(m_first + m_count) % Capacity] = std::move(record);
    ++m_count;
}

const std::shared_ptr<FrameRecord>& FrameHistory::at(std::size_t i) const {
    if (i >= m_count) throw std::out_of_range("frame history index");
    return m_ring[(m_first + i) % Capacity];
}

void FrameHistory::clear() {
    for (auto& entry : m_ring) entry.reset();
    m_first = 0;
    m_count = 0;
}
