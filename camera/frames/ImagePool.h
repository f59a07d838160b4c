#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

// Recycles frame records so that their image buffers are not allocated for
// every frame. take() hands out a record whose last reference sends it back
// to the free list.
//
// A record may outlive the pool (a consumer still holds a frame when its
// device goes away). The pool's state is therefore shared, and each record
// holds it weakly: a record coming back to a pool that is gone is simply
// freed. The free list is touched only under m_poolLock.
template <class Record>
class ImagePool {
public:
    // limit 0 means no limit on the number of records made.
    explicit ImagePool(std::size_t limit = 0) : m_state(std::make_shared<State>(limit)) {}

    ImagePool(const ImagePool&) = delete;
    ImagePool& operator=(const ImagePool&) = delete;

    // A free record, else a new one while fewer than the limit were made;
    // null when the limit is reached and every record is in use.
    std::shared_ptr<Record> take() {
        std::unique_ptr<Record> record;
        {
            std::lock_guard<std::mutex> lock(m_state->m_poolLock);
            if (!m_state->free.empty()) {
                record = std::move(m_state->free.back());
                m_state->free.pop_back();
            } else if (m_state->limit != 0 && m_state->made >= m_state->limit) {
                return nullptr;
            } else {
                ++m_state->made;
            }
        }
        if (!record) {
            try {
                record = std::make_unique<Record>();
            } catch (...) {
                forget(*m_state);
                throw;
            }
        }
        std::weak_ptr<State> home = m_state;
        return std::shared_ptr<Record>(record.release(), [home](Record* returned) {
            std::unique_ptr<Record> owned(returned);
            if (const std::shared_ptr<State> state = home.lock()) {
                std::lock_guard<std::mutex> lock(state->m_poolLock);
                try {
                    state->free.push_back(std::move(owned));
                    return;
                } catch (...) {
                    // No room on the free list: the record is freed below
                    // and no longer counts as made.
                }
                --state->made;
            }
        });
    }

    std::size_t made() const {
        std::lock_guard<std::mutex> lock(m_state->m_poolLock);
        return m_state->made;
    }

    std::size_t idle() const {
        std::lock_guard<std::mutex> lock(m_state->m_poolLock);
        return m_state->free.size();
    }

    std::size_t limit() const { return m_state->limit; }

private:
    struct State {
        explicit State(std::size_t l) : limit(l) {}
        mutable std::mutex m_poolLock;
        std::vector<std::unique_ptr<Record>> free;
        std::size_t made = 0;
        const std::size_t limit;
    };

    static void forget(State& state) {
        std::lock_guard<std::mutex> lock(state.m_poolLock);
        --state.made;
    }

    std::shared_ptr<State> m_state;
};
