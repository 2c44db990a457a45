// Shared frame of the fuzz targets: each input drives one protocol through
// its real entry points (byte handlers, Send, worker cycles) with the real
// pool and mailbox under a manual clock, and the invariants below are
// checked after every step. Linked either with libFuzzer or with the replay
// driver that runs the seed corpora as tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "bdapl.h"

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// First tick of every input: close to the wrap, so that time-outs cross it.
constexpr uint32_t START_TICKS = 0xFFFFF000u;

// The input, read front to back; once it runs out every read gives 0.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : p(data), n(size) {}
    bool Empty() const { return n == 0; }
    uint8_t Byte()
    {
        if (n == 0) return 0;
        --n;
        return *p++;
    }
    uint16_t Word() { return static_cast<uint16_t>(Byte() | (Byte() << 8)); }
    Bytes Take(size_t count)
    {
        if (count > n) count = n;
        Bytes out(p, p + count);
        p += count;
        n -= count;
        return out;
    }

private:
    const uint8_t* p;
    size_t n;
};

// Once per process: manual clock, pool, mailbox, and a fatal handler that
// reports the fatal line and aborts, since no input may reach it.
void SetUpOnce();
// Start of an input: the clock back to START_TICKS, the pool full.
void StartInput();
void Advance(uint32_t ticks);
// The gates' receive callback: the BD goes into the router's mailbox, or
// back to the pool when the mailbox is full.
void Deliver(BD* bd);
// The router's part: every BD in the mailbox back to the pool.
void ReturnDelivered();
// Aborts unless every BD is free, waiting in the mailbox or among the `held`
// the harness keeps; with `all`, unless every BD is free.
void CheckPool(bool all, uint32_t held = 0);
uint32_t FreeBds();
[[noreturn]] void Fail(const char* what);

// Counters only grow within one input: words of a statistics record, some
// of which (link state, queue loads) are not counters.
template <typename STATS>
class CounterWatch {
public:
    explicit CounterWatch(uint32_t notCountersMask) : skip(notCountersMask) {}
    template <typename P>
    void Check(P& protocol)
    {
        alignas(uint32_t) uint8_t raw[sizeof(STATS)];
        protocol.GetStats(raw);
        CheckRaw(raw);
    }
    // A record its owner's accessor filled.
    void CheckRecord(const STATS& record) { CheckRaw(reinterpret_cast<const uint8_t*>(&record)); }
    // After the counters were reset: whatever they read next is the floor.
    void Forget() { std::memset(last, 0, sizeof(last)); }

private:
    void CheckRaw(const uint8_t* raw)
    {
        uint32_t now[WORDS];
        std::memcpy(now, raw, sizeof(now));
        for (uint32_t i = 0; i < WORDS; ++i) {
            if ((skip & (1u << i)) == 0 && now[i] < last[i]) Fail("a counter went down");
        }
        std::memcpy(last, now, sizeof(now));
    }

    static constexpr uint32_t WORDS = sizeof(STATS) / sizeof(uint32_t);
    const uint32_t skip;
    uint32_t last[WORDS] = {};
};

// A BD from the pool holding `len` bytes of a pattern, for Send.
BD* MessageBd(uint32_t len, uint8_t seed);

}  // namespace fuzz
