#pragma once
// Modelled durations: wire time of a transfer on the bus and the internal
// times of the SPI NOR flash. Off for unit tests (transfers complete at once);
// on for benchmarks, where the modelled total is the physical limit that the
// measured time is compared with.

#include "sim/UsbTransfer.h"

#include <chrono>

namespace tyvo::sim {

struct TimingModel {
    // When false, devices answer at once; modelled times are still summed.
    bool enabled = false;
    // M25P-class typical figures.
    std::chrono::nanoseconds pageProgram = std::chrono::microseconds(640);  // per 256-byte page
    std::chrono::nanoseconds sectorErase = std::chrono::milliseconds(600);  // per 64 KB sector

    // Wire time of one transfer at the link's signalling rate: every packet
    // with its token, PID, CRC, handshake and sync/EOP overhead; no host
    // scheduling latency, so this is a lower bound.
    std::chrono::nanoseconds busTime(const TransferRequest& request, std::size_t dataBytes, UsbSpeed speed,
                                     std::size_t maxPacket) const;
};

}  // namespace tyvo::sim
