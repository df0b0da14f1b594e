// TCQueue<T>: a growable ring buffer of T with an optional lock and an optional wait.
// Push never fails for lack of room: a full queue doubles its capacity first. Slots are not
// initialised until an item is pushed into them, so a large queue of plain records costs no
// more than the memory its items actually touch.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>

template <typename T> class TCQueue {
public:
    explicit TCQueue(size_t capacity, bool with_lock = false, bool with_wait = false)
        : m_capacity(capacity ? capacity : 1), m_items(std::make_unique_for_overwrite<T[]>(m_capacity)) {
        if (with_lock || with_wait) m_mutex = std::make_unique<std::mutex>();
        if (with_wait) m_ready = std::make_unique<std::condition_variable>();
    }

    // The lock is a no-op for a queue created without one.
    void Lock() {
        if (m_mutex) m_mutex->lock();
    }
    void Unlock() {
        if (m_mutex) m_mutex->unlock();
    }

    // The caller holds the lock (when there is one) around these.
    bool Push(T item) {
        if (m_count == m_capacity) Grow();
        m_items[m_write] = std::move(item);
        m_write = (m_write + 1) % m_capacity;
        ++m_count;
        if (m_ready) m_ready->notify_one();
        return true;
    }
    // Moves the head into out (or only drops it when out is null); false when empty.
    bool Pop(T* out = nullptr) {
        if (m_count == 0) return false;
        if (out)
            *out = std::move(m_items[m_read]);
        else
            m_items[m_read] = T();
        m_read = (m_read + 1) % m_capacity;
        --m_count;
        return true;
    }
    T* Peek() { return m_count ? &m_items[m_read] : nullptr; }
    size_t Count() const { return m_count; }
    size_t Capacity() const { return m_capacity; }
    bool IsEmpty() const { return m_count == 0; }

    // Locked forms for callers that need no more than one operation.
    bool PushLocked(T item) {
        Lock();
        bool ok = Push(std::move(item));
        Unlock();
        return ok;
    }
    bool PopLocked(T* out = nullptr) {
        Lock();
        bool ok = Pop(out);
        Unlock();
        return ok;
    }

    bool IsEmptyLocked() {
        Lock();
        const bool empty = m_count == 0;
        Unlock();
        return empty;
    }

    // Waits up to timeout_ms for an item; returns at once for a queue created without a wait.
    bool Wait(unsigned timeout_ms) {
        if (!m_ready) return m_count != 0;
        std::unique_lock<std::mutex> lock(*m_mutex);
        return m_ready->wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                 [this] { return m_count != 0; });
    }

private:
    void Grow() {
        const size_t bigger_capacity = m_capacity * 2;
        auto bigger = std::make_unique_for_overwrite<T[]>(bigger_capacity);
        for (size_t i = 0; i < m_count; ++i)
            bigger[i] = std::move(m_items[(m_read + i) % m_capacity]);
        m_items = std::move(bigger);
        m_capacity = bigger_capacity;
        m_read = 0;
        m_write = m_count;
    }

    size_t m_capacity;
    std::unique_ptr<T[]> m_items;
    size_t m_count = 0;
    size_t m_read = 0;
    size_t m_write = 0;
    std::unique_ptr<std::mutex> m_mutex;
    std::unique_ptr<std::condition_variable> m_ready;
};
