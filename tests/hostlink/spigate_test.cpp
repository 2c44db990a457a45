// The two host-link gates as Config::Init builds them, clocked through the
// McSPI models from the test: what reaches the router mailbox, that a full
// mailbox loses no BD, and messages both ways against the independent
// host-side link engine of tools/, which clocks the link every worker period
// as a polling host would.
#include <gtest/gtest.h>

#include <tuple>

#include "bpposapl.h"
#include "configapl.h"
#include "hostlink_codec.h"
#include "hostlink_engine.h"
#include "hostmcspi.h"
#include "prototest.h"
#include "spigateapl.h"

namespace {

class SpiGateTest : public ProtocolTest {
protected:
    void SetUp() override
    {
        ProtocolTest::SetUp();
        hostMcspiReset(false);
        hostHeapRouteNew(true);
        Config::Init();
        hostHeapRouteNew(false);
    }

    static BPPoS& protocolOf(uint16_t gate)
    {
        return *static_cast<BPPoS*>(hSpiGate[gate]->protHandle);
    }

    // Clocks the bytes in as the host would; returns what came back.
    static Bytes clock(uint16_t gate, const Bytes& in)
    {
        Bytes out(in.size());
        EXPECT_TRUE(
            hostMcspiClockSync(gate, in.data(), out.data(), static_cast<uint32_t>(in.size())));
        return out;
    }

    // Host polls and board worker passes for `ticks` of simulated time.
    void run(hostlink::LinkEngine& host, uint32_t ticks)
    {
        constexpr uint32_t kPeriod = 10;  // the board's worker period; the host polls as often
        for (uint32_t t = 0; t < ticks; t += kPeriod) {
            const uint64_t now = ti_sysbios_knl_Clock_getTicks();
            host.tick(now);
            const Bytes back = clock(0, host.nextChunk(now, 64, 4096));
            host.received(back.data(), back.size(), now);
            protocolOf(0).WorkerCycle();
            hostClockAdvance(kPeriod);
        }
    }
};

TEST_F(SpiGateTest, InitBuildsBothLinksWithTheirValues)
{
    for (uint16_t i = 0; i < NUM_OF_SPIGATES; ++i) {
        SCOPED_TRACE(i);
        const SpiGate& g = *hSpiGate[i];
        EXPECT_EQ(
            std::make_tuple(i == 0 ? SOURCE_SPI1 : SOURCE_SPI2, i, 2000u, 1000u),
            std::tie(g.source, g.spiIndex, g.bpposTicksRecvTimeout, g.bpposTicksConnectionWindow));
        const HostMcspiState s = hostMcspiState(i);
        EXPECT_EQ(std::make_tuple(9216000u, 1u, 0x40u, true, true),
                  std::tie(s.outClockHz, s.clockMode, s.csPolarity, s.slave, s.channelEnabled));
    }
}

TEST_F(SpiGateTest, FullMailboxLosesNoBd)
{
    fillMailbox();
    const uint32_t before = freeBds();
    for (int i = 0; i < 20; ++i) {
        clock(0, hostlink::encodeFrame({2000, 0x0A500001, 2000, 0x0A500010, {uint8_t(i)}}));
    }
    protocolOf(0).WorkerCycle();
    EXPECT_EQ(20u, statsOf<BPPOS_STATS_T>(protocolOf(0)).numOfRecvdMessages);
    EXPECT_EQ(before, freeBds());
    EXPECT_EQ(BdMail::NUM_MAILBOX_ITENS, BdMail::NumPending());
}

TEST_F(SpiGateTest, MessagesCrossBothWaysWithTheHostEngineOnceTheLinkIsUp)
{
    BD* bd = makeBd(netPort(2010), netAddr(10, 80, 0, 1), netPort(2010), netAddr(10, 80, 0, 16),
                    {0x61, 0x62, 0x63});
    hSpiGate[0]->Send(bd);  // link down: refused, the caller keeps the BD
    BdPool::Put(bd);
    EXPECT_EQ(0u, statsOf<BPPOS_STATS_T>(protocolOf(0)).numOfSentMessages);

    hostlink::LinkConfig cfg;
    cfg.maxTxBytesPerSec = 0;
    hostlink::LinkEngine host(cfg, ti_sysbios_knl_Clock_getTicks());
    std::vector<hostlink::Message> got;
    host.onMessage([&](const hostlink::Message& m) { got.push_back(m); });
    run(host, 1100);  // the connection packets bring the link up
    const hostlink::Message toBoard{
        2010, 0x0A500001, 2010, 0x0A500010, {0x10, 0x02, 0x10, 0x03, 0x16, 0x10, 0x06}};
    host.queueMessage(toBoard, ti_sysbios_knl_Clock_getTicks());
    run(host, 20);
    dropStatusMessages();
    ASSERT_EQ(1u, BdMail::NumPending());
    BdMail::Pend(&bd);
    EXPECT_EQ(SOURCE_SPI1, bd->Source());
    EXPECT_EQ(netPort(2010), bd->DestPort());
    EXPECT_EQ(netAddr(10, 80, 0, 1), bd->DestIpAddr());
    EXPECT_EQ(netAddr(10, 80, 0, 16), bd->SourceIpAddr());
    EXPECT_EQ(toBoard.payload, Bytes(bd->BufferPtr(), bd->BufferPtr() + bd->Load()));

    // The board answers with the same BD, addressed back.
    bd->DestIpAddr(netAddr(10, 80, 0, 16));
    bd->SourceIpAddr(netAddr(10, 80, 0, 1));
    hSpiGate[0]->Send(bd);
    BdPool::Put(bd);
    run(host, 20);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ((hostlink::Message{2010, 0x0A500010, 2010, 0x0A500001, toBoard.payload}), got[0]);

    EXPECT_EQ(1u, readStats<BPPOS_STATS_T>([](uint8_t* raw) {
                      hSpiGate[0]->GetProtStats(raw);
                  }).numOfSentMessages);
    hSpiGate[0]->ResetStats();
    EXPECT_EQ(0u, statsOf<BPPOS_STATS_T>(protocolOf(0)).numOfSentMessages);
}

using SpiGateDeathTest = SpiGateTest;

TEST_F(SpiGateDeathTest, AThirdGateOnAControllerInUseIsFatal)
{
    SPIGATE_CONFIG_T cfg{SOURCE_SPI2, 1, 9216000, 1, 0x40, 2000, 1000, nullptr};
    EXPECT_FATAL(new SpiGate(cfg), EC_ERROR_SPI_OPEN, "code= -50 module= spidrvapl.cpp");
}

}  // namespace
