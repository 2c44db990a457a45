// RAWoS on its own under the manual clock: messages cut by silence and by
// length, the silence measured from the last byte taken, link supervision,
// Send's limits and room, the byte FIFOs and the fatal paths.
#include "rawosapl.h"

#include <memory>

#include "prototest.h"

namespace {

constexpr uint32_t RECV_TIMEOUT = 200;
constexpr uint32_t INTER_CHAR = 25;
constexpr uint32_t PERIOD = 10;

class RawosTest : public ProtocolTest {
protected:
    std::unique_ptr<RAWoS> make()
    {
        RAWOS_CONFIG_T cfg{SOURCE_SCI3, recordDelivery, RECV_TIMEOUT, INTER_CHAR};
        return std::make_unique<RAWoS>(cfg);
    }
    static void cycle(RAWoS& p)
    {
        advance(PERIOD);
        p.WorkerCycle();
    }
    static RAWOS_STATS_T stats(RAWoS& p) { return statsOf<RAWOS_STATS_T>(p); }
    static ERROR_CODES_E send(RAWoS& p, const Bytes& data)
    {
        SendBuffer b(data);
        return p.Send(b.get());
    }
    static Bytes pattern(size_t n)
    {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
        return b;
    }
};

TEST_F(RawosTest, SilenceIsMeasuredFromTheLastByteTaken)
{
    auto r = make();
    // Bytes arrive every cycle for a long while: still one message.
    Bytes sent;
    for (int i = 0; i < 50; ++i) {
        feed(*r, {static_cast<uint8_t>(i)});
        sent.push_back(static_cast<uint8_t>(i));
        cycle(*r);
    }
    EXPECT_TRUE(deliveries().empty());
    // The last byte was taken in the last cycle; the message ends in the
    // first pass strictly more than INTER_CHAR ticks after that.
    cycle(*r);
    cycle(*r);
    EXPECT_TRUE(deliveries().empty());  // +20
    advance(INTER_CHAR - 2 * PERIOD);
    r->WorkerCycle();  // exactly +25: not yet
    EXPECT_TRUE(deliveries().empty());
    advance(1);
    r->WorkerCycle();  // +26
    EXPECT_EQ(takeDelivered(), std::vector<Bytes>{sent});
}

TEST_F(RawosTest, BytesWaitingInTheFifoDoNotAgeTheMessage)
{
    auto r = make();
    feed(*r, {1, 2});
    cycle(*r);
    // A byte that entered the FIFO long ago is taken now: its silence starts now.
    feed(*r, {3});
    advance(INTER_CHAR * 4);
    r->WorkerCycle();
    EXPECT_TRUE(deliveries().empty());
    cycle(*r);
    cycle(*r);
    EXPECT_TRUE(deliveries().empty());
    cycle(*r);
    EXPECT_EQ(takeDelivered(), (std::vector<Bytes>{Bytes{1, 2, 3}}));
}

TEST_F(RawosTest, LinkGoesDownAfterTheReceiveTimeOutAndComesBack)
{
    auto r = make();
    EXPECT_EQ(stats(*r).linkActivity, 0u);
    feed(*r, {0x42});
    for (int i = 0; i < 4; ++i) cycle(*r);  // ended by the silence at the fourth cycle
    ASSERT_EQ(takeDelivered().size(), 1u);
    const uint32_t endedAt = ti_sysbios_knl_Clock_getTicks();
    uint32_t downAfter = 0;
    while (stats(*r).linkActivity == 1u && downAfter < 3 * RECV_TIMEOUT) {
        cycle(*r);
        downAfter = ti_sysbios_knl_Clock_getTicks() - endedAt;
    }
    EXPECT_GT(downAfter, RECV_TIMEOUT);
    EXPECT_LE(downAfter, RECV_TIMEOUT + PERIOD);
    feed(*r, {0x43});
    for (int i = 0; i < 4; ++i) cycle(*r);
    EXPECT_EQ(stats(*r).linkActivity, 1u);
    takeDelivered();
}

TEST_F(RawosTest, SendNeedsRoomForTheWholeMessageAndAGoodLength)
{
    auto r = make();
    // Leave exactly 8191 bytes of room, then 1467.
    ASSERT_EQ(send(*r, Bytes(1, 0xA0)), EC_SUCCESS);
    EXPECT_EQ(send(*r, pattern(1468)), EC_SUCCESS);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(send(*r, Bytes(1468, 0xB0)), EC_SUCCESS);
    ASSERT_EQ(send(*r, Bytes(8192 - 1 - 4 * 1468 - 1467, 0xC0)), EC_SUCCESS);
    EXPECT_EQ(send(*r, Bytes(1468, 0xD0)), EC_FAIL);
    EXPECT_EQ(stats(*r).numOfSentMessages, 6u);
    EXPECT_EQ(stats(*r).numOfSendMsgLengthErrors, 0u);
    // A message that fills the FIFO exactly still fits.
    EXPECT_EQ(send(*r, Bytes(1467, 0xE0)), EC_SUCCESS);
    // Nothing of the refused message reached the FIFO; the rest is intact.
    const Bytes out = drain(*r);
    ASSERT_EQ(out.size(), 8192u);
    EXPECT_EQ(out[0], 0xA0);
    EXPECT_EQ(Bytes(out.begin() + 1, out.begin() + 1469), pattern(1468));
    EXPECT_EQ(out[8192 - 1467 - 1], 0xC0);
    EXPECT_EQ(Bytes(out.end() - 1467, out.end()), Bytes(1467, 0xE0));
    // Send does not care about the link, and wrapped indices still work.
    EXPECT_EQ(stats(*r).linkActivity, 0u);
    EXPECT_EQ(send(*r, pattern(1468)), EC_SUCCESS);
    EXPECT_EQ(drain(*r), pattern(1468));
    EXPECT_EQ(send(*r, {}), EC_FAIL);
    EXPECT_EQ(send(*r, Bytes(1469, 1)), EC_FAIL);
    EXPECT_EQ(stats(*r).numOfSendMsgLengthErrors, 2u);
    EXPECT_EQ(stats(*r).numOfSentMessages, 8u);
    uint8_t b = 0x99;
    EXPECT_EQ(r->TxDataHandler(b), EC_FAIL);
    EXPECT_EQ(b, 0x99);
}

TEST_F(RawosTest, ReceiveFifoHoldsItsLengthAndDropsTheRest)
{
    auto r = make();
    feed(*r, Bytes(RAWoS::LEN_FIFO_RX_DATA, 0x11));
    feed(*r, {0x22, 0x33});
    EXPECT_EQ(stats(*r).numOfRecvDataQueueFullErrors, 2u);
    cycle(*r);
    // 8192 bytes: five full messages at once, 852 bytes waiting for the silence.
    EXPECT_EQ(takeDelivered(), std::vector<Bytes>(5, Bytes(1468, 0x11)));
    for (int i = 0; i < 3; ++i) cycle(*r);
    EXPECT_EQ(takeDelivered(), std::vector<Bytes>{Bytes(8192 - 5 * 1468, 0x11)});
    RAWOS_STATS_T st = stats(*r);
    EXPECT_EQ(st.numOfRecvdMessages, 6u);
    EXPECT_EQ(st.numOfMaxFrameLength, 5u);
    EXPECT_EQ(st.numOfInterCharTimeout, 1u);
    r->ResetStats();
    st = stats(*r);
    EXPECT_EQ(st.numOfRecvdMessages + st.numOfRecvDataQueueFullErrors + st.numOfMaxFrameLength, 0u);
    EXPECT_EQ(st.linkActivity, 1u);
}

TEST_F(RawosTest, TraceMarksOnlyAfterEnableLog)
{
    EXPECT_CONSOLE_MARKS(
        {
            auto r = make();
            send(*r, {1});
            r->EnableLog();
            send(*r, {2});  // I: message accepted
            send(*r, {});   // refused: no mark
            feed(*r, {3});
            for (int i = 0; i < 4; ++i) cycle(*r);  // i: message received
        },
        "Ii");
}

using RawosDeathTest = RawosTest;

TEST_F(RawosDeathTest, FatalMisuse)
{
    RAWOS_CONFIG_T noCallback{SOURCE_SCI1, nullptr, RECV_TIMEOUT, INTER_CHAR};
    EXPECT_FATAL(RAWoS{noCallback}, EC_ERROR_INVALID_ARGUMENT, "rawosapl");
    auto r = make();
    EXPECT_FATAL(r->Send(nullptr), EC_ERROR_INVALID_ARGUMENT, "rawosapl");
    RAWOS_CONFIG_T cfg{SOURCE_SCI1, recordDelivery, RECV_TIMEOUT, INTER_CHAR};
    EXPECT_FATAL(
        {
            hostTaskCreateFailNext(1);
            RAWoS x(cfg);
        },
        EC_ERROR_TASK_CREATION, "rawosapl");
}

}  // namespace
