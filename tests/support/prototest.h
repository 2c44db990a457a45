// Helpers of the protocol tests (serial lines and host links): a fixture
// with the pool and mailbox that checks no BD goes missing, a receive
// callback that records what a protocol delivered and returns the BD, the
// link changes it reported, and byte-level access to a protocol through
// its IProtocol handlers.
#pragma once

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "dcapl.h"
#include "fwtest.h"
#include "hostkernel.h"
#include "iprotocol.h"

using Bytes = std::vector<uint8_t>;

struct Delivered {
    SOURCES_E source;
    uint16_t destPort;  // as held in the BD: network byte order
    uint32_t destIpAddr;
    uint16_t sourcePort;
    uint32_t sourceIpAddr;
    Bytes data;
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
    deliveries().push_back({bd->Source(), bd->DestPort(), bd->DestIpAddr(), bd->SourcePort(),
                            bd->SourceIpAddr(),
                            Bytes(bd->BufferPtr(), bd->BufferPtr() + bd->Load())});
    BdPool::Put(bd);
}

inline std::vector<Bytes> takeDelivered()
{
    std::vector<Bytes> out;
    for (const Delivered& d : deliveries()) out.push_back(d.data);
    deliveries().clear();
    return out;
}

struct LinkEvent {
    SOURCES_E source;
    LINK_ACTIVITY_E activity;
};

inline std::vector<LinkEvent>& linkEvents()
{
    static std::vector<LinkEvent> list;
    return list;
}

inline void recordLink(SOURCES_E source, LINK_ACTIVITY_E activity)
{
    linkEvents().push_back({source, activity});
}

// Values as a BD holds them: the bytes in wire order in memory.
inline uint16_t netPort(uint16_t port) { return htons(port); }

inline uint32_t netAddr(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return htonl(static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 |
                 static_cast<uint32_t>(c) << 8 | d);
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

// A statistics record read through an untyped getter (a protocol's
// GetStats, a gate's GetProtStats or GetUartStats).
template <typename STATS, typename GET>
STATS readStats(GET get)
{
    alignas(uint32_t) uint8_t raw[sizeof(STATS)];
    std::memset(raw, 0xEE, sizeof(raw));
    get(raw);
    STATS s;
    std::memcpy(&s, raw, sizeof(s));
    return s;
}

template <typename STATS>
STATS statsOf(IProtocol& p)
{
    return readStats<STATS>([&](uint8_t* raw) { p.GetStats(raw); });
}

// What the console queued for its UART since the last call.
inline std::string consoleText()
{
    std::string text;
    uint8_t b = 0;
    while (dcConsole()->TxDataHandler(b) == EC_SUCCESS) text.push_back(static_cast<char>(b));
    return text;
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

inline Bytes textOf(const char* s) { return Bytes(s, s + std::strlen(s)); }

// A text with each DLE doubled, as the framed protocols carry it.
inline Bytes stuff(const Bytes& text)
{
    Bytes s;
    for (uint8_t b : text) {
        s.push_back(b);
        if (b == 0x10) s.push_back(0x10);
    }
    return s;
}

// A BD holding `data`, to hand to Send: a pool BD, or for a message larger
// than any pool BD, a BD over a buffer of its own. Returned when done.
class SendBuffer {
public:
    explicit SendBuffer(const Bytes& data)
        : big(data.size() > LEN_BD_BUFFER ? data.size() : 0),
          own(big.empty() ? nullptr
                          : std::make_unique<BD>(static_cast<uint32_t>(big.size()), big.data())),
          bd(own ? own.get() : BdPool::Get())
    {
        if (!data.empty()) bd->Copy(static_cast<uint32_t>(data.size()), data.data());
    }
    ~SendBuffer()
    {
        if (!own) BdPool::Put(bd);
    }
    BD* get() const { return bd; }

private:
    Bytes big;
    std::unique_ptr<BD> own;  // also keeps the buffer from being copied
    BD* bd;
};

// Returns to the pool the configuration status messages that a link coming
// up makes the board post, keeping every other BD in the mailbox in order.
inline void dropStatusMessages()
{
    std::vector<BD*> keep;
    while (BdMail::NumPending() > 0) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        if (bd->Source() == SOURCE_ZOK1 || bd->Source() == SOURCE_ZOK2) {
            BdPool::Put(bd);
        } else {
            keep.push_back(bd);
        }
    }
    for (BD* bd : keep) BdMail::Post(bd);
}

class ProtocolTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        // The pool lives on the host heap, once per process: the simulated
        // heap is emptied before every test.
        static const bool poolReady = (BdPool::Init(), true);
        (void)poolReady;
        hostHeapRouteNew(true);
        BdMail::Init();
        hostHeapRouteNew(false);
        deliveries().clear();
        linkEvents().clear();
        freeAtStart = freeBds();
    }
    // Checks that no BD went missing, then hands back what the mailbox holds.
    void TearDown() override
    {
        EXPECT_EQ(freeAtStart, freeBds() + BdMail::NumPending()) << "a BD went missing";
        while (BdMail::NumPending() > 0) {
            BD* bd = nullptr;
            BdMail::Pend(&bd);
            BdPool::Put(bd);
        }
        FirmwareTest::TearDown();
    }

    static uint32_t freeBds()
    {
        BDPOOL_STATS_T s;
        BdPool::GetStats(s);
        return s.numOfFreeBds;
    }

    // The router mailbox full of pool BDs, as a router that stopped reading leaves it.
    static void fillMailbox()
    {
        for (uint16_t i = 0; i < BdMail::NUM_MAILBOX_ITENS; ++i) {
            ASSERT_EQ(EC_SUCCESS, BdMail::Post(BdPool::Get()));
        }
    }

    // Moves the clock on and returns the new tick count.
    static uint32_t advance(uint32_t ticks)
    {
        hostClockAdvance(ticks);
        return ti_sysbios_knl_Clock_getTicks();
    }

    // A pool BD with addressing and data, as the router would hand it over.
    static BD* makeBd(uint16_t destPort, uint32_t destIp, uint16_t sourcePort, uint32_t sourceIp,
                      const Bytes& data)
    {
        BD* bd = BdPool::Get();
        bd->DestPort(destPort);
        bd->DestIpAddr(destIp);
        bd->SourcePort(sourcePort);
        bd->SourceIpAddr(sourceIp);
        if (!data.empty()) {
            bd->Copy(static_cast<uint32_t>(data.size()), data.data());
        }
        return bd;
    }

    uint32_t freeAtStart = 0;
};
