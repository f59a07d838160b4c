#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "camera/capture/TyvoCameraFactory.h"
#include "context/Autowired.h"
#include "context/ContextCreator.h"
#include "context/CoreThread.h"
#include "context/EventReceiver.h"
#include "context/EventSender.h"
#include "context/ExceptionFilter.h"
#include "devices/DeviceModelManifest.h"

// Name of the per-device child contexts.
extern const char c_pipelineContext[];

// Pauses and resumes device handling (fired by a host application).
class DevicePauseListener : public virtual EventReceiver {
public:
    virtual void PauseDevices() = 0;
    virtual void ResumeDevices() = 0;
};

// Told once the monitor has made its first scan.
class AttachmentMonitorListener : public virtual EventReceiver {
public:
    virtual void OnMonitorStarted() = 0;
};

// One present device as a platform scan reports it.
struct PresentDevice {
    uint32_t kind;      // DeviceKind: image class (0) or USB class (1)
    std::wstring path;  // device path (see DevicePath.h)
};

// Finds the supported USB devices that are present, gives each its own
// "Pipeline" child context and builds its device object there; shuts a
// device's context down when the device disappears. One device is handled at
// a time. The platform part supplies the scan and the thread body.
//
// Lock order: monitor lock, then the creator's lock, then context locks.
class DeviceAttachMonitor : public CoreThread,
                            public ContextCreator<c_pipelineContext, std::wstring>,
                            public ExceptionFilter,
                            public DevicePauseListener {
public:
    explicit DeviceAttachMonitor(const char* name);
    ~DeviceAttachMonitor() override;

    virtual bool IsDeviceMonitor() const { return true; }

    // Reconciles the present devices with the device contexts.
    virtual void Scan() = 0;

    // A recognised device is present; the factory carries its path and
    // model. Returns the device's context, or empty when none was made.
    virtual std::shared_ptr<CoreContext> OnDeviceArrival(const std::shared_ptr<TyvoCameraFactory>& factory);

    // The device of this entry is gone.
    virtual void OnDeviceRemoval(const std::wstring& path, const std::weak_ptr<CoreContext>& context);

    // Every receiver exception counts as handled.
    void OnEventException(const Rethrower&, const EventReceiverProxyBase*,
                          const std::shared_ptr<EventReceiver>&) override {}
    void OnThreadException(const Rethrower& rethrower) override;

    void PauseDevices() override;
    void ResumeDevices() override;

    bool IsPaused() const;
    bool IsRefused(const std::wstring& path) const;

protected:
    // The part of a scan that every platform shares: forget the devices that
    // are gone, and offer each present one to the manifest (image class
    // first, then the USB class, each in enumeration order).
    void Reconcile(const std::vector<PresentDevice>& present);

    // Asks for a scan. Here it scans on the caller's thread; a platform that
    // builds device objects only on its own thread queues it there instead.
    virtual void RequestScan() { Scan(); }

    // Tells listeners that the first scan is done.
    void FireMonitorStarted();

    Autowired<DeviceModelManifest> m_manifest;

private:
    mutable std::mutex m_monitorLock;  // guards the two fields below
    bool m_paused = false;
    std::unordered_set<std::wstring> m_refusedPaths;

    EventSender<AttachmentMonitorListener> m_startedSender;
};
