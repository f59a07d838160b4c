// The driver port over libusb's asynchronous API. A transfer is a libusb
// transfer whose completion writes statuses, byte counts and data back into
// the caller's request block, as the kernel driver did; waiting drives
// libusb's event handling on the waiting thread.

#include "usb/DriverTransferBlock.h"
#include "usb/LibusbSupport.h"
#include "usb/UsbDriverPort.h"
#include "usb/UsbfsControlChannel.h"

#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

using tyvo::usb::errnoFromLibusb;
using tyvo::usb::portChainOf;
using tyvo::usb::usbDevicePath;
using tyvo::usb::UsbfsControlChannel;
using Clock = std::chrono::steady_clock;

struct UsbDriverPort::Context {
    libusb_context* usb = nullptr;
    ~Context() {
        if (usb) libusb_exit(usb);
    }
};

class LibusbDriverHandle;

// One request in flight, shared by its overlapped record and libusb.
struct PendingIo {
    std::mutex m_ioLock;  // everything below
    LibusbDriverHandle* owner = nullptr;
    libusb_transfer* transfer = nullptr;
    std::unique_ptr<usbdevfs_urb> urb;  // instead of a libusb transfer: a large control request
    std::vector<uint8_t> buffer;        // what libusb (or usbfs) reads and writes
    uint8_t endpoint = 0;
    bool control = false;
    bool deviceToHost = false;
    // Where the results go; null once the overlapped record is gone.
    uint8_t* block = nullptr;
    uint32_t blockSize = 0;
    uint8_t* direct = nullptr;  // direct transfers: the caller's buffer
    uint32_t directSize = 0;
    uint32_t dataOffset = 0;  // data area in the block (control, buffered)
    uint32_t packetTableOffset = 0;
    uint32_t packetCount = 0;
    bool done = false;
    int completedFlag = 0;  // for libusb_handle_events_timeout_completed
    uint32_t error = 0;
    uint32_t bytes = 0;
};

DriverOverlapped::~DriverOverlapped() {
    if (!io) return;
    std::lock_guard lock(io->m_ioLock);
    io->block = nullptr;
    io->direct = nullptr;
}

namespace {

struct Outcome {
    uint32_t error;
    uint32_t usbd;
    uint32_t nt;
};

Outcome outcomeOf(libusb_transfer_status status) {
    using namespace DriverStatus;
    switch (status) {
        case LIBUSB_TRANSFER_COMPLETED: return {0, kSuccess, kSuccess};
        case LIBUSB_TRANSFER_STALL: return {EPIPE, kUsbdStallPid, kNtUnsuccessful};
        case LIBUSB_TRANSFER_TIMED_OUT: return {ETIMEDOUT, kUsbdTimeout, kNtIoTimeout};
        case LIBUSB_TRANSFER_CANCELLED: return {ECANCELED, kUsbdCanceled, kNtCancelled};
        case LIBUSB_TRANSFER_NO_DEVICE: return {ENODEV, kUsbdDeviceGone, kNtNoSuchDevice};
        case LIBUSB_TRANSFER_OVERFLOW: return {EOVERFLOW, kUsbdBufferOverrun, kNtDeviceDataError};
        default: return {EIO, kUsbdDevNotResponding, kNtDeviceDataError};
    }
}

libusb_transfer_status statusOfUrb(int status) {
    switch (-status) {
        case 0: return LIBUSB_TRANSFER_COMPLETED;
        case EPIPE: return LIBUSB_TRANSFER_STALL;
        case ENOENT:
        case ECONNRESET: return LIBUSB_TRANSFER_CANCELLED;
        case ESHUTDOWN:
        case ENODEV: return LIBUSB_TRANSFER_NO_DEVICE;
        case ETIMEDOUT: return LIBUSB_TRANSFER_TIMED_OUT;
        case EOVERFLOW: return LIBUSB_TRANSFER_OVERFLOW;
        default: return LIBUSB_TRANSFER_ERROR;
    }
}

struct EndpointInfo {
    uint8_t type = 0;  // bmAttributes & 3
    int interfaceNumber = 0;
};

constexpr uint32_t kNameSize = 256;

}  // namespace

