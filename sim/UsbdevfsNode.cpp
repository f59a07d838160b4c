#include "sim/UsbdevfsNode.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <thread>
#include <utility>

namespace tyvo::sim {
namespace {

using Clock = std::chrono::steady_clock;

// Capabilities of a modern usbfs: libusb then sends bulk transfers whole.
constexpr uint32_t kCapabilities = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                                   USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

struct DataRef {
    UMockdevIoctlData* data = nullptr;
    DataRef() = default;
    explicit DataRef(UMockdevIoctlData* d) : data(d) {}
    DataRef(DataRef&& other) noexcept : data(std::exchange(other.data, nullptr)) {}
    DataRef& operator=(DataRef&& other) noexcept {
        std::swap(data, other.data);
        return *this;
    }
    ~DataRef() {
        if (data) umockdev_ioctl_data_unref(data);
    }
    explicit operator bool() const { return data != nullptr; }
};

DataRef resolve(UMockdevIoctlData* parent, std::size_t offset, std::size_t length) {
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(parent, offset, length, &error);
    if (error) g_error_free(error);
    return DataRef(d);
}

void answer(UMockdevIoctlClient* client, long result, int error = 0) {
    umockdev_ioctl_client_complete(client, result, error);
}

int statusFor(TransferStatus status) {
    switch (status) {
        case TransferStatus::Completed: return 0;
        case TransferStatus::Stalled: return -EPIPE;
        case TransferStatus::Failed: return -EPROTO;
        case TransferStatus::NoResponse: return 0;
        case TransferStatus::Disconnected: return -ESHUTDOWN;
    }
    return -EPROTO;
}

TransferType typeOf(unsigned char urbType) {
    switch (urbType) {
        case USBDEVFS_URB_TYPE_ISO: return TransferType::Isochronous;
        case USBDEVFS_URB_TYPE_INTERRUPT: return TransferType::Interrupt;
        case USBDEVFS_URB_TYPE_BULK: return TransferType::Bulk;
        default: return TransferType::Control;
    }
}

SetupPacket setupFrom(const uint8_t* p) {
    SetupPacket s;
    s.bmRequestType = p[0];
    s.bRequest = p[1];
    s.wValue = static_cast<uint16_t>(p[2] | p[3] << 8);
    s.wIndex = static_cast<uint16_t>(p[4] | p[5] << 8);
    s.wLength = static_cast<uint16_t>(p[6] | p[7] << 8);
    return s;
}

}  // namespace

UsbdevfsNode::UsbdevfsNode(std::shared_ptr<UsbDeviceModel> model, uint8_t speedCode,
                           std::chrono::microseconds reapPacing)
    : m_model(std::move(model)), m_speedCode(speedCode), m_reapPacing(reapPacing) {}

UsbdevfsNode::~UsbdevfsNode() {
    for (auto& urb : m_urbs) release(urb);
}

void UsbdevfsNode::release(Urb& urb) {
    if (urb.data) umockdev_ioctl_data_unref(urb.data);
    if (urb.owner) g_object_unref(urb.owner);
    urb.data = nullptr;
    urb.owner = nullptr;
}

void UsbdevfsNode::disconnect() {
    std::lock_guard lock(m_nodeLock);
    if (m_gone) return;
    m_gone = true;
    failInFlightLocked();
}

void UsbdevfsNode::failInFlightLocked() {
    // As the kernel does on disconnect: every URB still in flight ends with
    // -ESHUTDOWN and can be reaped; then the node answers ENODEV.
    const auto now = Clock::now();
    for (auto& urb : m_urbs) {
        if (urb.finished && urb.due <= now) continue;
        endNow(urb, -ESHUTDOWN);
        ++m_stats.shutDown;
    }
}

void UsbdevfsNode::endNow(Urb& urb, int status) {
    urb.finished = true;
    urb.due = Clock::now();
    urb.status = status;
    urb.actual = 0;
    urb.in.clear();
}

bool UsbdevfsNode::gone() const {
    std::lock_guard lock(m_nodeLock);
    return m_gone;
}

NodeStats UsbdevfsNode::stats() const {
    std::lock_guard lock(m_nodeLock);
    NodeStats s = m_stats;
    s.inFlight = m_urbs.size();
    return s;
}

void UsbdevfsNode::finish(Urb& urb, const TransferReply& reply) {
    urb.finished = reply.status != TransferStatus::NoResponse;
    urb.status = statusFor(reply.status);
    urb.due = Clock::now() + reply.deviceTime;
    if (reply.status == TransferStatus::Completed) {
        urb.in = reply.in;
        urb.actual = urb.deviceToHost ? reply.in.size() : reply.outAccepted;
    }
}

void UsbdevfsNode::handleIoctl(UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);

