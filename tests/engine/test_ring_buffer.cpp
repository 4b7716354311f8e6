#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "engine/ring_buffer.h"

using velmora::RingBuffer;

namespace {

std::vector<int> Iota(int first, int count) {
    std::vector<int> v(static_cast<size_t>(count));
    std::iota(v.begin(), v.end(), first);
    return v;
}

}  // namespace

TEST(RingBuffer, NewBufferOfEightHoldsSeven) {
    RingBuffer<int, 1> rb(8);
    EXPECT_EQ(rb.Used(0), 0u);
    EXPECT_EQ(rb.Free(), 7u);
    const auto src = Iota(1, 10);
    EXPECT_EQ(rb.Write(src.data(), 10), 7u);
    EXPECT_EQ(rb.Used(0), 7u);
    EXPECT_EQ(rb.Free(), 0u);
    EXPECT_EQ(rb.Write(src.data(), 1), 0u);

    std::vector<int> out(7, -1);
    EXPECT_EQ(rb.Read(out.data(), 7, 0), 7u);
    EXPECT_EQ(out, Iota(1, 7));
    EXPECT_EQ(rb.Used(0), 0u);
    EXPECT_EQ(rb.Free(), 7u);
}

TEST(RingBuffer, WriteWrapsPastTheEnd) {
    RingBuffer<int, 1> rb(8);
    const auto first = Iota(100, 6);
    ASSERT_EQ(rb.Write(first.data(), 6), 6u);
    std::vector<int> out(4);
    ASSERT_EQ(rb.Read(out.data(), 4, 0), 4u);
    EXPECT_EQ(out, Iota(100, 4));

    // writePos is 6: two elements fit before the end, three go to the start.
    const auto second = Iota(200, 5);
    EXPECT_EQ(rb.Write(second.data(), 5), 5u);
    EXPECT_EQ(rb.Used(0), 7u);
    EXPECT_EQ(rb.Free(), 0u);

    std::vector<int> all(7);
    ASSERT_EQ(rb.Read(all.data(), 7, 0), 7u);
    EXPECT_EQ(all, (std::vector<int>{104, 105, 200, 201, 202, 203, 204}));
}

TEST(RingBuffer, ShortReadZeroFillsTheRest) {
    RingBuffer<int, 1> rb(8);
    const auto src = Iota(7, 3);
    ASSERT_EQ(rb.Write(src.data(), 3), 3u);
    std::vector<int> out(5, 99);
    EXPECT_EQ(rb.Read(out.data(), 5, 0), 3u);
    EXPECT_EQ(out, (std::vector<int>{7, 8, 9, 0, 0}));
    EXPECT_EQ(rb.Used(0), 0u);

    // An empty buffer fills the whole request with zeros and reports nothing read.
    std::vector<int> more(4, 5);
    EXPECT_EQ(rb.Read(more.data(), 4, 0), 0u);
    EXPECT_EQ(more, (std::vector<int>(4, 0)));
}

TEST(RingBuffer, ResetDropsTheContent) {
    RingBuffer<int, 1> rb(8);
    const auto src = Iota(1, 5);
    ASSERT_EQ(rb.Write(src.data(), 5), 5u);
    std::vector<int> out(2);
    ASSERT_EQ(rb.Read(out.data(), 2, 0), 2u);
    rb.Reset();
    EXPECT_EQ(rb.Used(0), 0u);
    EXPECT_EQ(rb.Free(), 7u);
    // New data starts at position 0 and the old elements never come back.
    const auto fresh = Iota(50, 7);
    ASSERT_EQ(rb.Write(fresh.data(), 7), 7u);
    std::vector<int> got(7);
    ASSERT_EQ(rb.Read(got.data(), 7, 0), 7u);
    EXPECT_EQ(got, fresh);
}

TEST(RingBuffer, ZeroCountsDoNothing) {
    RingBuffer<int, 1> rb(4);
    int x = 1;
    EXPECT_EQ(rb.Write(&x, 0), 0u);
    EXPECT_EQ(rb.Read(&x, 0, 0), 0u);
    EXPECT_EQ(x, 1);
    EXPECT_EQ(rb.Used(0), 0u);
}

TEST(RingBuffer, ManyWrapsKeepOrder) {
    // Odd block sizes against an odd capacity land the positions on every offset.
    RingBuffer<int, 1> rb(13);
    int next = 0;
    int expect = 0;
    std::vector<int> block(12);
    for (int round = 0; round < 500; ++round) {
        const uint32_t w = 1 + static_cast<uint32_t>(round * 7 % 12);
        for (uint32_t i = 0; i < w; ++i) block[i] = next + static_cast<int>(i);
        const uint32_t wrote = rb.Write(block.data(), w);
        next += static_cast<int>(wrote);
        const uint32_t r = 1 + static_cast<uint32_t>(round * 5 % 12);
        std::vector<int> out(r);
        const uint32_t got = rb.Read(out.data(), r, 0);
        for (uint32_t i = 0; i < got; ++i) ASSERT_EQ(out[i], expect++);
        ASSERT_EQ(rb.Used(0), static_cast<uint32_t>(next - expect));
        ASSERT_LE(rb.Used(0), 12u);
    }
}

