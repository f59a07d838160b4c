#pragma once
// An SPI NOR flash as the boot programmer sees it: 64 KB sectors, erase sets
// a sector to 0xFF and keeps the chip busy for a while, programming can only
// clear bits, and the chip ignores programming while it is busy.

#include "sim/UsbDescriptors.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace tyvo::sim {

class SpiFlashModel {
public:
    static constexpr std::size_t kSectorSize = 64 * 1024;
    static constexpr std::size_t kPageSize = 256;
    static constexpr std::size_t kDefaultSize = 2 * 1024 * 1024;  // 16 Mbit

    explicit SpiFlashModel(std::size_t size = kDefaultSize);

    std::size_t size() const { return m_size; }

    // How long an erase keeps the chip busy: a number of status polls, or,
    // with real time on, the given duration of wall-clock time.
    void setEraseBusyPolls(unsigned polls);
    void setEraseRealTime(std::optional<std::chrono::nanoseconds> duration);
    // The chip never leaves busy after an erase (a stuck flash).
    void setStuckBusy(bool stuck);

    // False when out of range. The erase sets the sector to 0xFF at once;
    // the chip then reports busy.
    bool startErase(uint32_t sector);
    // One status poll: true while an erase is still running.
    bool pollBusy();
    // The chip loses power: a running erase ends with it (a stuck chip
    // sticks again on its next erase).
    void powerCycle();
    // A weak cell: programming the page leaves the byte at this offset in it
    // unprogrammed (it keeps its bits set). Once: only the first program of
    // the page after this call; else every one (a worn-out cell).
    void setWeakCell(uint32_t page, std::size_t offset, bool once);
    // How often the weak cell has failed to program.
    unsigned weakCellMisses() const;
    // ANDs the data into the array. False when out of range or busy.
    bool program(uint32_t address, std::span<const uint8_t> data);
    std::optional<Bytes> read(uint32_t address, std::size_t length) const;

    // Inspection and set-up from tests.
    Bytes contents() const;
    void load(uint32_t address, std::span<const uint8_t> data);  // raw, ignores bit rules
    unsigned eraseCount(uint32_t sector) const;
    unsigned statusPolls() const;
    std::size_t programmedBytes() const;

private:
    bool busyLocked() const;

    mutable std::mutex m_flashLock;
    std::size_t m_size;
    Bytes m_array;
    std::vector<unsigned> m_erases;
    unsigned m_busyPolls = 2;
    std::optional<std::chrono::nanoseconds> m_eraseTime;
    bool m_stuck = false;
    bool m_erasing = false;
    unsigned m_pollsLeft = 0;
    std::chrono::steady_clock::time_point m_readyAt{};
    unsigned m_statusPolls = 0;
    std::size_t m_programmed = 0;
    struct WeakCell {
        uint32_t address = 0;
        bool once = true;
    };
    std::optional<WeakCell> m_weakCell;
    unsigned m_weakCellMisses = 0;
};

}  // namespace tyvo::sim