    if (request == USBDEVFS_REAPURBNDELAY || request == USBDEVFS_REAPURB) return reap(client, arg);
    if (request == USBDEVFS_DISCARDURB) return discard(client, arg);
    if (gone()) return answer(client, -1, ENODEV);

    switch (request) {
        case USBDEVFS_SUBMITURB: return submit(client, arg);
        case USBDEVFS_CONTROL: return control(client, arg);
        case USBDEVFS_GET_CAPABILITIES: {
            DataRef caps = resolve(arg, 0, sizeof(uint32_t));
            if (!caps) return answer(client, -1, EFAULT);
            std::memcpy(caps.data->data, &kCapabilities, sizeof kCapabilities);
            return answer(client, 0);
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            DataRef number = resolve(arg, 0, sizeof(unsigned int));
            if (!number) return answer(client, -1, EFAULT);
            unsigned int n = 0;
            std::memcpy(&n, number.data->data, sizeof n);
            std::lock_guard lock(m_nodeLock);
            if (request == USBDEVFS_CLAIMINTERFACE) {
                m_stats.claimedInterfaces.insert(n);
            } else if (m_stats.claimedInterfaces.erase(n) == 0) {
                return answer(client, -1, EINVAL);
            }
            return answer(client, 0);
        }
        case USBDEVFS_GETDRIVER:
            // No kernel driver is bound to an emulated device.
            return answer(client, -1, ENODATA);
        case USBDEVFS_SETINTERFACE: {
            DataRef si = resolve(arg, 0, sizeof(usbdevfs_setinterface));
            if (!si) return answer(client, -1, EFAULT);
            usbdevfs_setinterface s{};
            std::memcpy(&s, si.data->data, sizeof s);
            return standardControl(client, 11, static_cast<uint16_t>(s.altsetting), static_cast<uint16_t>(s.interface));
        }
        case USBDEVFS_SETCONFIGURATION: {
            DataRef value = resolve(arg, 0, sizeof(unsigned int));
            if (!value) return answer(client, -1, EFAULT);
            int v = 0;
            std::memcpy(&v, value.data->data, sizeof v);
            return standardControl(client, 9, static_cast<uint16_t>(v < 0 ? 0 : v), 0);
        }
        case USBDEVFS_RESET:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: return answer(client, 0);
        case USBDEVFS_GET_SPEED: return answer(client, m_speedCode);
        default: {
            std::lock_guard lock(m_nodeLock);
            ++m_stats.unknownIoctls;
            return answer(client, -1, ENOTTY);
        }
    }
}

void UsbdevfsNode::standardControl(UMockdevIoctlClient* client, uint8_t request, uint16_t value, uint16_t index) {
    TransferRequest r;
    r.setup.bmRequestType = request == 11 ? 0x01 : 0x00;
    r.setup.bRequest = request;
    r.setup.wValue = value;
    r.setup.wIndex = index;
    const TransferReply reply = m_model->transfer(r);
    if (reply.status == TransferStatus::Completed) return answer(client, 0);
    return answer(client, -1, reply.status == TransferStatus::Stalled ? EPIPE : EIO);
}

