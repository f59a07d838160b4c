#include "sim/UsbDeviceModel.h"

#include <algorithm>

namespace tyvo::sim {

StandardUsbDevice::StandardUsbDevice(std::string name, DeviceDescriptors descriptors)
    : m_name(std::move(name)), m_descriptors(std::move(descriptors)) {}

std::string StandardUsbDevice::name() const { return m_name; }

DeviceDescriptors StandardUsbDevice::descriptors() const {
    std::lock_guard lock(m_stateLock);
    return m_descriptors;
}

void StandardUsbDevice::attached(std::shared_ptr<BusAttachment> attachment) {
    std::lock_guard lock(m_stateLock);
    m_attachment = std::move(attachment);
    m_alternates.clear();
}

void StandardUsbDevice::detached() {
    std::lock_guard lock(m_stateLock);
    m_attachment.reset();
}

void StandardUsbDevice::injectFault(FaultRule rule) {
    std::lock_guard lock(m_stateLock);
    m_faults.add(rule);
}

void StandardUsbDevice::clearFaults() {
    std::lock_guard lock(m_stateLock);
    m_faults.clear();
}

void StandardUsbDevice::setTiming(TimingModel timing) {
    std::lock_guard lock(m_stateLock);
    m_timing = timing;
}

std::vector<TransferRecord> StandardUsbDevice::transferLog() const {
    std::lock_guard lock(m_stateLock);
    return m_log;
}

std::vector<TransferRecord> StandardUsbDevice::vendorRequests() const {
    std::lock_guard lock(m_stateLock);
    std::vector<TransferRecord> out;
    for (const auto& r : m_log)
        if (r.type == TransferType::Control && r.setup.requestType() == 2) out.push_back(r);
    return out;
}

std::size_t StandardUsbDevice::transferCount() const {
    std::lock_guard lock(m_stateLock);
    return m_log.size();
}

std::chrono::nanoseconds StandardUsbDevice::modelledTime() const {
    std::lock_guard lock(m_stateLock);
    return m_modelled;
}

bool StandardUsbDevice::isAttached() const {
    std::lock_guard lock(m_stateLock);
    return m_attachment != nullptr;
}

uint8_t StandardUsbDevice::alternateSetting(uint8_t interfaceNumber) const {
    std::lock_guard lock(m_stateLock);
    auto it = m_alternates.find(interfaceNumber);
    return it == m_alternates.end() ? 0 : it->second;
}

uint16_t StandardUsbDevice::maxPacket0Locked() const {
    if (m_descriptors.device.size() < 8) return 64;
    const uint8_t raw = m_descriptors.device[7];
    const uint16_t bcd = static_cast<uint16_t>(m_descriptors.device[2] | m_descriptors.device[3] << 8);
    if (bcd >= 0x0300) return raw < 16 ? static_cast<uint16_t>(1u << raw) : 512;
    return raw;
}

TransferReply StandardUsbDevice::transfer(const TransferRequest& request) {
    std::lock_guard lock(m_stateLock);
    TransferReply reply;
    const std::optional<FaultKind> fault = m_faults.next(request);
    reply = fault ? applyFault(*fault, request) : dispatch(request);
    if (reply.in.size() > request.inLength) reply.in.resize(request.inLength);
    if (reply.outAccepted > request.out.size()) reply.outAccepted = request.out.size();

    const std::size_t moved = request.deviceToHost() ? reply.in.size() : reply.outAccepted;
    const std::size_t packet = request.type == TransferType::Control ? maxPacket0Locked() : 512;
    const auto modelled = reply.deviceTime + m_timing.busTime(request, moved, m_descriptors.speed, packet);
    m_modelled += modelled + reply.backgroundTime;
    accounted(modelled + reply.backgroundTime);
    reply.deviceTime = m_timing.enabled ? modelled : std::chrono::nanoseconds(0);

    TransferRecord record;
    record.type = request.type;
    record.endpoint = request.endpoint;
    record.setup = request.setup;
    record.data = request.deviceToHost() ? reply.in : request.out;
    record.status = reply.status;
    record.fault = fault;
    m_log.push_back(std::move(record));
    return reply;
}

TransferReply StandardUsbDevice::dispatch(const TransferRequest& request) {
    if (request.type != TransferType::Control) return endpointTransfer(request);
    switch (request.setup.requestType()) {
        case 0: return standardRequest(request.setup, request.out);
        case 1: return classRequest(request.setup, request.out);
        case 2: return vendorRequest(request.setup, request.out);
        default: return TransferReply::stall();
    }
}

TransferReply StandardUsbDevice::applyFault(FaultKind kind, const TransferRequest& request) {
    TransferReply reply;
    switch (kind) {
        case FaultKind::Fail: reply.status = TransferStatus::Failed; break;
        case FaultKind::Stall: reply.status = TransferStatus::Stalled; break;
        case FaultKind::Timeout: reply.status = TransferStatus::NoResponse; break;
        case FaultKind::Unplug:
            reply.status = TransferStatus::Disconnected;
            if (m_attachment) m_attachment->leaveBus();
            break;
        case FaultKind::CorruptRead: {
            // The device did the work; the data on the way back is damaged.
            reply = dispatch(request);
            if (!reply.in.empty()) reply.in[reply.in.size() / 2] ^= 0xFF;
            break;
        }
        case FaultKind::Garbage: {
            reply.status = TransferStatus::Completed;
            if (request.deviceToHost()) {
                reply.in.resize(request.inLength);
                for (auto& b : reply.in) {
                    m_noise ^= m_noise << 13;
                    m_noise ^= m_noise >> 17;
                    m_noise ^= m_noise << 5;
                    b = static_cast<uint8_t>(m_noise);
                }
            } else {
                reply.outAccepted = request.out.size();
            }
            break;
        }
    }
    return reply;
}

TransferReply StandardUsbDevice::standardRequest(const SetupPacket& s, const Bytes& out) {
    (void)out;
    switch (s.bRequest) {
        case 0:  // GET_STATUS
            if (!s.deviceToHost()) return TransferReply::stall();
            return TransferReply::data({0, 0});
        case 1:  // CLEAR_FEATURE
        case 3:  // SET_FEATURE
        case 5:  // SET_ADDRESS
            return TransferReply::accepted(0);
        case 6: {  // GET_DESCRIPTOR
            if (!s.deviceToHost()) return TransferReply::stall();
            auto d = m_descriptors.descriptor(static_cast<uint8_t>(s.wValue >> 8),
                                              static_cast<uint8_t>(s.wValue & 0xFF), s.wIndex);
            if (!d) return TransferReply::stall();
            if (d->size() > s.wLength) d->resize(s.wLength);
            return TransferReply::data(std::move(*d));
        }
        case 8:  // GET_CONFIGURATION
            if (!s.deviceToHost()) return TransferReply::stall();
            return TransferReply::data({m_descriptors.activeConfiguration});
        case 9: {  // SET_CONFIGURATION
            const uint8_t value = static_cast<uint8_t>(s.wValue);
            bool known = value == 0;
            for (const auto& c : m_descriptors.configurations)
                if (c.size() >= 6 && c[5] == value) known = true;
            if (!known) return TransferReply::stall();
            m_descriptors.activeConfiguration = value;
            m_alternates.clear();
            return TransferReply::accepted(0);
        }
        case 10: {  // GET_INTERFACE
            if (!s.deviceToHost() || m_descriptors.activeConfiguration == 0) return TransferReply::stall();
            auto it = m_alternates.find(static_cast<uint8_t>(s.wIndex));
            return TransferReply::data({it == m_alternates.end() ? uint8_t{0} : it->second});
        }
        case 11:  // SET_INTERFACE
            if (m_descriptors.activeConfiguration == 0) return TransferReply::stall();
            m_alternates[static_cast<uint8_t>(s.wIndex)] = static_cast<uint8_t>(s.wValue);
            return TransferReply::accepted(0);
        default: return TransferReply::stall();
    }
}

TransferReply StandardUsbDevice::classRequest(const SetupPacket&, const Bytes&) { return TransferReply::stall(); }

TransferReply StandardUsbDevice::vendorRequest(const SetupPacket&, const Bytes&) { return TransferReply::stall(); }

TransferReply StandardUsbDevice::endpointTransfer(const TransferRequest&) { return TransferReply::stall(); }

}  // namespace tyvo::sim
