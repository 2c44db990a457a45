// The UDP peer's accounting from tables of arriving sequence numbers, its
// payload codec, and one real send -> recv run over loopback.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <thread>

#include "udppeer.h"

using namespace zok2tools;

namespace {

TEST(UdpPeerAccount, CountsLossReorderingAndDuplicates)
{
    struct Case {
        const char* name;
        std::vector<uint32_t> arrivals;
        uint64_t expected;  // the sender's count, 0 = unknown
        uint64_t unique, lost, reordered, duplicates;
    };
    const Case cases[] = {
        {"in order", {0, 1, 2, 3}, 0, 4, 0, 0, 0},
        {"gap", {0, 1, 4, 5}, 0, 4, 2, 0, 0},
        {"late arrival fills its gap", {0, 2, 1, 3}, 0, 4, 0, 1, 0},
        {"duplicate of an old one", {0, 1, 1, 2, 0}, 0, 3, 0, 0, 2},
        {"first one lost", {1, 2}, 0, 2, 1, 0, 0},
        {"trailing loss seen with the count", {0, 1}, 4, 2, 2, 0, 0},
        {"reversed", {3, 2, 1, 0}, 0, 4, 0, 3, 0},
        {"nothing", {}, 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SeqAccount a;
        for (uint32_t s : c.arrivals) a.Add(s);
        EXPECT_EQ(a.received(), c.arrivals.size());
        EXPECT_EQ(a.unique(), c.unique);
        EXPECT_EQ(a.Lost(c.expected), c.lost);
        EXPECT_EQ(a.reordered(), c.reordered);
        EXPECT_EQ(a.duplicates(), c.duplicates);
    }
}

TEST(UdpPeerAccount, PayloadAndLatency)
{
    uint8_t buf[UDP_PEER_HEADER_SIZE + 4];
    EncodeUdpPayload(0x01020304u, 0x1122334455667788ull, buf, sizeof(buf));
    const uint8_t head[] = {'Z', 'U', 'D', 'P', 1, 2, 3, 4, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(0, std::memcmp(buf, head, sizeof(head)));
    uint32_t seq = 0;
    uint64_t ns = 0;
    ASSERT_TRUE(DecodeUdpPayload(buf, sizeof(buf), seq, ns));
    EXPECT_EQ(seq, 0x01020304u);
    EXPECT_EQ(ns, 0x1122334455667788ull);
    EXPECT_FALSE(DecodeUdpPayload(buf, UDP_PEER_HEADER_SIZE - 1, seq, ns));
    buf[0] = 'X';
    EXPECT_FALSE(DecodeUdpPayload(buf, sizeof(buf), seq, ns));

    // Nearest rank over 1..100 us: p50 = 50, p99 = 99.
    std::vector<uint64_t> samples;
    for (uint64_t us = 100; us >= 1; --us) samples.push_back(us * 1000);
    const LatencySummary l = SummariseLatency(samples);
    EXPECT_EQ(l.minUs, 1.0);
    EXPECT_EQ(l.p50Us, 50.0);
    EXPECT_EQ(l.p99Us, 99.0);
    EXPECT_EQ(l.maxUs, 100.0);
    EXPECT_FALSE(SummariseLatency({}).valid);
}

TEST(UdpPeerLoopback, SendToRecv)
{
    constexpr uint64_t COUNT = 200;
    UdpPeerOptions r;
    r.mode = UdpPeerMode::Recv;
    r.bindAddr = htonl(INADDR_LOOPBACK);
    r.count = COUNT;
    r.timeoutS = 10;  // generous: only ends the run if datagrams go missing
    UdpPeer receiver;
    std::string err;
    ASSERT_TRUE(receiver.Open(r, err)) << err;
    UdpPeerReport got;
    std::thread t([&] { std::string e; EXPECT_TRUE(receiver.Run(got, e)) << e; });

    UdpPeerOptions s;
    s.mode = UdpPeerMode::Send;
    s.toAddr = htonl(INADDR_LOOPBACK);
    s.toPort = receiver.LocalPort();
    s.count = COUNT;
    s.rate = 2000;  // well below what a loaded loopback takes, so none is dropped
    s.size = 100;
    UdpPeer sender;
    ASSERT_TRUE(sender.Open(s, err)) << err;
    UdpPeerReport sent;
    ASSERT_TRUE(sender.Run(sent, err)) << err;
    t.join();

    EXPECT_EQ(sent.sent, COUNT);
    EXPECT_EQ(got.seq.received(), COUNT);
    EXPECT_EQ(got.seq.Lost(COUNT), 0u);
    EXPECT_EQ(got.seq.duplicates(), 0u);
    EXPECT_EQ(got.bytesReceived, COUNT * s.size);
    EXPECT_EQ(FormatUdpSummary(UdpPeerMode::Recv, got).rfind("received 200 (20000 bytes)", 0), 0u);
}

}  // namespace