void UsbdevfsNode::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) return answer(client, -1, EFAULT);
    // Filled by the copy; no initialiser, which would name the header's
    // trailing zero-length array (a pedantic warning with clang).
    usbdevfs_urb urb;
    std::memcpy(&urb, urbData.data->data, sizeof urb);
    if (urb.buffer_length < 0) return answer(client, -1, EINVAL);

    TransferRequest request;
    request.type = typeOf(urb.type);
    request.endpoint = urb.endpoint;
    Urb pending;
    pending.clientAddress = urbData.data->client_addr;
    const std::size_t length = static_cast<std::size_t>(urb.buffer_length);
    DataRef buffer;
    if (length > 0) {
        buffer = resolve(urbData.data, offsetof(usbdevfs_urb, buffer), length);
        if (!buffer) return answer(client, -1, EFAULT);
    }
    const uint8_t* bytes = buffer ? buffer.data->data : nullptr;
    if (request.type == TransferType::Control) {
        // The setup packet leads the buffer; the data stage follows it.
        if (length < 8) return answer(client, -1, EINVAL);
        request.setup = setupFrom(bytes);
        if (request.setup.wLength > length - 8) return answer(client, -1, EINVAL);
        pending.dataOffset = 8;
        pending.deviceToHost = request.setup.deviceToHost();
        if (pending.deviceToHost)
            request.inLength = request.setup.wLength;
        else
            request.out.assign(bytes + 8, bytes + 8 + request.setup.wLength);
    } else {
        pending.deviceToHost = (urb.endpoint & 0x80) != 0;
        if (request.type == TransferType::Isochronous)
            request.isoPackets = static_cast<uint32_t>(std::max(urb.number_of_packets, 0));
        if (pending.deviceToHost)
            request.inLength = length;
        else if (bytes)
            request.out.assign(bytes, bytes + length);
    }

    // The model runs without the node lock: it may ask the bus to unplug.
    const TransferReply reply = m_model->transfer(request);
    finish(pending, reply);

    std::lock_guard lock(m_nodeLock);
    // A device that answered and then left (a jump) still delivers the
    // answer; one that left first fails the URB as a disconnect does.
    if (m_gone && (!pending.finished || reply.status == TransferStatus::Disconnected)) {
        endNow(pending, -ESHUTDOWN);
        ++m_stats.shutDown;
    }
    pending.data = urbData.data;
    urbData.data = nullptr;  // the queue keeps the reference until the reap
    pending.owner = static_cast<UMockdevIoctlClient*>(g_object_ref(client));
    m_urbs.push_back(std::move(pending));
    ++m_stats.submitted;
    if (reply.status == TransferStatus::Disconnected) {
        m_gone = true;
        failInFlightLocked();
    }
    return answer(client, 0);
}