class LibusbDriverHandle : public DriverHandle {
public:
    LibusbDriverHandle(std::shared_ptr<UsbDriverPort::Context> context, libusb_device_handle* handle)
        : m_context(std::move(context)), m_handle(handle), m_device(libusb_get_device(handle)) {
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(m_device, &config) == 0) {
            for (int i = 0; i < config->bNumInterfaces; ++i) {
                const libusb_interface& itf = config->interface[i];
                for (int a = 0; a < itf.num_altsetting; ++a) {
                    const libusb_interface_descriptor& alt = itf.altsetting[a];
                    if (i == 0 && a == 0) m_firstInterface = alt.bInterfaceNumber;
                    for (int e = 0; e < alt.bNumEndpoints; ++e)
                        m_endpoints.emplace(
                            alt.endpoint[e].bEndpointAddress,
                            EndpointInfo{static_cast<uint8_t>(alt.endpoint[e].bmAttributes & 3), alt.bInterfaceNumber});
                }
            }
            libusb_free_config_descriptor(config);
        }
        char node[32];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", libusb_get_bus_number(m_device),
                      libusb_get_device_address(m_device));
        m_nodeName = node;
    }

    ~LibusbDriverHandle() override { close(); }

    uint32_t ioControl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t& bytesReturned, DriverOverlapped* overlapped) override {
        bytesReturned = 0;
        if (!m_handle) return EBADF;
        switch (code) {
            case DriverIoControl::kEndpointZeroTransfer:
            case DriverIoControl::kBufferedTransfer:
            case DriverIoControl::kDirectTransfer:
                if (overlapped) return startTransfer(code, in, inSize, out, outSize, *overlapped);
                return transferSynchronously(code, in, inSize, out, outSize, bytesReturned);
            case DriverIoControl::kAbortPipe: {
                if (!in || inSize < 1) return EINVAL;
                abort(*static_cast<const uint8_t*>(in));
                if (overlapped) completeAtOnce(*overlapped, 0);
                return 0;
            }
            default: return query(code, out, outSize, bytesReturned, overlapped);
        }
    }

    uint32_t wait(DriverOverlapped& overlapped, uint32_t timeoutMs) override {
        if (!overlapped.io) return EINVAL;
        PendingIo& io = *overlapped.io;
        const bool forever = timeoutMs == kWaitForever;
        const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
        bool viaUsbfs = false;
        for (;;) {
            pumpUsbfs();
            {
                std::lock_guard lock(io.m_ioLock);
                if (io.done) return 0;
                viaUsbfs = io.urb != nullptr;
            }
            const auto now = Clock::now();
            if (!forever && now >= deadline) return ETIMEDOUT;
            auto slice = std::chrono::microseconds(viaUsbfs ? 1000 : 100000);
            if (!forever)
                slice = std::min(slice, std::chrono::duration_cast<std::chrono::microseconds>(deadline - now));
            if (viaUsbfs) {
                // usbfs completions are reaped here, not by libusb.
                std::this_thread::sleep_for(slice);
                continue;
            }
            timeval tv{0, static_cast<suseconds_t>(std::max<long long>(slice.count(), 1))};
            libusb_handle_events_timeout_completed(m_context->usb, &tv, &io.completedFlag);
        }
    }

    uint32_t overlappedResult(DriverOverlapped& overlapped, uint32_t& bytes) override {
        bytes = 0;
        if (!overlapped.io) return EINVAL;
        std::lock_guard lock(overlapped.io->m_ioLock);
        if (!overlapped.io->done) return EINPROGRESS;
        bytes = overlapped.io->bytes;
        return overlapped.io->error;
    }

    uint32_t close() override {
        if (!m_handle) return EBADF;
        // Nothing may complete into a closed handle: cancel and drain, bounded.
        std::vector<std::shared_ptr<PendingIo>> inFlight;
        {
            std::lock_guard lock(m_inFlightLock);
            inFlight = m_inFlight;
        }
        for (auto& io : inFlight) cancel(*io);
        const auto deadline = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(m_inFlightLock);
                if (m_inFlight.empty()) break;
            }
            pumpUsbfs();
            timeval tv{0, 20000};
            libusb_handle_events_timeout_completed(m_context->usb, &tv, nullptr);
        }
        m_usbfs.reset();
        for (int itf : m_claimed) libusb_release_interface(m_handle, itf);
        m_claimed.clear();
        libusb_close(m_handle);
        m_handle = nullptr;
        return 0;
    }

