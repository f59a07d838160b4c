#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

class LinkManager;

// One open endpoint of a link: a slot of the link manager. Destroying it
// closes the slot. It refers to its manager weakly, so an endpoint that
// outlives the manager is simply closed. Once closed (by itself, by the
// manager or by stop) it never acts on its old slot index again, even when
// the index has been given to a newer endpoint.
class LinkEndpoint {
public:
    ~LinkEndpoint();

    LinkEndpoint(const LinkEndpoint&) = delete;
    LinkEndpoint& operator=(const LinkEndpoint&) = delete;

    int slot() const { return m_slot; }

    // See LinkManager::send and LinkManager::receive.
    int send(const void* bytes, size_t length, bool more);
    // True when the part was sent, the empty part included.
    bool sendPart(const void* bytes, size_t length, bool more);
    int receive(void* buffer, size_t capacity, bool wait, bool& more);
    int receive(void* buffer, size_t capacity, std::chrono::milliseconds maxWait, bool& more);

    // See LinkManager::waitReadable.
    bool waitReadable(std::chrono::milliseconds maxWait);

    // The endpoint kind, or -1 when the endpoint is closed.
    int kind() const;

    // Whether the bind or connect of this endpoint succeeded.
    bool attached() const;

    bool close();

private:
    friend class LinkManager;
    LinkEndpoint(std::weak_ptr<LinkManager> manager, int slot, uint32_t generation);

    const std::weak_ptr<LinkManager> m_manager;
    const int m_slot;
    const uint32_t m_generation;
};