void UsbdevfsNode::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::unique_lock lock(m_nodeLock);
    const auto now = Clock::now();
    auto ready = std::find_if(m_urbs.begin(), m_urbs.end(),
                              [&](const Urb& u) { return u.owner == client && u.finished && u.due <= now; });
    if (ready == m_urbs.end()) {
        const bool mine = std::any_of(m_urbs.begin(), m_urbs.end(), [&](const Urb& u) { return u.owner == client; });
        if (m_gone && !mine) return answer(client, -1, ENODEV);
        // A usbfs node is a plain file to umockdev, so poll never blocks and
        // libusb reaps in a loop while a transfer is pending: pace the answers
        // so that waiting does not turn into spinning. The first empty reap
        // after a completion (libusb's "anything else?") is answered at once.
        if (m_idleReapers.insert(client).second) return answer(client, -1, EAGAIN);
        auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(m_reapPacing);
        for (const auto& u : m_urbs)
            if (u.owner == client && u.finished)
                wait = std::min(wait, std::chrono::duration_cast<std::chrono::nanoseconds>(u.due - now));
        lock.unlock();
        if (wait.count() > 0) std::this_thread::sleep_for(wait);
        return answer(client, -1, EAGAIN);
    }
    Urb urb = std::move(*ready);
    m_urbs.erase(ready);
    m_idleReapers.erase(client);
    ++m_stats.reaped;
    lock.unlock();

    auto* u = reinterpret_cast<usbdevfs_urb*>(urb.data->data);
    u->status = urb.status;
    u->actual_length = static_cast<int>(urb.actual);
    if (urb.deviceToHost && !urb.in.empty()) {
        DataRef buffer = resolve(urb.data, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(u->buffer_length));
        if (buffer && urb.dataOffset + urb.in.size() <= static_cast<std::size_t>(buffer.data->data_len))
            std::memcpy(buffer.data->data + urb.dataOffset, urb.in.data(), urb.in.size());
    }
    DataRef slot = resolve(arg, 0, sizeof(void*));
    if (!slot) {
        release(urb);
        return answer(client, -1, EFAULT);
    }
    umockdev_ioctl_data_set_ptr(slot.data, 0, urb.data);
    release(urb);
    return answer(client, 0);
}

void UsbdevfsNode::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    // The argument is the URB's address itself.
    unsigned long address = 0;
    std::memcpy(&address, arg->data, std::min<std::size_t>(sizeof address, static_cast<std::size_t>(arg->data_len)));
    std::lock_guard lock(m_nodeLock);
    const auto now = Clock::now();
    for (auto& urb : m_urbs) {
        if (urb.owner != client || urb.clientAddress != address) continue;
        if (urb.finished && urb.due <= now) break;  // already done: nothing to unlink
        endNow(urb, -ECONNRESET);
        ++m_stats.discarded;
        return answer(client, 0);
    }
    return answer(client, -1, EINVAL);
}

void UsbdevfsNode::control(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    DataRef ctrlData = resolve(arg, 0, sizeof(usbdevfs_ctrltransfer));
    if (!ctrlData) return answer(client, -1, EFAULT);
    usbdevfs_ctrltransfer ctrl{};
    std::memcpy(&ctrl, ctrlData.data->data, sizeof ctrl);
    TransferRequest request;
    request.setup.bmRequestType = ctrl.bRequestType;
    request.setup.bRequest = ctrl.bRequest;
    request.setup.wValue = ctrl.wValue;
    request.setup.wIndex = ctrl.wIndex;
    request.setup.wLength = ctrl.wLength;
    DataRef buffer;
    if (ctrl.wLength > 0) {
        buffer = resolve(ctrlData.data, offsetof(usbdevfs_ctrltransfer, data), ctrl.wLength);
        if (!buffer) return answer(client, -1, EFAULT);
    }
    if (request.setup.deviceToHost())
        request.inLength = ctrl.wLength;
    else if (buffer)
        request.out.assign(buffer.data->data, buffer.data->data + ctrl.wLength);
    TransferReply reply = m_model->transfer(request);
    if (reply.deviceTime.count() > 0) std::this_thread::sleep_for(reply.deviceTime);
    switch (reply.status) {
        case TransferStatus::Completed:
            if (request.setup.deviceToHost()) {
                if (buffer) std::memcpy(buffer.data->data, reply.in.data(), reply.in.size());
                return answer(client, static_cast<long>(reply.in.size()));
            }
            return answer(client, static_cast<long>(reply.outAccepted));
        case TransferStatus::Stalled: return answer(client, -1, EPIPE);
        case TransferStatus::NoResponse: return answer(client, -1, ETIMEDOUT);
        case TransferStatus::Disconnected: disconnect(); return answer(client, -1, ENODEV);
        case TransferStatus::Failed: return answer(client, -1, EPROTO);
    }
    return answer(client, -1, EIO);
}

}  // namespace tyvo::sim
