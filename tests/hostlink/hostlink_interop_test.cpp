// The board's host link against the independent host-side link engine of
// tools/, on a manual clock: the engine clocks the McSPI model every worker
// period as a polling host would, and messages cross in both directions with
// their addressing. Link supervision is covered by each end's own tests and,
// in real time, by the socket and end-to-end tests.
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

    std::unique_ptr<hostlink::LinkEngine> engine;
    std::vector<hostlink::Message> got;
};

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
    dropStatusMessages();
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

}  // namespace
