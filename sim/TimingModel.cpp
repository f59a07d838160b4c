#include "sim/TimingModel.h"

#include <algorithm>

namespace tyvo::sim {
namespace {

struct Link {
    double bitsPerSecond;
    double overheadBytes;  // token + data PID/CRC + handshake + sync/EOP per transaction
};

Link linkFor(UsbSpeed speed) {
    switch (speed) {
        case UsbSpeed::Low: return {1.5e6, 14};
        case UsbSpeed::Full: return {12e6, 14};
        case UsbSpeed::High: return {480e6, 24};
        case UsbSpeed::Super: return {4e9, 40};  // 5 Gbit/s less 8b/10b coding
    }
    return {480e6, 24};
}

}  // namespace

std::chrono::nanoseconds TimingModel::busTime(const TransferRequest& request, std::size_t dataBytes, UsbSpeed speed,
                                              std::size_t maxPacket) const {
    const Link link = linkFor(speed);
    maxPacket = std::max<std::size_t>(maxPacket, 8);
    const std::size_t packets = dataBytes == 0 ? 0 : (dataBytes + maxPacket - 1) / maxPacket;
    double bytes = static_cast<double>(dataBytes) + link.overheadBytes * static_cast<double>(packets);
    if (request.type == TransferType::Control) {
        // Setup stage (8 bytes) and status stage (zero-length packet).
        bytes += 8 + 2 * link.overheadBytes;
    } else if (packets == 0) {
        bytes += link.overheadBytes;  // a zero-length packet still takes a transaction
    }
    return std::chrono::nanoseconds(static_cast<long long>(bytes * 8.0 / link.bitsPerSecond * 1e9));
}

}  // namespace tyvo::sim
