#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "context/ContextMember.h"
#include "links/LinkCipher.h"
#include "links/LinkTypes.h"

class LinkEndpoint;

// Owner of every message-socket connection of the process. Components
// declare named links, open endpoints on them and move message parts
// through the endpoints' slots. Payloads on TCP links are enciphered.
//
// Any thread may call the manager. m_managerLock guards the slot table and
// the declarations; each slot has a send lock and a receive lock, so one
// thread may wait for a part while another sends on the same slot. Lock
// order: m_managerLock, then a slot's send lock, then its receive lock, then
// its socket lock. Nothing blocks while holding m_managerLock except close,
// which waits (at most one socket time-out) for a slot's senders and
// receivers to leave.
//
// Must be owned by a shared pointer (contexts always do): endpoints refer
// back to their manager weakly.
class LinkManager : public ContextMember, public std::enable_shared_from_this<LinkManager> {
public:
    static constexpr int kSlotCount = 16;
    static constexpr int kFirstAutomaticPort = 51000;
    // Each socket wait is cut into steps of this length, so that a closed
    // slot or a stopping caller is noticed promptly.
    static constexpr std::chrono::milliseconds kSocketTimeout{50};
    static constexpr int kSendHighWaterMark = 5000;
    // No peer may make us hold more than this for one message.
    static constexpr size_t kMaxMessageSize = size_t{16} << 20;

    LinkManager();
    ~LinkManager() override;

    // Declares a link. A TCP port below 0 takes the next automatic port; a
    // TCP port of 0 lets the system choose a free port when the link is
    // first bound (the declaration then holds the chosen port). An empty host
    // means "localhost". A name declared already is left unchanged. Always
    // returns true.
    bool declare(const std::string& name, int pattern, int transport, int port, const std::string& host);

    // The declaration of a link, if declared.
    std::optional<LinkDeclaration> declaration(const std::string& name) const;

    // Opens an endpoint of the given kind on a declared link; empty when the
    // link is not declared, every slot is in use, the kind is out of range,
    // the socket cannot be made or the manager has stopped. A bind or
    // connect failure still returns the endpoint (see LinkEndpoint::attached).
    std::unique_ptr<LinkEndpoint> open(const std::string& name, int kind);

    // Sends one part; the caller's bytes are left untouched (enciphering
    // writes into the outgoing part). Returns the byte count sent, 0 when
    // the slot is invalid or closed, the send failed, or the length is 0 (an
    // empty part is still sent). A send that finds the queue full is
    // repeated for as long as the slot stays open.
    int send(int slot, const void* bytes, size_t length, bool more);

    // Receives one part into `buffer`. Returns the part's size (0 for an
    // empty part) and only `capacity` bytes of it are stored when it is
    // larger; -1 when nothing came. With `wait` the call waits until a part
    // arrives or the slot is closed; without, it does not block.
    int receive(int slot, void* buffer, size_t capacity, bool wait, bool& more);
    // As above, waiting at most `maxWait`.
    int receive(int slot, void* buffer, size_t capacity, std::chrono::milliseconds maxWait, bool& more);

    // Waits at most `maxWait` until a part can be received, without
    // receiving it; true when one can.
    bool waitReadable(int slot, std::chrono::milliseconds maxWait);

    // The kind of an open endpoint, read back from its socket.
    bool kindOf(int slot, int& kind) const;

    // True when the slot was bound or connected successfully.
    bool attached(int slot) const;

    // Closes a slot; true when a socket was closed.
    bool close(int slot);

    // Closes every slot, forgets every declaration and terminates the
    // socket library's context. Open fails afterwards.
    void stop();

    int openSlotCount() const;

    // Enciphering applies to TCP endpoints opened after the change; both
    // ends of a link must agree. On by default.
    void setCipherEnabled(bool enabled);
    bool cipherEnabled() const;

private:
    friend class LinkEndpoint;

    // A slot index may be reused once closed; an endpoint also names the
    // opening it belongs to, so a stale endpoint never touches a newer
    // endpoint's socket. 0 matches any opening.
    using Generation = uint32_t;

    struct Slot {
        void* socket = nullptr;
        std::atomic<Generation> generation{0};
        int fd = -1;  // the socket's notification descriptor, for waiting without the socket lock
        std::atomic<bool> open{false};
        bool enciphered = false;
        std::atomic<bool> attached{false};
        std::mutex m_sendLock;
        std::mutex m_receiveLock;
        // The socket library's sockets are not thread-safe: every call on
        // the socket is made under this lock, held only for non-blocking calls.
        mutable std::mutex m_socketLock;
    };

    using Clock = std::chrono::steady_clock;
    // As send, but -1 when the part was not sent (0 is an empty part sent).
    int sendPart(int slot, Generation generation, const void* bytes, size_t length, bool more);
    int receiveUntil(int slot, Generation generation, void* buffer, size_t capacity,
                     std::optional<Clock::time_point> deadline, bool& more);
    bool waitReadableSlot(int slot, Generation generation, std::chrono::milliseconds maxWait);
    bool closeSlot(int slot, Generation generation);
    bool kindOfSlot(int slot, Generation generation, int& kind) const;
    bool attachedSlot(int slot, Generation generation) const;
    static bool current(const Slot& slot, Generation generation) {
        return slot.open.load(std::memory_order_acquire) &&
               (generation == 0 || slot.generation.load(std::memory_order_relaxed) == generation);
    }
    static bool validSlot(int slot) { return slot >= 0 && slot < kSlotCount; }
    static void waitForEvents(int fd, std::chrono::milliseconds timeout);
    bool closeLocked(Slot& slot);

    mutable std::mutex m_managerLock;
    void* m_context = nullptr;
    std::array<Slot, kSlotCount> m_slots;
    int m_openCount = 0;
    std::map<std::string, LinkDeclaration> m_declarations;
    int m_nextPort = kFirstAutomaticPort;
    Generation m_lastGeneration = 0;
    std::atomic<bool> m_cipherEnabled{false};
    LinkCipher m_cipher;
    std::thread m_terminator;  // ends the socket context without blocking the caller
};
