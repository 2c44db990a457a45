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

// Frames DLE STX ... DLE ETX followed by a CRC of CRC_BYTES bytes, high
// byte first: sets each frame's CRC to the one its text needs, so that the
// fuzzer's frames get past the check. calc(crc, byte) adds one byte.
template <size_t CRC_BYTES, typename CrcT, typename Calc>
void FixUpFrameCrcs(Bytes& v, uint8_t dle, uint8_t stx, uint8_t etx, CrcT initial, Calc calc)
{
    constexpr unsigned BITS_PER_BYTE = 8;
    size_t i = 0;
    while (i + 1 < v.size()) {
        if (v[i] != dle || v[i + 1] != stx) {
            ++i;
            continue;
        }
        CrcT crc = initial;
        size_t j = i + 2;
        i = v.size();
        while (j + 1 < v.size()) {
            if (v[j] != dle) {
                crc = calc(crc, v[j++]);
                continue;
            }
            if (v[j + 1] == dle) {
                crc = calc(calc(crc, dle), dle);
                j += 2;
                continue;
            }
            if (v[j + 1] == etx && j + 1 + CRC_BYTES < v.size()) {
                crc = calc(calc(crc, dle), etx);
                for (size_t k = 0; k < CRC_BYTES; ++k) {
                    v[j + 2 + k] =
                        static_cast<uint8_t>(crc >> (BITS_PER_BYTE * (CRC_BYTES - 1 - k)));
                }
                j += 2 + CRC_BYTES;
            }
            i = j;  // a frame ended or broke off: look for the next one
            break;
        }
    }
}

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