private:
    static void LIBUSB_CALL onTransferDone(libusb_transfer* transfer) {
        auto* io = static_cast<PendingIo*>(transfer->user_data);
        io->owner->finish(*io, transfer);
    }

    void finish(PendingIo& io, libusb_transfer* transfer) {
        uint32_t actual = 0;
        if (transfer->type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS) {
            for (int i = 0; i < transfer->num_iso_packets; ++i) actual += transfer->iso_packet_desc[i].actual_length;
        } else {
            actual = static_cast<uint32_t>(std::max(transfer->actual_length, 0));
        }
        complete(io, transfer->status, actual, transfer);
        libusb_free_transfer(transfer);
        forget(io);
    }

    // Writes a finished request's outcome where its caller looks for it.
    void complete(PendingIo& io, libusb_transfer_status status, uint32_t actual, const libusb_transfer* transfer) {
        const Outcome outcome = outcomeOf(status);
        {
            std::lock_guard lock(io.m_ioLock);
            const uint8_t* data = io.buffer.data() + (io.control ? LIBUSB_CONTROL_SETUP_SIZE : 0);
            if (io.block) {
                DriverTransferBlock::write32(io.block + DriverTransferBlock::kNtStatus, outcome.nt);
                DriverTransferBlock::write32(io.block + DriverTransferBlock::kUsbdStatus, outcome.usbd);
                if (io.deviceToHost && io.dataOffset && actual > 0 && io.dataOffset + actual <= io.blockSize)
                    std::memcpy(io.block + io.dataOffset, data, actual);
                if (transfer && io.packetCount && io.packetTableOffset + 8ull * io.packetCount <= io.blockSize) {
                    // Packet records: u32 bytes moved, u32 status (0 = good).
                    for (uint32_t i = 0; i < io.packetCount; ++i) {
                        const auto& p = transfer->iso_packet_desc[i];
                        uint8_t* record = io.block + io.packetTableOffset + 8 * i;
                        DriverTransferBlock::write32(record, p.actual_length);
                        DriverTransferBlock::write32(record + 4, outcomeOf(p.status).usbd);
                    }
                }
            }
            if (io.direct && io.deviceToHost && actual > 0)
                std::memcpy(io.direct, data, std::min(actual, io.directSize));
            io.error = outcome.error;
            io.bytes = outcome.error == 0 ? io.dataOffset + actual : 0;
            io.done = true;
            io.completedFlag = 1;
            io.transfer = nullptr;
        }
    }

    void forget(PendingIo& io) {
        std::shared_ptr<PendingIo> keep;  // released after the lock
        std::lock_guard lock(m_inFlightLock);
        auto it = std::find_if(m_inFlight.begin(), m_inFlight.end(), [&](const auto& p) { return p.get() == &io; });
        if (it != m_inFlight.end()) {
            keep = std::move(*it);
            m_inFlight.erase(it);
        }
    }

    // Reaps every finished large control request.
    void pumpUsbfs() {
        if (!m_usbfs) return;
        for (;;) {
            uint32_t error = 0;
            usbdevfs_urb* urb = m_usbfs->reap(error);
            if (!urb) {
                if (error != 0) failUsbfsInFlight();  // gone: nothing more will come back
                return;
            }
            auto* io = static_cast<PendingIo*>(urb->usercontext);
            complete(*io, statusOfUrb(urb->status), static_cast<uint32_t>(std::max(urb->actual_length, 0)), nullptr);
            forget(*io);
        }
    }

    void failUsbfsInFlight() {
        std::vector<std::shared_ptr<PendingIo>> lost;
        {
            std::lock_guard lock(m_inFlightLock);
            for (auto& io : m_inFlight)
                if (io->urb) lost.push_back(io);
        }
        for (auto& io : lost) {
            complete(*io, LIBUSB_TRANSFER_NO_DEVICE, 0, nullptr);
            forget(*io);
        }
    }

    void cancel(PendingIo& io) {
        std::lock_guard lock(io.m_ioLock);
        if (io.done) return;
        if (io.transfer) libusb_cancel_transfer(io.transfer);
        if (io.urb && m_usbfs) m_usbfs->discard(*io.urb);
    }

    static void completeAtOnce(DriverOverlapped& overlapped, uint32_t bytes) {
        overlapped.io = std::make_shared<PendingIo>();
        overlapped.io->done = true;
        overlapped.io->completedFlag = 1;
        overlapped.io->bytes = bytes;
    }

    void abort(uint8_t endpoint) {
        std::vector<std::shared_ptr<PendingIo>> inFlight;
        {
            std::lock_guard lock(m_inFlightLock);
            inFlight = m_inFlight;
        }
        for (auto& io : inFlight)
            if (io->control ? (endpoint & 0x7F) == 0 : io->endpoint == endpoint) cancel(*io);
    }

    void claimFor(const EndpointInfo& info) {
        if (m_claimed.count(info.interfaceNumber)) return;
        // A failed claim shows up as the transfer's own error.
        if (libusb_claim_interface(m_handle, info.interfaceNumber) == 0) m_claimed.insert(info.interfaceNumber);
    }

    // The fields of a request block's header that every kind of transfer reads.
    struct BlockHeader {
        uint32_t bufferOffset = 0;
        uint32_t bufferLength = 0;
        uint32_t tableOffset = 0;
        uint32_t tableLength = 0;
        unsigned timeoutMs = 0;
    };

    static BlockHeader readHeader(const uint8_t* in) {
        BlockHeader header;
        header.bufferOffset = DriverTransferBlock::read32(in + DriverTransferBlock::kBufferOffset);
        header.bufferLength = DriverTransferBlock::read32(in + DriverTransferBlock::kBufferLength);
        header.tableOffset = DriverTransferBlock::read32(in + DriverTransferBlock::kPacketTableOffset);
        header.tableLength = DriverTransferBlock::read32(in + DriverTransferBlock::kPacketTableLength);
        const uint64_t timeoutMs = uint64_t{DriverTransferBlock::read32(in + DriverTransferBlock::kTimeout)} * 1000;
        header.timeoutMs = static_cast<unsigned>(std::min<uint64_t>(timeoutMs, 0xFFFFFFFFu));
        return header;
    }

    uint32_t startTransfer(uint32_t code, const void* inPtr, uint32_t inSize, void* outPtr, uint32_t outSize,
                           DriverOverlapped& overlapped) {
        const auto* in = static_cast<const uint8_t*>(inPtr);
        auto* out = static_cast<uint8_t*>(outPtr);
        if (!in || inSize < DriverTransferBlock::kHeaderSize) return EINVAL;
        const BlockHeader header = readHeader(in);

        auto io = std::make_shared<PendingIo>();
        io->owner = this;
        libusb_transfer* transfer = nullptr;
        if (code == DriverIoControl::kEndpointZeroTransfer) {
            if (const uint32_t error = prepareControl(*io, in, inSize, out, outSize, header)) return error;
            // libusb caps control transfers below what the FX3's requests may
            // carry; larger ones go to usbfs directly.
            if (io->buffer.size() - LIBUSB_CONTROL_SETUP_SIZE > UsbfsControlChannel::kLibusbControlLimit)
                return startLargeControl(io, overlapped);
            transfer = libusb_alloc_transfer(0);
            if (!transfer) return ENOMEM;
            libusb_fill_control_transfer(transfer, m_handle, io->buffer.data(), &onTransferDone, io.get(),
                                         header.timeoutMs);
        } else {
            if (const uint32_t error = prepareEndpointTransfer(*io, code, in, inSize, out, outSize, header, transfer))
                return error;
        }
        return submit(std::move(io), transfer, overlapped);
    }

    // Checks a control request block and copies its setup packet and any
    // host-to-device data into the transfer's buffer.
    static uint32_t prepareControl(PendingIo& io, const uint8_t* in, uint32_t inSize, uint8_t* out, uint32_t outSize,
                                   const BlockHeader& header) {
        const uint16_t wLength = DriverTransferBlock::read16(in + DriverTransferBlock::kLength);
        if (header.bufferOffset < DriverTransferBlock::kHeaderSize ||
            uint64_t{header.bufferOffset} + header.bufferLength > inSize || wLength > header.bufferLength || !out ||
            outSize < uint64_t{header.bufferOffset} + wLength)
            return EINVAL;
        io.control = true;
        io.deviceToHost = (in[DriverTransferBlock::kRequestType] & 0x80) != 0;
        io.buffer.assign(LIBUSB_CONTROL_SETUP_SIZE + wLength, 0);
        libusb_fill_control_setup(io.buffer.data(), in[DriverTransferBlock::kRequestType],
                                  in[DriverTransferBlock::kRequest],
                                  DriverTransferBlock::read16(in + DriverTransferBlock::kValue),
                                  DriverTransferBlock::read16(in + DriverTransferBlock::kIndex), wLength);
        if (!io.deviceToHost && wLength)
            std::memcpy(io.buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, in + header.bufferOffset, wLength);
        io.block = out;
        io.blockSize = outSize;
        io.dataOffset = header.bufferOffset;
        return 0;
    }

    // A bulk, interrupt or isochronous transfer: checks the block against
    // the endpoint's kind, takes the data from the block (buffered) or the
    // caller's buffer (direct), claims the interface and fills the transfer.
    uint32_t prepareEndpointTransfer(PendingIo& io, uint32_t code, const uint8_t* in, uint32_t inSize, uint8_t* out,
                                     uint32_t outSize, const BlockHeader& header, libusb_transfer*& transfer) {
        const uint8_t endpoint = in[DriverTransferBlock::kEndpointAddress];
        auto info = m_endpoints.find(endpoint);
        if (info == m_endpoints.end() || info->second.type == LIBUSB_TRANSFER_TYPE_CONTROL) return EINVAL;
        const bool iso = info->second.type == LIBUSB_TRANSFER_TYPE_ISOCHRONOUS;
        if (iso != (header.tableLength > 0)) return EINVAL;
        if (iso && (header.tableLength % 8 != 0 || header.tableOffset < DriverTransferBlock::kHeaderSize ||
                    uint64_t{header.tableOffset} + header.tableLength > inSize))
            return EINVAL;
        io.endpoint = endpoint;
        io.deviceToHost = (endpoint & 0x80) != 0;
        io.packetCount = header.tableLength / 8;
        io.packetTableOffset = header.tableOffset;
        io.block = const_cast<uint8_t*>(in);  // the driver writes statuses back into the block
        io.blockSize = inSize;
        const uint8_t* source = nullptr;
        uint32_t length = 0;
        if (code == DriverIoControl::kBufferedTransfer) {
            if (header.bufferOffset < DriverTransferBlock::kHeaderSize ||
                uint64_t{header.bufferOffset} + header.bufferLength > inSize)
                return EINVAL;
            length = header.bufferLength;
            source = in + header.bufferOffset;
            io.dataOffset = header.bufferOffset;
            if (out) {
                io.block = out;
                io.blockSize = std::min(inSize, outSize);
            }
        } else {
            if (!out && outSize) return EINVAL;
            length = outSize;
            source = out;
            io.direct = out;
            io.directSize = outSize;
        }
        io.buffer.assign(length, 0);
        if (!io.deviceToHost && length) std::memcpy(io.buffer.data(), source, length);
        claimFor(info->second);
        if (iso && io.packetCount == 0) return EINVAL;
        transfer = libusb_alloc_transfer(static_cast<int>(io.packetCount));
        if (!transfer) return ENOMEM;
        fillEndpointTransfer(*transfer, info->second.type, io, endpoint, length, header.timeoutMs);
        return 0;
    }

    void fillEndpointTransfer(libusb_transfer& transfer, uint8_t type, PendingIo& io, uint8_t endpoint, uint32_t length,
                              unsigned timeoutMs) {
        const int lengthInt = static_cast<int>(length);
        switch (type) {
            case LIBUSB_TRANSFER_TYPE_ISOCHRONOUS: {
                libusb_fill_iso_transfer(&transfer, m_handle, endpoint, io.buffer.data(), lengthInt,
                                         static_cast<int>(io.packetCount), &onTransferDone, &io, timeoutMs);
                // The data is spread evenly over the packets, the last one short.
                const unsigned per = (length + io.packetCount - 1) / io.packetCount;
                unsigned left = length;
                for (uint32_t i = 0; i < io.packetCount; ++i) {
                    transfer.iso_packet_desc[i].length = std::min(per, left);
                    left -= transfer.iso_packet_desc[i].length;
                }
                break;
            }
            case LIBUSB_TRANSFER_TYPE_INTERRUPT:
                libusb_fill_interrupt_transfer(&transfer, m_handle, endpoint, io.buffer.data(), lengthInt,
                                               &onTransferDone, &io, timeoutMs);
                break;
            default:
                libusb_fill_bulk_transfer(&transfer, m_handle, endpoint, io.buffer.data(), lengthInt, &onTransferDone,
                                          &io, timeoutMs);
                break;
        }
    }

    // Hands a filled transfer to libusb; the transfer is in flight (and
    // findable by abort) before libusb may complete it.
    uint32_t submit(std::shared_ptr<PendingIo> io, libusb_transfer* transfer, DriverOverlapped& overlapped) {
        io->transfer = transfer;
        {
            std::lock_guard lock(m_inFlightLock);
            m_inFlight.push_back(io);
        }
        const int r = libusb_submit_transfer(transfer);
        if (r != 0) {
            std::lock_guard lock(m_inFlightLock);
            m_inFlight.pop_back();
            libusb_free_transfer(transfer);
            return errnoFromLibusb(r);
        }
        overlapped.io = std::move(io);
        return kIoPending;
    }

    uint32_t startLargeControl(std::shared_ptr<PendingIo> io, DriverOverlapped& overlapped) {
        if (!m_usbfs) m_usbfs = std::make_unique<UsbfsControlChannel>(m_nodeName);
        io->urb = std::make_unique<usbdevfs_urb>();
        usbdevfs_urb& urb = *io->urb;
        urb.type = USBDEVFS_URB_TYPE_CONTROL;
        urb.endpoint = 0;
        urb.buffer = io->buffer.data();
        urb.buffer_length = static_cast<int>(io->buffer.size());
        urb.usercontext = io.get();
        {
            std::lock_guard lock(m_inFlightLock);
            m_inFlight.push_back(io);
        }
        const uint32_t error = m_usbfs->submit(urb);
        if (error != 0) {
            std::lock_guard lock(m_inFlightLock);
            m_inFlight.pop_back();
            return error;
        }
        overlapped.io = std::move(io);
        return kIoPending;
    }

    uint32_t transferSynchronously(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                   uint32_t& bytesReturned) {
        DriverOverlapped overlapped;
        const uint32_t started = startTransfer(code, in, inSize, out, outSize, overlapped);
        if (started != kIoPending) return started;
        // The block's own time-out bounds the wait; a block without one still
        // gets a bound, after which the transfer is cancelled.
        const uint32_t seconds =
            DriverTransferBlock::read32(static_cast<const uint8_t*>(in) + DriverTransferBlock::kTimeout);
        const uint32_t limit = seconds ? std::min<uint32_t>(seconds, 3600) * 1000 + 1000 : 30000;
        if (wait(overlapped, limit) != 0) {
            cancel(*overlapped.io);
            wait(overlapped, 2000);
        }
        const uint32_t result = overlappedResult(overlapped, bytesReturned);
        return result == EINPROGRESS ? ETIMEDOUT : result;
    }

    uint32_t query(uint32_t code, void* outPtr, uint32_t outSize, uint32_t& bytesReturned,
                   DriverOverlapped* overlapped) {
        auto* out = static_cast<uint8_t*>(outPtr);
        auto put = [&](const void* data, uint32_t n) -> uint32_t {
            if (!out || outSize < n) return EINVAL;
            std::memcpy(out, data, n);
            bytesReturned = n;
            if (overlapped) completeAtOnce(*overlapped, n);
            return 0;
        };
        switch (code) {
            case DriverIoControl::kDriverVersion: {
                // The driver here is libusb: report its version.
                const libusb_version* v = libusb_get_version();
                uint8_t bytes[4];
                DriverTransferBlock::write32(
                    bytes, static_cast<uint32_t>(v->major) << 24 | static_cast<uint32_t>(v->minor) << 16 | v->micro);
                return put(bytes, 4);
            }
            case DriverIoControl::kUsbdiVersion: {
                const uint8_t none[4] = {0, 0, 0, 0};  // Linux has no USBDI
                return put(none, 4);
            }
            case DriverIoControl::kAlternateSetting: {
                // The kernel selects alternate setting 0 when it configures the
                // device; a device it has not configured has none to report.
                int configuration = 0;
                const int r = libusb_get_configuration(m_handle, &configuration);
                if (r != 0) return errnoFromLibusb(r);
                if (configuration <= 0 || m_firstInterface < 0) return ENODATA;
                const uint8_t alternate = 0;
                return put(&alternate, 1);
            }
            case DriverIoControl::kBusAddress: {
                const uint8_t address = libusb_get_device_address(m_device);
                return put(&address, 1);
            }
            case DriverIoControl::kDeviceName:
            case DriverIoControl::kFriendlyName: {
                char name[kNameSize] = {};
                if (code == DriverIoControl::kDeviceName) std::snprintf(name, sizeof name, "%s", m_nodeName.c_str());
                return put(name, kNameSize);
            }
            case DriverIoControl::kBusSpeed: {
                uint32_t speed = 0;
                switch (libusb_get_device_speed(m_device)) {
                    case LIBUSB_SPEED_LOW: speed = 0; break;
                    case LIBUSB_SPEED_FULL: speed = 1; break;
                    case LIBUSB_SPEED_HIGH: speed = 2; break;
                    case LIBUSB_SPEED_SUPER:
                    case LIBUSB_SPEED_SUPER_PLUS: speed = 4; break;
                    default: speed = 0; break;
                }
                uint8_t bytes[4];
                DriverTransferBlock::write32(bytes, speed);
                return put(bytes, 4);
            }
            default: return ENOTTY;
        }
    }

    std::shared_ptr<UsbDriverPort::Context> m_context;
    libusb_device_handle* m_handle;
    libusb_device* m_device;
    std::string m_nodeName;
    int m_firstInterface = -1;
    std::map<uint8_t, EndpointInfo> m_endpoints;
    std::set<int> m_claimed;
    std::mutex m_inFlightLock;  // m_inFlight; never held while taking a PendingIo's lock
    std::vector<std::shared_ptr<PendingIo>> m_inFlight;
    // Declared last: closing its file ends its URBs before the requests go.
    std::unique_ptr<UsbfsControlChannel> m_usbfs;
};

