// The firmware's RAWoS against the tools' independent RAWoS line end over a
// simulated 115200 bit/s line under one controllable clock: random messages
// of 1 to 1468 bytes each way, separated by silence, on a clean line and
// with bytes flipped and dropped (only the messages hit may differ).
#include "rawosapl.h"

#include <memory>
#include <random>

#include "linepipe.h"
#include "rawospeer.h"
#include "prototest.h"

using namespace zok2tools;

namespace {

constexpr uint32_t RECV_TIMEOUT = 1000;
constexpr uint32_t INTER_CHAR = 5;  // ticks: dozens of byte times at this rate
constexpr uint32_t WORKER_PERIOD = 10;
constexpr uint32_t BIT_RATE = 115200;
constexpr uint32_t PAUSE = 40;  // ticks of silence between messages
constexpr size_t COUNT = 200;

class RawosInteropTest : public ProtocolTest {
protected:
    void SetUp() override
    {
        ProtocolTest::SetUp();
        hostClockSet(0xFFFF8000u);  // the run crosses the wrap of the tick counter
        RAWOS_CONFIG_T cfg{SOURCE_SCI2, recordDelivery, RECV_TIMEOUT, INTER_CHAR};
        fw = std::make_unique<RAWoS>(cfg);
        RawosPeerConfig pc;
        pc.interCharGapMs = INTER_CHAR;
        pc.maxMessage = LEN_MSG_RAWOS;
        pc.recvTimeoutMs = RECV_TIMEOUT;
        peer = std::make_unique<RawosPeer>(pc);
    }

    void Tick()
    {
        advance(1);
        ++now;
        feed(*fw, pipe.bToA.Read(now));
        if (now % WORKER_PERIOD == 0) fw->WorkerCycle();
        pipe.aToB.Write(drain(*fw), now);
        const Bytes in = pipe.aToB.Read(now);
        peer->Receive(in.data(), in.size(), now);
        peer->Poll(now);
        for (Bytes& m : peer->TakeReceived()) toPeer.push_back(std::move(m));
        for (Delivered& d : deliveries()) toFw.push_back(std::move(d.data));
        deliveries().clear();
    }

    // Waits until both directions of the line are idle, then the pause.
    void Settle()
    {
        while (pipe.aToB.InFlight() != 0 || pipe.bToA.InFlight() != 0) Tick();
        for (uint32_t i = 0; i < PAUSE; ++i) Tick();
    }

    Bytes RandomMessage()
    {
        std::uniform_int_distribution<size_t> len(1, LEN_MSG_RAWOS);
        std::uniform_int_distribution<int> byte(0, 255);
        Bytes m(len(rng));
        for (uint8_t& b : m) b = static_cast<uint8_t>(byte(rng));
        return m;
    }

    static uint64_t Hits(const LineChannel& ch)
    {
        return ch.Counters().flipped + ch.Counters().dropped;
    }

    // Sends `COUNT` messages each way, one pair at a time; records which
    // messages the line damaged.
    void Exchange(std::vector<Bytes>& sentByFw, std::vector<Bytes>& sentByPeer,
                  std::vector<bool>& fwHit, std::vector<bool>& peerHit)
    {
        for (size_t i = 0; i < COUNT; ++i) {
            const Bytes a = RandomMessage();
            const Bytes b = RandomMessage();
            SendBuffer buf(a);
            ASSERT_EQ(fw->Send(buf.get()), EC_SUCCESS);
            ASSERT_TRUE(peer->Send(b));
            const uint64_t hitsA = Hits(pipe.aToB);
            const uint64_t hitsB = Hits(pipe.bToA);
            // The peer's bytes enter the line in one go, the firmware's as
            // its UART takes them in the next tick.
            pipe.bToA.Write(peer->TakeOutput(), now);
            Tick();
            fwHit.push_back(Hits(pipe.aToB) != hitsA);
            peerHit.push_back(Hits(pipe.bToA) != hitsB);
            sentByFw.push_back(a);
            sentByPeer.push_back(b);
            Settle();
        }
    }

    uint64_t now = 0;
    std::mt19937 rng{99};
    LinePipe pipe{BIT_RATE, 5};  // aToB: firmware to peer
    std::unique_ptr<RAWoS> fw;
    std::unique_ptr<RawosPeer> peer;
    std::vector<Bytes> toPeer;
    std::vector<Bytes> toFw;
};

TEST_F(RawosInteropTest, CleanLineCarriesEveryMessageExactly)
{
    std::vector<Bytes> sentByFw, sentByPeer;
    std::vector<bool> fwHit, peerHit;
    Exchange(sentByFw, sentByPeer, fwHit, peerHit);
    EXPECT_EQ(toPeer, sentByFw);
    EXPECT_EQ(toFw, sentByPeer);
    const RAWOS_STATS_T st = statsOf<RAWOS_STATS_T>(*fw);
    EXPECT_EQ(st.numOfSentMessages, COUNT);
    EXPECT_EQ(st.linkActivity, 1u);
    // Each message ended by silence, except those of exactly 1468 bytes.
    EXPECT_EQ(st.numOfRecvdMessages, COUNT);
    EXPECT_EQ(st.numOfInterCharTimeout + st.numOfMaxFrameLength, COUNT);
}

TEST_F(RawosInteropTest, FaultyLineDamagesOnlyTheMessagesHit)
{
    pipe.aToB.SetFaults(0.0002, 0.0002);
    pipe.bToA.SetFaults(0.0002, 0.0002);
    std::vector<Bytes> sentByFw, sentByPeer;
    std::vector<bool> fwHit, peerHit;
    Exchange(sentByFw, sentByPeer, fwHit, peerHit);
    // No message vanished whole, so the counts match and the pairs line up.
    ASSERT_EQ(toPeer.size(), COUNT);
    ASSERT_EQ(toFw.size(), COUNT);
    size_t damaged = 0;
    for (size_t i = 0; i < COUNT; ++i) {
        EXPECT_EQ(toPeer[i] == sentByFw[i], !fwHit[i]) << i;
        EXPECT_EQ(toFw[i] == sentByPeer[i], !peerHit[i]) << i;
        damaged += fwHit[i] + peerHit[i];
    }
    EXPECT_GT(damaged, 20u);
    EXPECT_LT(damaged, COUNT);
    RecordProperty("damaged", static_cast<int>(damaged));
}

TEST_F(RawosInteropTest, LinkStateFollowsTheTrafficOnBothEnds)
{
    EXPECT_EQ(statsOf<RAWOS_STATS_T>(*fw).linkActivity, 0u);
    ASSERT_TRUE(peer->Send(Bytes(300, 0x7E)));
    pipe.bToA.Write(peer->TakeOutput(), now);
    Settle();
    EXPECT_EQ(statsOf<RAWOS_STATS_T>(*fw).linkActivity, 1u);
    EXPECT_FALSE(peer->LinkUp(now));
    for (uint32_t i = 0; i < RECV_TIMEOUT + 2 * WORKER_PERIOD; ++i) Tick();
    EXPECT_EQ(statsOf<RAWOS_STATS_T>(*fw).linkActivity, 0u);
    EXPECT_EQ(toFw.size(), 1u);
}

}  // namespace
