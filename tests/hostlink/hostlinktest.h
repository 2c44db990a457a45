// Helpers of the host-link tests: a fixture with the pool and mailbox, a
// receive callback that records what the protocol delivered, the link
// changes it reported, and byte-level access to a protocol through its
// interrupt handlers. Frames for the board are built with the host-side
// codec of tools/, which was written independently of the firmware's.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "bpposapl.h"
#include "fwtest.h"
#include "hostkernel.h"
#include "hostlink_codec.h"

using Bytes = std::vector<uint8_t>;

struct Received {
    SOURCES_E source;
    uint16_t destPort;  // as held in the BD: network byte order
    uint32_t destIpAddr;
    uint16_t sourcePort;
    uint32_t sourceIpAddr;
    Bytes data;
};

inline std::vector<Received>& received()
{
    static std::vector<Received> list;
    return list;
}

// The receive callback of a gate, as an owner that returns the BD at once.
inline void recordReceived(BD* bd)
{
    received().push_back({bd->Source(), bd->DestPort(), bd->DestIpAddr(), bd->SourcePort(),
                          bd->SourceIpAddr(),
                          Bytes(bd->BufferPtr(), bd->BufferPtr() + bd->Load())});
    BdPool::Put(bd);
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
inline uint16_t netPort(uint16_t port)
{
    const uint8_t b[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    uint16_t v;
    std::memcpy(&v, b, sizeof v);
    return v;
}

inline uint32_t netAddr(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

inline void feed(IProtocol& p, const Bytes& bytes)
{
    for (uint8_t b : bytes) p.RxDataHandler(b);
}

inline Bytes drain(IProtocol& p)
{
    Bytes out;
    uint8_t b = 0;
    while (p.TxDataHandler(b) == EC_SUCCESS) out.push_back(b);
    return out;
}

inline BPPOS_STATS_T statsOf(IProtocol& p)
{
    alignas(uint32_t) uint8_t raw[sizeof(BPPOS_STATS_T)];
    std::memset(raw, 0xEE, sizeof raw);
    p.GetStats(raw);
    BPPOS_STATS_T s;
    std::memcpy(&s, raw, sizeof s);
    return s;
}

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

class HostLinkTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        // The pool lives on the host heap, once per process: the simulated
        // heap is emptied before every test.
        static bool poolReady = false;
        if (!poolReady) {
            BdPool::Init();
            poolReady = true;
        }
        hostHeapRouteNew(true);
        BdMail::Init();
        hostHeapRouteNew(false);
        received().clear();
        linkEvents().clear();
        BDPOOL_STATS_T s;
        BdPool::GetStats(s);
        freeAtStart = s.numOfFreeBds;
    }
    void TearDown() override
    {
        BDPOOL_STATS_T s;
        BdPool::GetStats(s);
        EXPECT_EQ(freeAtStart, s.numOfFreeBds + BdMail::NumPending() + held) << "a BD went missing";
        FirmwareTest::TearDown();
    }

    // A pool BD with addressing and data, as the router would hand it over.
    BD* makeBd(uint16_t destPort, uint32_t destIp, uint16_t sourcePort, uint32_t sourceIp,
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

    uint32_t held = 0;  // BDs a test keeps on purpose
    uint32_t freeAtStart = 0;
};
