#include "links/LinkEndpoint.h"

#include <algorithm>

#include "links/LinkManager.h"

LinkEndpoint::LinkEndpoint(std::weak_ptr<LinkManager> manager, int slot, uint32_t generation)
    : m_manager(std::move(manager)), m_slot(slot), m_generation(generation) {}

LinkEndpoint::~LinkEndpoint() { close(); }

int LinkEndpoint::send(const void* bytes, size_t length, bool more) {
    auto manager = m_manager.lock();
    return manager ? std::max(manager->sendPart(m_slot, m_generation, bytes, length, more), 0) : 0;
}

bool LinkEndpoint::sendPart(const void* bytes, size_t length, bool more) {
    auto manager = m_manager.lock();
    return manager && manager->sendPart(m_slot, m_generation, bytes, length, more) == static_cast<int>(length);
}

int LinkEndpoint::receive(void* buffer, size_t capacity, bool wait, bool& more) {
    more = false;
    auto manager = m_manager.lock();
    if (!manager) return -1;
    std::optional<LinkManager::Clock::time_point> deadline;
    if (!wait) deadline = LinkManager::Clock::now();
    return manager->receiveUntil(m_slot, m_generation, buffer, capacity, deadline, more);
}

int LinkEndpoint::receive(void* buffer, size_t capacity, std::chrono::milliseconds maxWait, bool& more) {
    more = false;
    auto manager = m_manager.lock();
    if (!manager) return -1;
    return manager->receiveUntil(m_slot, m_generation, buffer, capacity, LinkManager::Clock::now() + maxWait, more);
}

bool LinkEndpoint::waitReadable(std::chrono::milliseconds maxWait) {
    auto manager = m_manager.lock();
    return manager && manager->waitReadableSlot(m_slot, m_generation, maxWait);
}

int LinkEndpoint::kind() const {
    auto manager = m_manager.lock();
    int kind = -1;
    if (!manager || !manager->kindOfSlot(m_slot, m_generation, kind)) return -1;
    return kind;
}

bool LinkEndpoint::attached() const {
    auto manager = m_manager.lock();
    return manager && manager->attachedSlot(m_slot, m_generation);
}

bool LinkEndpoint::close() {
    auto manager = m_manager.lock();
    return manager && manager->closeSlot(m_slot, m_generation);
}