TEST(RingBuffer, OnlyReaderZeroHoldsTheWriterBack) {
    RingBuffer<int, 2> rb(8);
    const auto src = Iota(1, 7);
    ASSERT_EQ(rb.Write(src.data(), 7), 7u);
    EXPECT_EQ(rb.Used(1), 7u);
    std::vector<int> out(3);
    ASSERT_EQ(rb.Read(out.data(), 3, 1), 3u);
    EXPECT_EQ(out, Iota(1, 3));
    EXPECT_EQ(rb.Used(1), 4u);
    EXPECT_EQ(rb.Used(0), 7u);
    EXPECT_EQ(rb.Free(), 0u);  // reader 1 freed nothing
    ASSERT_EQ(rb.Read(out.data(), 3, 0), 3u);
    EXPECT_EQ(rb.Free(), 3u);
}

TEST(RingBuffer, NonTrivialElementsAreCopied) {
    RingBuffer<std::string, 1> rb(4);
    const std::vector<std::string> src = {"a", "bb", "ccc"};
    ASSERT_EQ(rb.Write(src.data(), 3), 3u);
    std::vector<std::string> out(4, "x");
    EXPECT_EQ(rb.Read(out.data(), 4, 0), 3u);
    EXPECT_EQ(out, (std::vector<std::string>{"a", "bb", "ccc", ""}));
}

// The two-thread test's bookkeeping runs on each side's private block after the ring buffer
// has handed it over; it is left out of ThreadSanitizer's instrumentation so the run stays
// short. The ring buffer's own copies and positions are still fully checked: its element
// copies go through memcpy, which the sanitizer intercepts.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_NO_TSAN __attribute__((no_sanitize("thread")))
#endif
#endif
#if !defined(VELMORA_NO_TSAN) && defined(__SANITIZE_THREAD__)
#define VELMORA_NO_TSAN __attribute__((no_sanitize_thread))
#endif
#ifndef VELMORA_NO_TSAN
#define VELMORA_NO_TSAN
#endif

namespace {

constexpr uint32_t kPatternPeriod = 65521;  // prime: no block size lines up with it
constexpr uint32_t kMaxBlock = 1536;

int32_t PatternValue(uint64_t index) { return static_cast<int32_t>((index % kPatternPeriod) * 2654435761u); }

// Pattern values for any index i at [i % period], continued for one block past the end so a
// block starting anywhere is one contiguous slice.
std::vector<int32_t> MakePattern() {
    std::vector<int32_t> p(kPatternPeriod + kMaxBlock);
    for (size_t i = 0; i < p.size(); ++i) p[i] = PatternValue(i);
    return p;
}

// Position-weighted sum of a block whose first element is stream element `first`: it does
// not depend on how the stream was cut into blocks, and it notices order as well as content.
VELMORA_NO_TSAN uint64_t BlockSum(const int32_t* block, uint32_t n, uint64_t first) {
    uint64_t sum = 0;
    for (uint32_t i = 0; i < n; ++i) sum += (first + i + 1) * static_cast<uint32_t>(block[i]);
    return sum;
}

// Mismatches of a read block against the expected stream, its zeroed tail included.
VELMORA_NO_TSAN uint64_t CountMismatches(const int32_t* block, const int32_t* expected, uint32_t n,
                                         uint32_t asked) {
    uint64_t bad = 0;
    for (uint32_t i = 0; i < n; ++i) bad += block[i] != expected[i];
    for (uint32_t i = n; i < asked; ++i) bad += block[i] != 0;
    return bad;
}

}  // namespace

// One writer thread and one reader thread move well over 100 million samples through a
// buffer of a few thousand slots, in blocks of changing sizes. The reader checks every value
// in order and both sides keep a running checksum of the stream.
TEST(RingBuffer, TwoThreadsMoveOneHundredMillionSamples) {
    constexpr uint64_t kTotal = 100'000'000 + 12'345;
    constexpr uint32_t kCapacity = 4096;
    RingBuffer<int32_t, 1> rb(kCapacity);
    const std::vector<int32_t> pattern = MakePattern();

    std::atomic<uint64_t> writerSum{0};
    std::thread writer([&] {
        uint64_t produced = 0;
        uint64_t sum = 0;
        uint32_t size = 1;
        while (produced < kTotal) {
            size = size * 1103515245u + 12345u;
            const uint32_t want =
                static_cast<uint32_t>(std::min<uint64_t>(1 + (size >> 8) % kMaxBlock, kTotal - produced));
            const int32_t* from = pattern.data() + produced % kPatternPeriod;
            uint32_t offset = 0;
            while (offset < want) {
                const uint32_t n = rb.Write(from + offset, want - offset);
                if (n == 0) std::this_thread::yield();
                sum += BlockSum(from + offset, n, produced + offset);
                offset += n;
            }
            produced += want;
        }
        writerSum.store(sum, std::memory_order_relaxed);
    });

    std::vector<int32_t> block(kMaxBlock);
    uint64_t consumed = 0;
    uint64_t sum = 0;
    uint64_t mismatches = 0;
    uint32_t size = 7;
    while (consumed < kTotal) {
        size = size * 22695477u + 1u;
        const uint32_t want = 1 + (size >> 8) % kMaxBlock;
        const uint32_t n = rb.Read(block.data(), want, 0);
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        mismatches += CountMismatches(block.data(), pattern.data() + consumed % kPatternPeriod, n, want);
        sum += BlockSum(block.data(), n, consumed);
        consumed += n;
    }
    writer.join();
    EXPECT_EQ(mismatches, 0u);
    EXPECT_EQ(consumed, kTotal);
    EXPECT_EQ(rb.Used(0), 0u);
    EXPECT_EQ(sum, writerSum.load());
    EXPECT_NE(sum, 0u);
}
