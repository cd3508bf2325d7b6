// A bounded single-producer single-consumer queue: the decoding thread pushes, the buffer-switch
// callback pops. Neither side locks, waits or allocates after Init.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <new>

namespace lkplay {

template <typename T> class SpscQueue {
public:
    SpscQueue() = default;
    ~SpscQueue() { delete[] m_items; }
    SpscQueue(const SpscQueue&) = delete;
    SpscQueue& operator=(const SpscQueue&) = delete;

    // Capacity is rounded up to a power of two; false when the storage cannot be had.
    bool Init(size_t capacity) {
        size_t size = 1;
        while (size < capacity)
            size <<= 1;
        delete[] m_items;
        m_items = new (std::nothrow) T[size];
        if (!m_items)
            return false;
        m_mask = size - 1;
        m_head.store(0, std::memory_order_relaxed);
        m_tail.store(0, std::memory_order_relaxed);
        return true;
    }

    size_t Capacity() const { return m_items ? m_mask + 1 : 0; }

    // Producer side.
    size_t FreeSpace() const {
        return Capacity() - (m_tail.load(std::memory_order_relaxed) - m_head.load(std::memory_order_acquire));
    }
    size_t Push(const T* items, size_t count) {
        const size_t tail = m_tail.load(std::memory_order_relaxed);
        const size_t head = m_head.load(std::memory_order_acquire);
        count = std::min(count, Capacity() - (tail - head));
        for (size_t i = 0; i < count; ++i)
            m_items[(tail + i) & m_mask] = items[i];
        m_tail.store(tail + count, std::memory_order_release);
        return count;
    }

    // Consumer side.
    size_t Available() const {
        return m_tail.load(std::memory_order_acquire) - m_head.load(std::memory_order_relaxed);
    }
    // Hands up to `count` items to visit(index, item) in order and removes them; returns how many.
    template <typename Visit> size_t Consume(size_t count, Visit&& visit) {
        const size_t head = m_head.load(std::memory_order_relaxed);
        const size_t tail = m_tail.load(std::memory_order_acquire);
        count = std::min(count, tail - head);
        for (size_t i = 0; i < count; ++i)
            visit(i, m_items[(head + i) & m_mask]);
        m_head.store(head + count, std::memory_order_release);
        return count;
    }

private:
    T* m_items = nullptr;
    size_t m_mask = 0;
    // Producer and consumer indices on their own cache lines; they only grow.
    alignas(64) std::atomic<size_t> m_head{0};
    alignas(64) std::atomic<size_t> m_tail{0};
};

} // namespace lkplay
