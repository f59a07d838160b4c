#pragma once
// The driver port's device handle: the I/O control interface that the CCy
// classes speak, with transfers in the overlapped shape (start, then wait
// with a time-out, then collect the result). Errors are errno values.

#include <cerrno>
#include <cstdint>
#include <memory>

namespace DriverIoControl {
inline constexpr uint32_t kDriverVersion = 0x220000;     // 4 bytes out
inline constexpr uint32_t kUsbdiVersion = 0x220004;      // 4 bytes out
inline constexpr uint32_t kAlternateSetting = 0x220008;  // 1 byte out
inline constexpr uint32_t kBusAddress = 0x220010;        // 1 byte out
inline constexpr uint32_t kEndpointZeroTransfer = 0x220020;
inline constexpr uint32_t kBufferedTransfer = 0x220024;
inline constexpr uint32_t kDeviceName = 0x22003C;    // 256 bytes out
inline constexpr uint32_t kFriendlyName = 0x220040;  // 256 bytes out
inline constexpr uint32_t kAbortPipe = 0x220044;     // 1 byte in: endpoint address
inline constexpr uint32_t kDirectTransfer = 0x22004B;
inline constexpr uint32_t kBusSpeed = 0x22004C;  // 4 bytes out: 2 high speed, 4 super speed
}  // namespace DriverIoControl

// The request started and will complete into its overlapped record.
inline constexpr uint32_t kIoPending = EINPROGRESS;
inline constexpr uint32_t kWaitForever = 0xFFFFFFFF;

struct PendingIo;

// An overlapped record with its event. Destroying it while its transfer is
// still in flight detaches the transfer, which then completes into nothing.
class DriverOverlapped {
public:
    DriverOverlapped() = default;
    ~DriverOverlapped();
    DriverOverlapped(const DriverOverlapped&) = delete;
    DriverOverlapped& operator=(const DriverOverlapped&) = delete;

    std::shared_ptr<PendingIo> io;
};

class DriverHandle {
public:
    virtual ~DriverHandle() = default;

    // DeviceIoControl. 0: done (bytesReturned set); kIoPending: started, it
    // completes into the overlapped; otherwise an errno value. Without an
    // overlapped record a transfer is carried out synchronously.
    virtual uint32_t ioControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                               uint32_t& bytesReturned, DriverOverlapped* overlapped) = 0;
    // Waits for the overlapped's event: 0 signalled, ETIMEDOUT, or an error.
    virtual uint32_t wait(DriverOverlapped& overlapped, uint32_t timeoutMs) = 0;
    // The result of a finished request without waiting: 0 with the byte
    // count, EINPROGRESS while still running, or the request's error.
    virtual uint32_t overlappedResult(DriverOverlapped& overlapped, uint32_t& bytes) = 0;
    virtual uint32_t close() = 0;
};
