#include "links/LinkManager.h"

#include <poll.h>
#include <zmq.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "links/LinkEndpoint.h"

namespace {

// Socket type created for each endpoint kind (the socket library numbers
// its types differently from our kinds).
constexpr int kSocketTypeOfKind[LinkKind::Count] = {
    ZMQ_PUB, ZMQ_SUB, ZMQ_PAIR, ZMQ_PUSH, ZMQ_PULL, ZMQ_REQ, ZMQ_REP, ZMQ_DEALER, ZMQ_ROUTER,
};

int kindOfSocketType(int type) {
    for (int kind = 0; kind < LinkKind::Count; ++kind) {
        if (kSocketTypeOfKind[kind] == type) return kind;
    }
    return -1;
}

// Which endpoints bind (the others connect).
bool bindsOnLink(int pattern, int kind, int openCount) {
    switch (pattern) {
        case LinkPattern::Pair: return openCount == 0;
        case LinkPattern::PublishSubscribe: return kind == LinkKind::Publisher;
        case LinkPattern::PushPull: return kind == LinkKind::Pull;
        case LinkPattern::RequestReply: return kind == LinkKind::Reply || kind == LinkKind::ExtendedReply;
        default: return false;
    }
}

// The port of a bound TCP endpoint, from the address the library reports.
int boundPort(void* socket) {
    char endpoint[256] = {};
    size_t size = sizeof(endpoint) - 1;
    if (zmq_getsockopt(socket, ZMQ_LAST_ENDPOINT, endpoint, &size) != 0) return -1;
    const char* colon = std::strrchr(endpoint, ':');
    if (!colon) return -1;
    return std::atoi(colon + 1);
}

void setIntOption(void* socket, int option, int value) {
    // Failures leave the library default in force, which is still usable.
    (void)zmq_setsockopt(socket, option, &value, sizeof(value));
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// The socket library is not built with ThreadSanitizer: it hands messages
// between its I/O thread and ours through its own lock-free queues, which the
// sanitizer cannot see, so every buffer it allocates on one thread and frees
// on another would be reported. Our own accesses stay checked. Weak: a
// process may have only one such list, and the emulated bus and the tool
// bring their own (which must then name the socket library as well).
extern "C" __attribute__((weak, visibility("default"), used)) const char* __tsan_default_suppressions() {
    return "called_from_lib:libzmq.so\n";
}
#endif

LinkManager::LinkManager() : ContextMember("LinkManager") {
    m_context = zmq_ctx_new();
    if (m_context && zmq_ctx_set(m_context, ZMQ_IO_THREADS, 1) == 0) {
        m_nextPort = kFirstAutomaticPort;
        m_cipherEnabled = true;
    }
}

LinkManager::~LinkManager() {
    stop();
    if (m_terminator.joinable()) m_terminator.join();
}

bool LinkManager::declare(const std::string& name, int pattern, int transport, int port, const std::string& host) {
    std::lock_guard<std::mutex> lock(m_managerLock);
    if (m_declarations.count(name)) return true;

    LinkDeclaration link;
    link.pattern = pattern;
    link.transport = transport;
    if (transport == LinkTransport::Tcp && port < 0) port = m_nextPort++;
    link.port = port;
    if (transport == LinkTransport::InProcess) {
        link.bindAddress = "inproc://" + name;
        link.connectAddress = link.bindAddress;
    } else if (transport == LinkTransport::Tcp) {
        // The only clients are on this machine ("localhost"), so the links
        // listen on the loopback interface alone, not on every interface.
        link.bindAddress = "tcp://127.0.0.1:" + (port == 0 ? std::string("*") : std::to_string(port));
        link.connectAddress = "tcp://" + (host.empty() ? std::string("localhost") : host) + ":" + std::to_string(port);
    }
    m_declarations.emplace(name, std::move(link));
    return true;
}

std::optional<LinkDeclaration> LinkManager::declaration(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_managerLock);
    auto it = m_declarations.find(name);
    if (it == m_declarations.end()) return std::nullopt;
    return it->second;
}

std::unique_ptr<LinkEndpoint> LinkManager::open(const std::string& name, int kind) {
    std::lock_guard<std::mutex> lock(m_managerLock);
    auto it = m_declarations.find(name);
    if (it == m_declarations.end() || kind < 0 || kind >= LinkKind::Count || !m_context) {
        return nullptr;
    }
    auto free = std::find_if(m_slots.begin(), m_slots.end(), [](const Slot& s) { return s.socket == nullptr; });
    if (free == m_slots.end()) return nullptr;
    Slot& slot = *free;
    LinkDeclaration& link = it->second;

    void* socket = zmq_socket(m_context, kSocketTypeOfKind[kind]);
    if (!socket) return nullptr;
    if (kind == LinkKind::Subscriber) (void)zmq_setsockopt(socket, ZMQ_SUBSCRIBE, "", 0);
    setIntOption(socket, ZMQ_LINGER, 0);
    setIntOption(socket, ZMQ_SNDHWM, kSendHighWaterMark);
    // A peer announcing a part beyond the message limit is cut off before
    // anything is allocated for it.
    int64_t maxSize = static_cast<int64_t>(kMaxMessageSize);
    (void)zmq_setsockopt(socket, ZMQ_MAXMSGSIZE, &maxSize, sizeof(maxSize));
    if (kind == LinkKind::Request) {
        // A client whose reply never came (service gone, reply lost) may
        // send again instead of being stuck, and a late reply to the earlier
        // request is recognised and dropped.
        setIntOption(socket, ZMQ_REQ_RELAXED, 1);
        setIntOption(socket, ZMQ_REQ_CORRELATE, 1);
    }

    bool attached;
    if (bindsOnLink(link.pattern, kind, link.openCount)) {
        attached = zmq_bind(socket, link.bindAddress.c_str()) == 0;
        if (attached && link.transport == LinkTransport::Tcp && link.port == 0) {
            // The system chose the port: from now on the link is that port.
            int port = boundPort(socket);
            if (port > 0) {
                link.port = port;
                link.bindAddress = "tcp://127.0.0.1:" + std::to_string(port);
                auto colon = link.connectAddress.rfind(':');
                link.connectAddress = link.connectAddress.substr(0, colon + 1) + std::to_string(port);
            }
        }
    } else {
        attached = zmq_connect(socket, link.connectAddress.c_str()) == 0;
    }
    ++link.openCount;

    const int timeout = static_cast<int>(kSocketTimeout.count());
    setIntOption(socket, ZMQ_RCVTIMEO, timeout);
    setIntOption(socket, ZMQ_SNDTIMEO, timeout);

    int fd = -1;
    size_t fdSize = sizeof(fd);
    (void)zmq_getsockopt(socket, ZMQ_FD, &fd, &fdSize);

    slot.socket = socket;
    Generation generation = ++m_lastGeneration;
    if (generation == 0) generation = ++m_lastGeneration;
    slot.generation.store(generation, std::memory_order_relaxed);
    slot.fd = fd;
    slot.attached = attached;
    slot.enciphered = m_cipherEnabled && link.transport == LinkTransport::Tcp;
    slot.open.store(true, std::memory_order_release);
    ++m_openCount;
    return std::unique_ptr<LinkEndpoint>(
        new LinkEndpoint(weak_from_this(), static_cast<int>(free - m_slots.begin()), generation));
}

void LinkManager::waitForEvents(int fd, std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) return;
    if (fd < 0) {
        std::this_thread::sleep_for(timeout);
        return;
    }
    // The descriptor only says "look again": it is read-ready whenever the
    // socket's state may have changed, for sending and receiving alike.
    pollfd p{fd, POLLIN, 0};
    (void)::poll(&p, 1, static_cast<int>(timeout.count()));
}

