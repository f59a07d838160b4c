#include "devices/DeviceAttachMonitor.h"

#include <map>

#include "devices/core/DeviceExceptions.h"
#include "devices/core/DevicePath.h"
#include "devices/core/IdentifiableDevice.h"

const char c_pipelineContext[] = "Pipeline";

DeviceAttachMonitor::DeviceAttachMonitor(const char* name) : CoreThread(name) {}

DeviceAttachMonitor::~DeviceAttachMonitor() = default;

void DeviceAttachMonitor::Reconcile(const std::vector<PresentDevice>& present) {
    // Devices that still have a context and are not seen below are gone.
    auto known = Contexts();

    for (uint32_t kind : {uint32_t(kImageClassDevice), uint32_t(kUsbClassDevice)}) {
        for (const auto& device : present) {
            if (device.kind != kind) continue;
            known.erase(device.path);

            uint32_t vendorId = 0, productId = 0;
            if (!ParseDevicePath(device.path, &vendorId, &productId)) continue;
            if (!m_manifest) continue;
            auto model = m_manifest->Match(kind, vendorId, productId);
            if (!model) continue;
            OnDeviceArrival(std::make_shared<DeviceCameraFactory>(device.path, model));
        }
    }

    for (const auto& [path, context] : known) OnDeviceRemoval(path, context);
}

std::shared_ptr<CoreContext> DeviceAttachMonitor::OnDeviceArrival(const std::shared_ptr<TyvoCameraFactory>& factory) {
    // One device at a time.
    if (HasContexts()) return nullptr;

    DeferredCreationNotice notice;
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        if (m_paused || m_refusedPaths.count(factory->deviceName())) return nullptr;
        notice = CreateContext(factory->deviceName());
    }
    if (!notice) return nullptr;
    if (!notice.GetName()) return notice.GetContext();

    std::shared_ptr<CoreContext> context = notice.GetContext();
    try {
        // Owned by this block: when construction fails, the notice goes
        // during the unwinding and tells no bolt, and the context is dropped
        // (its teardown forgets the path).
        DeferredCreationNotice pending(std::move(notice));
        context.reset();
        {
            CurrentContextScope scope(pending.GetContext());
            pending.GetContext()->AddMember<TyvoCameraFactory>(factory);
            auto model = factory->deviceModel();
            // The device object's constructor runs here, on this thread and
            // without the monitor lock: for the boot devices it is a whole
            // restore stage.
            std::shared_ptr<IdentifiableDevice> device(model->Create());
            pending.GetContext()->AddMember<IdentifiableDevice>(device);
        }
        context = pending.GetContext();
        pending.Release();
    } catch (const std::exception&) {
        // A device that cannot be handled (a restore stage always ends this
        // way) is dropped quietly: the stages print what the user needs.
        return nullptr;
    }

    std::lock_guard<std::mutex> lock(m_monitorLock);
    if (m_paused) return nullptr;  // the context stays uninitiated
    context->Initiate();
    return context;
}

void DeviceAttachMonitor::OnDeviceRemoval(const std::wstring& path, const std::weak_ptr<CoreContext>& context) {
    if (auto live = context.lock()) live->RequestShutdown();
    Forget(path);
}

void DeviceAttachMonitor::OnThreadException(const Rethrower& rethrower) {
    // Members are found by their exact type: the factory is the default one.
    Autowired<DeviceCameraFactory> factory;
    if (!factory) return;  // not a device context's thread
    try {
        rethrower();
    } catch (const scorch_exception&) {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        m_refusedPaths.insert(factory->deviceName());
    } catch (const calibration_exception&) {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        m_refusedPaths.insert(factory->deviceName());
    } catch (...) {
        // Look for the device again as soon as its failed context is gone.
        auto self = GetSelf<DeviceAttachMonitor>();
        std::weak_ptr<DeviceAttachMonitor> weak = self;
        CoreContext::Current()->OnTeardown([weak] {
            if (auto monitor = weak.lock()) monitor->RequestScan();
        });
    }
}

void DeviceAttachMonitor::PauseDevices() {
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        m_paused = true;
        m_refusedPaths.clear();
    }
    ReleaseAll(true);
}

void DeviceAttachMonitor::ResumeDevices() {
    {
        std::lock_guard<std::mutex> lock(m_monitorLock);
        m_paused = false;
        m_refusedPaths.clear();
    }
    RequestScan();
}

bool DeviceAttachMonitor::IsPaused() const {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    return m_paused;
}

bool DeviceAttachMonitor::IsRefused(const std::wstring& path) const {
    std::lock_guard<std::mutex> lock(m_monitorLock);
    return m_refusedPaths.count(path) != 0;
}

void DeviceAttachMonitor::FireMonitorStarted() { m_startedSender.Fire(&AttachmentMonitorListener::OnMonitorStarted); }
