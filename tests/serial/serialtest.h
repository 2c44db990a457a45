// Helpers of the serial-line protocol tests: a fixture with the buffer pool,
// a receive callback that records what was delivered and returns the BD,
// and byte-level access to a protocol through its IProtocol handlers.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bdpoolapl.h"
#include "dcapl.h"
#include "fwtest.h"
#include "hostkernel.h"
#include "iprotocol.h"

using Bytes = std::vector<uint8_t>;

struct Delivered {
    Bytes data;
    SOURCES_E source;
    uint32_t sourceIpAddr;
    uint32_t destIpAddr;
    uint16_t sourcePort;
    uint16_t destPort;
};

// Everything delivered through recordDelivery, in order, across protocols.
inline std::vector<Delivered>& deliveries()
{
    static std::vector<Delivered> list;
    return list;
}

// A gate's receive callback: records the message and, as the owner, returns
// the BD to the pool.
inline void recordDelivery(BD* bd)
{
    Delivered d;
    d.data.assign(bd->BufferPtr(), bd->BufferPtr() + bd->Load());
    d.source = bd->Source();
    d.sourceIpAddr = bd->SourceIpAddr();
    d.destIpAddr = bd->DestIpAddr();
    d.sourcePort = bd->SourcePort();
    d.destPort = bd->DestPort();
    deliveries().push_back(d);
    BdPool::Put(bd);
}

inline std::vector<Bytes> takeDelivered()
{
    std::vector<Bytes> out;
    for (const Delivered& d : deliveries()) out.push_back(d.data);
    deliveries().clear();
    return out;
}

inline void feed(IProtocol& p, const Bytes& bytes)
{
    for (uint8_t b : bytes) p.RxDataHandler(b);
}

// Everything the protocol has queued for the line.
inline Bytes drain(IProtocol& p)
{
    Bytes out;
    uint8_t b = 0;
    while (p.TxDataHandler(b) == EC_SUCCESS) out.push_back(b);
    return out;
}

template <typename STATS>
STATS statsOf(IProtocol& p)
{
    alignas(uint32_t) uint8_t raw[sizeof(STATS)];
    std::memset(raw, 0xEE, sizeof(raw));
    p.GetStats(raw);
    STATS s;
    std::memcpy(&s, raw, sizeof(s));
    return s;
}

// Runs `body` in a fresh child process (the console can be started only
// once per process) and expects it to leave `marks` on the console, all of
// what it printed after the console started.
#define EXPECT_CONSOLE_MARKS(body, marks)                                                          \
    EXPECT_EXIT(                                                                                   \
        {                                                                                          \
            dcInit();                                                                              \
            consoleText();                                                                         \
            body;                                                                                  \
            std::fprintf(stderr, "marks=[%s]\n", consoleText().c_str());                           \
            std::_Exit(0); /* no static teardown of the simulated kernel */                        \
        },                                                                                         \
        ::testing::ExitedWithCode(0), "marks=\\[" marks "\\]")

// What the console queued for its UART since the last call.
inline std::string consoleText()
{
    std::string text;
    uint8_t b = 0;
    while (dcConsole()->TxDataHandler(b) == EC_SUCCESS) text.push_back(static_cast<char>(b));
    return text;
}

inline Bytes textOf(const char* s) { return Bytes(s, s + std::strlen(s)); }

// A BD holding `data`, to hand to Send: a pool BD, or for a message larger
// than any pool BD, a BD over a buffer of its own. Returned when done.
class SendBuffer {
public:
    explicit SendBuffer(const Bytes& data)
    {
        if (data.size() > LEN_BD_BUFFER) {
            big.assign(data.size(), 0);
            own = std::make_unique<BD>(static_cast<uint32_t>(big.size()), big.data());
            bd = own.get();
        } else {
            bd = BdPool::Get();
        }
        if (!data.empty()) {
            bd->Copy(static_cast<uint32_t>(data.size()), data.data());
        }
    }
    ~SendBuffer()
    {
        if (!own) BdPool::Put(bd);
    }
    SendBuffer(const SendBuffer&) = delete;
    SendBuffer& operator=(const SendBuffer&) = delete;
    BD* get() const { return bd; }

private:
    Bytes big;
    std::unique_ptr<BD> own;
    BD* bd = nullptr;
};

class SerialTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        static bool poolReady = false;
        if (!poolReady) {
            BdPool::Init();
            poolReady = true;
        }
        deliveries().clear();
        BDPOOL_STATS_T s;
        BdPool::GetStats(s);
        freeAtStart = s.numOfFreeBds;
    }
    void TearDown() override
    {
        BDPOOL_STATS_T s;
        BdPool::GetStats(s);
        EXPECT_EQ(s.numOfFreeBds, freeAtStart) << "a BD went missing";
        FirmwareTest::TearDown();
    }

    // Moves the clock on and returns the new tick count.
    static uint32_t advance(uint32_t ticks)
    {
        hostClockAdvance(ticks);
        return ti_sysbios_knl_Clock_getTicks();
    }

    uint32_t freeAtStart = 0;
};
