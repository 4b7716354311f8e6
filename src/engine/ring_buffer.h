// Fixed-size circular sample queue between two engine stages. One thread writes, one thread
// reads (per reader position); no lock is taken. Each side publishes its position with a
// release store after copying the elements and reads the other side's position with an
// acquire load before copying, so neither side ever sees a position ahead of the data.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <type_traits>

namespace velmora {

template <typename T, unsigned R = 1>
class RingBuffer {
    static_assert(R >= 1, "a ring buffer needs at least one reader");

public:
    // The elements are left uninitialised: nothing is read before it is written, and clearing
    // the engine's two 4 MB rings held up the start of every join by tens of milliseconds.
    explicit RingBuffer(uint32_t capacity)
        : data_(std::make_unique_for_overwrite<T[]>(capacity < 1 ? 1 : capacity)),
          capacity_(capacity < 1 ? 1 : capacity) {
        Reset();
    }
    virtual ~RingBuffer() = default;

    RingBuffer(const RingBuffer&) = delete;
    RingBuffer& operator=(const RingBuffer&) = delete;

    uint32_t Capacity() const { return capacity_; }

    // Unread elements for `reader`; called by that reader.
    uint32_t Used(unsigned reader = 0) const {
        const uint32_t w = writePos_.load(std::memory_order_acquire);
        const uint32_t r = readPos_[reader].load(std::memory_order_acquire);
        return w >= r ? w - r : capacity_ - r + w;
    }

    // Room for writing now; only reader 0 holds the writer back. Called by the writer.
    uint32_t Free() const {
        const uint32_t w = writePos_.load(std::memory_order_acquire);
        const uint32_t r = readPos_[0].load(std::memory_order_acquire);
        return (r + capacity_ - w - 1) % capacity_;
    }

    // Appends up to `count` elements; returns how many were written.
    uint32_t Write(const T* source, uint32_t count) {
        const uint32_t free = Free();
        const uint32_t n = count < free ? count : free;
        if (n == 0) return 0;
        const uint32_t w = writePos_.load(std::memory_order_relaxed);
        const uint32_t tail = capacity_ - w;
        if (tail >= n) {
            Copy(data_.get() + w, source, n);
        } else {
            Copy(data_.get() + w, source, tail);
            Copy(data_.get(), source + tail, n - tail);
        }
        writePos_.store((w + n) % capacity_, std::memory_order_release);
        return n;
    }

    // Removes up to `count` elements for `reader`. Places of `destination` beyond what was
    // available are zeroed, so a caller that asked for a whole block gets silence, not garbage.
    uint32_t Read(T* destination, uint32_t count, unsigned reader = 0) {
        const uint32_t available = Used(reader);
        if (count > available) {
            for (uint32_t i = available; i < count; ++i) destination[i] = T{};
            count = available;
        }
        if (count == 0) return 0;
        const uint32_t r = readPos_[reader].load(std::memory_order_relaxed);
        const uint32_t tail = capacity_ - r;
        if (tail >= count) {
            Copy(destination, data_.get() + r, count);
        } else {
            Copy(destination, data_.get() + r, tail);
            Copy(destination + tail, data_.get(), count - tail);
        }
        readPos_[reader].store((r + count) % capacity_, std::memory_order_release);
        return count;
    }

    // Empties the buffer. Only while neither side uses it (the job thread at a task start).
    void Reset() {
        writePos_.store(0, std::memory_order_release);
        for (auto& r : readPos_) r.store(0, std::memory_order_release);
    }

private:
    static void Copy(T* to, const T* from, uint32_t n) {
        if constexpr (std::is_trivially_copyable_v<T>) {
            std::memcpy(to, from, static_cast<size_t>(n) * sizeof(T));
        } else {
            for (uint32_t i = 0; i < n; ++i) to[i] = from[i];
        }
    }

    std::unique_ptr<T[]> data_;
    const uint32_t capacity_;
    std::atomic<uint32_t> writePos_{0};
    std::atomic<uint32_t> readPos_[R];
};

// The engine's two sample queues hold 1 048 576 signed 32-bit samples each.
inline constexpr uint32_t kSampleRingCapacity = 1048576;
using SampleRing = RingBuffer<int32_t, 1>;

}  // namespace velmora
