#pragma once
// A bounded lock-free queue for exactly one producer thread and one consumer
// thread. N slots hold at most N - 1 items: the slot after the head is free
// whenever the queue is not full. The producer writes only the head, the
// consumer only the tail; each publishes its index after touching the slot.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

template <typename T, std::size_t N> class LocklessQueue_SPSC {
    static_assert(N >= 2 && N <= 65535, "indices are 16-bit");

public:
    // Producer side. False when the queue is full; the item is left untouched.
    bool push(const T& item)
    {
        const uint16_t head = m_head.load(std::memory_order_relaxed);
        const uint16_t next = sNext(head);
        if (next == m_tail.load(std::memory_order_acquire)) return false;
        m_slots[next] = item;
        m_head.store(next, std::memory_order_release);
        return true;
    }

    // Consumer side. False when the queue is empty.
    bool pop(T& out)
    {
        const uint16_t tail = m_tail.load(std::memory_order_relaxed);
        if (tail == m_head.load(std::memory_order_acquire)) return false;
        const uint16_t next = sNext(tail);
        out = std::move(m_slots[next]);
        m_slots[next] = T{};
        m_tail.store(next, std::memory_order_release);
        return true;
    }

    bool empty() const { return m_tail.load(std::memory_order_acquire) == m_head.load(std::memory_order_acquire); }
    static constexpr std::size_t capacity() { return N - 1; }

private:
    static uint16_t sNext(uint16_t i) { return static_cast<uint16_t>(i + 1 == N ? 0 : i + 1); }

    std::array<T, N> m_slots{};
    std::atomic<uint16_t> m_head{0};
    std::atomic<uint16_t> m_tail{0};
};