int LinkManager::send(int slot, const void* bytes, size_t length, bool more) {
    return std::max(sendPart(slot, 0, bytes, length, more), 0);
}

int LinkManager::sendPart(int index, Generation generation, const void* bytes, size_t length, bool more) {
    if (!validSlot(index) || length > static_cast<size_t>(INT_MAX)) return -1;
    Slot& slot = m_slots[index];
    std::lock_guard<std::mutex> sendLock(slot.m_sendLock);
    if (!current(slot, generation)) return -1;

    zmq_msg_t part;
    if (zmq_msg_init_size(&part, length) != 0) return -1;
    if (length > 0) {
        if (slot.enciphered) {
            m_cipher.encipher(bytes, zmq_msg_data(&part), length);
        } else {
            std::memcpy(zmq_msg_data(&part), bytes, length);
        }
    }
    const int flags = ZMQ_DONTWAIT | (more ? ZMQ_SNDMORE : 0);
    while (slot.open.load(std::memory_order_acquire)) {
        int rc, error;
        {
            std::lock_guard<std::mutex> socketLock(slot.m_socketLock);
            rc = zmq_msg_send(&part, slot.socket, flags);
            error = rc < 0 ? zmq_errno() : 0;
        }
        if (rc >= 0) return static_cast<int>(length);  // the library owns the part now
        if (error != EAGAIN) break;
        // The queue is full: wait a step and try again while the slot is open.
        waitForEvents(slot.fd, kSocketTimeout);
    }
    zmq_msg_close(&part);
    return -1;
}

int LinkManager::receive(int slot, void* buffer, size_t capacity, bool wait, bool& more) {
    std::optional<Clock::time_point> deadline;
    if (!wait) deadline = Clock::now();
    return receiveUntil(slot, 0, buffer, capacity, deadline, more);
}

int LinkManager::receive(int slot, void* buffer, size_t capacity, std::chrono::milliseconds maxWait, bool& more) {
    return receiveUntil(slot, 0, buffer, capacity, Clock::now() + maxWait, more);
}