UsbDriverPort::UsbDriverPort() : m_context(std::make_shared<Context>()) {
    const int r = libusb_init(&m_context->usb);
    if (r != 0) {
        m_context->usb = nullptr;
        m_initError = errnoFromLibusb(r);
    }
}

UsbDriverPort::~UsbDriverPort() = default;

bool UsbDriverPort::servesDevice(uint16_t vendorId, uint16_t productId) {
    return vendorId == kVendorId && (productId == kBootLoaderProductId || productId == kBootProgrammerProductId);
}

namespace {

// Calls visit(device, descriptor) for every present device the driver serves,
// until it returns true. Returns 0 or the errno value of a failed listing.
template <typename Visit>
uint32_t forEachServedDevice(libusb_context* usb, Visit visit) {
    libusb_device** list = nullptr;
    const ssize_t n = libusb_get_device_list(usb, &list);
    if (n < 0) return errnoFromLibusb(static_cast<int>(n));
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor d{};
        if (libusb_get_device_descriptor(list[i], &d) != 0 || !UsbDriverPort::servesDevice(d.idVendor, d.idProduct))
            continue;
        if (visit(list[i], d)) break;
    }
    libusb_free_device_list(list, 1);
    return 0;
}

// "1-2.10" -> {1, 2, 10}: port chains in numeric order.
std::vector<unsigned> chainNumbers(const std::string& chain) {
    std::vector<unsigned> numbers;
    unsigned value = 0;
    for (char c : chain) {
        if (c >= '0' && c <= '9') {
            value = value * 10 + static_cast<unsigned>(c - '0');
        } else {
            numbers.push_back(value);
            value = 0;
        }
    }
    numbers.push_back(value);
    return numbers;
}

}  // namespace

