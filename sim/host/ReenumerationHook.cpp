#include "sim/host/ReenumerationHook.h"

#include <utility>

namespace tyvo::sim::host {
namespace {

// Passes everything on to the bus's attachment; a re-enumeration first
// shows the next model to the hook.
class HookedAttachment : public BusAttachment {
public:
    HookedAttachment(std::shared_ptr<BusAttachment> bus, ReenumerationHook::Hook hook)
        : m_bus(std::move(bus)), m_hook(std::move(hook)) {}

    std::string portChain() const override { return m_bus->portChain(); }
    void leaveBus() override { m_bus->leaveBus(); }
    void reenumerate(std::shared_ptr<UsbDeviceModel> next, std::chrono::milliseconds delay) override {
        if (m_hook && next) m_hook(next);
        m_bus->reenumerate(std::move(next), delay);
    }

private:
    std::shared_ptr<BusAttachment> m_bus;
    ReenumerationHook::Hook m_hook;
};

}  // namespace

ReenumerationHook::ReenumerationHook(std::shared_ptr<UsbDeviceModel> inner, Hook hook)
    : m_inner(std::move(inner)), m_hook(std::move(hook)) {}

std::string ReenumerationHook::name() const { return m_inner->name(); }
DeviceDescriptors ReenumerationHook::descriptors() const { return m_inner->descriptors(); }
TransferReply ReenumerationHook::transfer(const TransferRequest& request) { return m_inner->transfer(request); }

void ReenumerationHook::attached(std::shared_ptr<BusAttachment> attachment) {
    m_inner->attached(attachment ? std::make_shared<HookedAttachment>(std::move(attachment), m_hook) : nullptr);
}

void ReenumerationHook::detached() { m_inner->detached(); }

void ReenumerationHook::publishChildren(SysfsChildSink& sink, const std::string& sysfsPath) {
    m_inner->publishChildren(sink, sysfsPath);
}

void ReenumerationHook::withdrawChildren(SysfsChildSink& sink, const std::string& sysfsPath) {
    m_inner->withdrawChildren(sink, sysfsPath);
}

}  // namespace tyvo::sim::host
