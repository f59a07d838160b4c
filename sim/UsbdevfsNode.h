#pragma once
// One emulated /dev/bus/usb/BBB/DDD node: answers the usbdevfs ioctls that
// libusb issues (submit, reap, discard, claim, ...) by carrying transfers to
// a device model, as the kernel's usbfs would. umockdev calls it on its own
// thread; the bus calls disconnect() from its thread.

#include "sim/UsbDeviceModel.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>

typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace tyvo::sim {

struct NodeStats {
    std::size_t submitted = 0;
    std::size_t reaped = 0;
    std::size_t discarded = 0;
    std::size_t shutDown = 0;  // in-flight URBs failed by a disconnect
    std::size_t inFlight = 0;
    std::size_t unknownIoctls = 0;
    std::set<unsigned> claimedInterfaces;
};

class UsbdevfsNode {
public:
    UsbdevfsNode(std::shared_ptr<UsbDeviceModel> model, uint8_t speedCode, std::chrono::microseconds reapPacing);
    ~UsbdevfsNode();
    UsbdevfsNode(const UsbdevfsNode&) = delete;
    UsbdevfsNode& operator=(const UsbdevfsNode&) = delete;

    // umockdev's handle-ioctl; always answers the client.
    void handleIoctl(UMockdevIoctlClient* client);

    // The device left the bus: in-flight URBs complete with -ESHUTDOWN, then
    // every call gets ENODEV.
    void disconnect();
    bool gone() const;
    NodeStats stats() const;
    std::shared_ptr<UsbDeviceModel> model() const { return m_model; }

private:
    struct Urb {
        // URBs belong to the open file that submitted them, as in the kernel:
        // each open of the node is its own umockdev client.
        UMockdevIoctlClient* owner = nullptr;  // referenced while queued
        UMockdevIoctlData* data = nullptr;     // the caller's usbdevfs_urb, kept from submit to reap
        unsigned long clientAddress = 0;
        bool deviceToHost = false;
        std::size_t dataOffset = 0;  // control: data stage after the setup packet
        bool finished = false;       // false: the device has not answered
        std::chrono::steady_clock::time_point due{};
        int status = 0;
        std::size_t actual = 0;
        Bytes in;
    };

    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void control(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void standardControl(UMockdevIoctlClient* client, uint8_t request, uint16_t value, uint16_t index);
    static void finish(Urb& urb, const TransferReply& reply);
    void failInFlightLocked();
    static void release(Urb& urb);
    static void endNow(Urb& urb, int status);

    const std::shared_ptr<UsbDeviceModel> m_model;
    const uint8_t m_speedCode;
    const std::chrono::microseconds m_reapPacing;
    mutable std::mutex m_nodeLock;  // URB queue, claims, counters
    std::deque<Urb> m_urbs;
    std::set<UMockdevIoctlClient*> m_idleReapers;  // last reap found nothing (identity only)
    bool m_gone = false;
    NodeStats m_stats;
};

}  // namespace tyvo::sim
