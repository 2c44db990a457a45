// The board's host link against the independent host-side link engine of
// tools/, on a manual clock: the engine clocks the McSPI model every worker
// period as a polling host would, both ends keep the link alive and
// supervise it, and messages cross in both directions with their addressing.
#include <gtest/gtest.h>

#include "bpposapl.h"
#include "configapl.h"
#include "hostlink_engine.h"
#include "hostmcspi.h"
#include "prototest.h"

namespace {

constexpr uint32_t kPeriod = 10;  // worker period in ticks; the host polls as often

class HostLinkInteropTest : public ProtocolTest {
protected:
    void SetUp() override
    {
        ProtocolTest::SetUp();
        hostMcspiReset(false);
        hostHeapRouteNew(true);
        Config::Init();
        hostHeapRouteNew(false);
        hostlink::LinkConfig cfg;
        cfg.maxTxBytesPerSec = 0;
        engine = std::make_unique<hostlink::LinkEngine>(cfg, now());
        engine->onMessage([this](const hostlink::Message& m) { got.push_back(m); });
    }
    void TearDown() override
    {
        // Whatever the board delivered went to the mailbox: hand it back.
        while (BdMail::NumPending() > 0) {
            BD* bd = nullptr;
            BdMail::Pend(&bd);
            BdPool::Put(bd);
        }
        ProtocolTest::TearDown();
    }

    static uint64_t now() { return ti_sysbios_knl_Clock_getTicks(); }
    BPPoS& board() { return *static_cast<BPPoS*>(hSpiGate[0]->protHandle); }

    // Runs host polls and board worker passes for `ticks` of simulated time.
    void run(uint32_t ticks)
    {
        for (uint32_t t = 0; t < ticks; t += kPeriod) {
            engine->tick(now());
            Bytes chunk = engine->nextChunk(now(), 64, 4096);
            Bytes back(chunk.size());
            ASSERT_TRUE(hostMcspiClockSync(0, chunk.data(), back.data(),
                                           static_cast<uint32_t>(chunk.size())));
            engine->received(back.data(), back.size(), now());
            board().WorkerCycle();
            hostClockAdvance(kPeriod);
        }
    }

    LINK_ACTIVITY_E boardLink()
    {
        return static_cast<LINK_ACTIVITY_E>(statsOf<BPPOS_STATS_T>(board()).linkActivity);
    }

    std::unique_ptr<hostlink::LinkEngine> engine;
    std::vector<hostlink::Message> got;
};

TEST_F(HostLinkInteropTest, BothEndsComeUpWithinASecondAndStayUp)
{
    run(1100);
    EXPECT_EQ(LINK_UP, boardLink());
    EXPECT_TRUE(engine->linkUp());
    run(60000);  // a minute of keep-alives only
    EXPECT_EQ(LINK_UP, boardLink());
    EXPECT_TRUE(engine->linkUp());
    EXPECT_EQ(1u, engine->stats().linkUps);
    EXPECT_EQ(0u, engine->stats().linkDowns);
    const BPPOS_STATS_T s = statsOf<BPPOS_STATS_T>(board());
    EXPECT_EQ(0u, s.numOfCrcErrors + s.numOfPacketFormatErrors + s.numOfRecvDataQueueFullErrors);
}

TEST_F(HostLinkInteropTest, MessagesCrossBothWaysWithTheirAddressing)
{
    run(1100);
    hostlink::Message toBoard;
    toBoard.destPort = 2010;
    toBoard.destAddr = 0x0A500001;
    toBoard.sourcePort = 2010;
    toBoard.sourceAddr = 0x0A500010;
    toBoard.payload = {0x10, 0x02, 0x10, 0x03, 0x16, 0x10, 0x06};  // every control byte
    engine->queueMessage(toBoard, now());
    run(20);
    ASSERT_EQ(1u, BdMail::NumPending());
    BD* bd = nullptr;
    BdMail::Pend(&bd);
    EXPECT_EQ(SOURCE_SPI1, bd->Source());
    EXPECT_EQ(netPort(2010), bd->DestPort());
    EXPECT_EQ(netAddr(10, 80, 0, 1), bd->DestIpAddr());
    EXPECT_EQ(netAddr(10, 80, 0, 16), bd->SourceIpAddr());
    EXPECT_EQ(toBoard.payload, Bytes(bd->BufferPtr(), bd->BufferPtr() + bd->Load()));

    // The board answers with the same BD, addressed back.
    bd->DestPort(netPort(2010));
    bd->DestIpAddr(netAddr(10, 80, 0, 16));
    bd->SourceIpAddr(netAddr(10, 80, 0, 1));
    hSpiGate[0]->Send(bd);
    BdPool::Put(bd);
    run(20);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(2010, got[0].destPort);
    EXPECT_EQ(0x0A500010u, got[0].destAddr);
    EXPECT_EQ(0x0A500001u, got[0].sourceAddr);
    EXPECT_EQ(toBoard.payload, got[0].payload);
}

TEST_F(HostLinkInteropTest, SilentHostTakesTheBoardsLinkDownAndBackUp)
{
    run(1100);
    ASSERT_EQ(LINK_UP, boardLink());
    engine->setKeepAlive(false);
    // The last connection packet left within the second before: the board
    // gives up after more than 2 s of silence, at a worker pass.
    const uint64_t t0 = now();
    while (boardLink() == LINK_UP && now() - t0 < 5000) {
        run(kPeriod);
    }
    EXPECT_EQ(LINK_DOWN, boardLink());
    EXPECT_GT(now() - t0, 2000u - 1000u - kPeriod);
    EXPECT_LE(now() - t0, 2000u + 2 * kPeriod);
    // Meanwhile the host still hears the board's keep-alives.
    EXPECT_TRUE(engine->linkUp());
    // The board refuses to send on a link that is down.
    BD* bd = makeBd(netPort(2010), 0, netPort(2010), 0, {0x01});
    hSpiGate[0]->Send(bd);
    BdPool::Put(bd);
    run(20);
    EXPECT_TRUE(got.empty());

    engine->setKeepAlive(true);
    run(1100);
    EXPECT_EQ(LINK_UP, boardLink());
}

TEST_F(HostLinkInteropTest, HostSeesTheBoardGoSilentOnlyAfterItsTimeout)
{
    run(1100);
    ASSERT_TRUE(engine->linkUp());
    // Stop clocking: the host hears nothing more from the board.
    const uint64_t t0 = now();
    while (engine->linkUp()) {
        hostClockAdvance(kPeriod);
        engine->tick(now());
    }
    EXPECT_GT(now() - t0, 1000u);   // the last keep-alive came within the window
    EXPECT_LE(now() - t0, 2010u);
}

}  // namespace
