#pragma once

#include <array>
#include <cstddef>
#include <memory>

#include "camera/frames/SourceImage.h"

// The most recent frame records of a device, kept alive even when no
// consumer holds them. Touched only by the thread that handles raw frames.
class FrameHistory {
public:
    static constexpr std::size_t Capacity = 5;

    std::size_t size() const { return m_count; }
    bool full() const { return m_count == Capacity; }

    // Makes room before a record is taken from the pool, so that the oldest
    // record can be the one recycled.
    void dropOldestIfFull();
    // Appends; when full, the oldest entry is dropped first.
    void append(std::shared_ptr<FrameRecord> record);
    // Entry i, 0 being the oldest.
    const std::shared_ptr<FrameRecord>& at(std::size_t i) const;
    void clear();

private:
    std::array<std::shared_ptr<FrameRecord>, Capacity> m_ring;
    std::size_t m_first = 0;
    std::size_t m_count = 0;
};