int LinkManager::receiveUntil(int index, Generation generation, void* buffer, size_t capacity,
                              std::optional<Clock::time_point> deadline, bool& more) {
    more = false;
    if (!validSlot(index)) return -1;
    Slot& slot = m_slots[index];
    std::lock_guard<std::mutex> receiveLock(slot.m_receiveLock);
    if (!current(slot, generation)) return -1;

    zmq_msg_t part;
    zmq_msg_init(&part);
    int result = -1;
    while (slot.open.load(std::memory_order_acquire)) {
        int rc, error;
        {
            std::lock_guard<std::mutex> socketLock(slot.m_socketLock);
            rc = zmq_msg_recv(&part, slot.socket, ZMQ_DONTWAIT);
            error = rc < 0 ? zmq_errno() : 0;
        }
        if (rc >= 0) {
            size_t size = zmq_msg_size(&part);
            size_t stored = std::min(size, capacity);
            if (stored > 0) {
                if (slot.enciphered) {
                    m_cipher.decipher(zmq_msg_data(&part), buffer, stored);
                } else {
                    std::memcpy(buffer, zmq_msg_data(&part), stored);
                }
            }
            more = zmq_msg_more(&part) != 0;
            result = size > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
            break;
        }
        if (error != EAGAIN) break;
        auto step = kSocketTimeout;
        if (deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now());
            if (left.count() <= 0) break;
            step = std::min(step, left);
        }
        waitForEvents(slot.fd, step);
    }
    zmq_msg_close(&part);
    return result;
}

bool LinkManager::waitReadable(int slot, std::chrono::milliseconds maxWait) {
    return waitReadableSlot(slot, 0, maxWait);
}

bool LinkManager::waitReadableSlot(int index, Generation generation, std::chrono::milliseconds maxWait) {
    if (!validSlot(index)) return false;
    Slot& slot = m_slots[index];
    std::lock_guard<std::mutex> receiveLock(slot.m_receiveLock);
    if (!current(slot, generation)) return false;
    const auto deadline = Clock::now() + maxWait;
    while (slot.open.load(std::memory_order_acquire)) {
        int events = 0;
        size_t size = sizeof(events);
        {
            std::lock_guard<std::mutex> socketLock(slot.m_socketLock);
            if (zmq_getsockopt(slot.socket, ZMQ_EVENTS, &events, &size) != 0) return false;
        }
        if (events & ZMQ_POLLIN) return true;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        waitForEvents(slot.fd, std::min(left, kSocketTimeout));
    }
    return false;
}

bool LinkManager::kindOf(int slot, int& kind) const { return kindOfSlot(slot, 0, kind); }

bool LinkManager::kindOfSlot(int index, Generation generation, int& kind) const {
    if (!validSlot(index)) return false;
    const Slot& slot = m_slots[index];
    int type = -1;
    size_t size = sizeof(type);
    std::lock_guard<std::mutex> socketLock(slot.m_socketLock);
    if (!current(slot, generation) || zmq_getsockopt(slot.socket, ZMQ_TYPE, &type, &size) != 0) {
        return false;
    }
    kind = kindOfSocketType(type);
    return kind >= 0;
}

bool LinkManager::attached(int slot) const { return attachedSlot(slot, 0); }

bool LinkManager::attachedSlot(int index, Generation generation) const {
    if (!validSlot(index)) return false;
    const Slot& slot = m_slots[index];
    return current(slot, generation) && slot.attached;
}

bool LinkManager::close(int slot) { return closeSlot(slot, 0); }

bool LinkManager::closeSlot(int index, Generation generation) {
    if (!validSlot(index)) return false;
    std::lock_guard<std::mutex> lock(m_managerLock);
    if (!current(m_slots[index], generation)) return false;
    return closeLocked(m_slots[index]);
}

bool LinkManager::closeLocked(Slot& slot) {
    if (!slot.socket) return false;
    // Waiting senders and receivers see the slot closed within one step and
    // leave; then the socket is ours alone.
    slot.open.store(false, std::memory_order_release);
    std::lock_guard<std::mutex> sendLock(slot.m_sendLock);
    std::lock_guard<std::mutex> receiveLock(slot.m_receiveLock);
    std::lock_guard<std::mutex> socketLock(slot.m_socketLock);
    (void)zmq_setsockopt(slot.socket, ZMQ_UNSUBSCRIBE, "", 0);  // fails harmlessly on non-subscribers
    if (zmq_close(slot.socket) != 0) {
        slot.open.store(true, std::memory_order_release);
        return false;
    }
    slot.socket = nullptr;
    slot.fd = -1;
    slot.enciphered = false;
    slot.attached = false;
    --m_openCount;
    return true;
}

void LinkManager::stop() {
    if (m_terminator.joinable()) m_terminator.join();
    std::lock_guard<std::mutex> lock(m_managerLock);
    for (auto& slot : m_slots) closeLocked(slot);
    m_declarations.clear();
    if (m_context) {
        // Termination waits for the library to finish with every socket; with
        // linger 0 and every socket closed it is quick, but it must never
        // hold up the caller.
        void* context = m_context;
        m_context = nullptr;
        m_terminator = std::thread([context] { zmq_ctx_term(context); });
    }
}

int LinkManager::openSlotCount() const {
    std::lock_guard<std::mutex> lock(m_managerLock);
    return m_openCount;
}

void LinkManager::setCipherEnabled(bool enabled) { m_cipherEnabled = enabled; }
bool LinkManager::cipherEnabled() const { return m_cipherEnabled; }