std::vector<DriverDeviceInfo> UsbDriverPort::presentDevices(uint32_t& error) const {
    std::vector<DriverDeviceInfo> found;
    error = m_initError;
    if (!m_context->usb) return found;
    error = forEachServedDevice(m_context->usb, [&](libusb_device* device, const libusb_device_descriptor& d) {
        DriverDeviceInfo info;
        info.busNumber = libusb_get_bus_number(device);
        info.address = libusb_get_device_address(device);
        info.portChain = portChainOf(device);
        info.vendorId = d.idVendor;
        info.productId = d.idProduct;
        info.path = usbDevicePath(d.idVendor, d.idProduct, info.portChain);
        found.push_back(std::move(info));
        return false;
    });
    // libusb lists the newest device first; the driver counted devices in
    // bus and port order, which stays put while devices come and go.
    std::stable_sort(found.begin(), found.end(), [](const DriverDeviceInfo& a, const DriverDeviceInfo& b) {
        return std::make_tuple(a.busNumber, chainNumbers(a.portChain)) <
               std::make_tuple(b.busNumber, chainNumbers(b.portChain));
    });
    return found;
}

std::unique_ptr<DriverHandle> UsbDriverPort::open(const std::string& path, uint32_t& error) const {
    error = m_initError;
    if (!m_context->usb) return nullptr;
    libusb_device_handle* handle = nullptr;
    uint32_t openError = ENOENT;
    error = forEachServedDevice(m_context->usb, [&](libusb_device* device, const libusb_device_descriptor& d) {
        if (usbDevicePath(d.idVendor, d.idProduct, portChainOf(device)) != path) return false;
        const int r = libusb_open(device, &handle);
        openError = errnoFromLibusb(r);
        if (r != 0) handle = nullptr;
        return true;
    });
    if (error == 0) error = openError;
    if (!handle) return nullptr;
    return std::make_unique<LibusbDriverHandle>(m_context, handle);
}
