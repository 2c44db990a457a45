// The serial-line protocols on their own, driven byte by byte through their
// handlers and cycle by cycle under the manual clock. BAC-M: frames on the
// wire, the receive state machine, turn-taking, repeats, link supervision.
// RAWoS: messages cut by silence and by length, the silence measured from
// the last byte taken, link supervision, the FIFOs. Both: Send's limits and
// the fatal paths.
#include <memory>

#include "bacmapl.h"
#include "bacmpeer.h"
#include "prototest.h"
#include "rawosapl.h"

namespace {

constexpr uint32_t PERIOD = 10;

// One worker period later.
template <class PROTOCOL>
void cycle(PROTOCOL& p)
{
    hostClockAdvance(PERIOD);
    p.WorkerCycle();
}

ERROR_CODES_E send(IProtocol& p, const Bytes& data)
{
    SendBuffer b(data);
    return p.Send(b.get());
}

constexpr uint32_t BACM_RECV_TIMEOUT = 100;
constexpr uint32_t ACK_WINDOW = 30;

// Reference frames from the tools' own encoder, whose bytes its test checks
// against fixed ones; it shares no code with the firmware's.
Bytes info(uint8_t addr, const Bytes& text) { return zok2tools::bacmwire::EncodeInfo(addr, text); }
Bytes ack(uint8_t addr) { return zok2tools::bacmwire::EncodeAck(addr); }
Bytes nak(uint8_t addr) { return zok2tools::bacmwire::EncodeNak(addr); }

class BacmTest : public ProtocolTest {
protected:
    std::unique_ptr<BACM> make(bool isMaster, uint8_t addr)
    {
        BACM_CONFIG_T cfg{SOURCE_SCI2, recordDelivery,    static_cast<uint16_t>(isMaster ? 1 : 0),
                          addr,        BACM_RECV_TIMEOUT, ACK_WINDOW};
        return std::make_unique<BACM>(cfg);
    }

    // Feeds `in`, runs `cycles` worker periods and returns what went on the line.
    static Bytes turn(BACM& p, const Bytes& in, int cycles = 1)
    {
        feed(p, in);
        for (int i = 0; i < cycles; ++i) cycle(p);
        return drain(p);
    }

    // Cycles until `p` puts something on the line, for at most five receive
    // time-outs; the ticks that took go to `waited`.
    static Bytes nextOutput(BACM& p, uint32_t* waited = nullptr)
    {
        Bytes out;
        uint32_t t = 0;
        while (out.empty() && t < 5 * BACM_RECV_TIMEOUT) {
            cycle(p);
            t += PERIOD;
            out = drain(p);
        }
        if (waited != nullptr) *waited = t;
        return out;
    }

    static BACM_STATS_T stats(BACM& p) { return statsOf<BACM_STATS_T>(p); }

    // A slave at 0x01 whose link is up and whose first ACK is out: it answers
    // the next turn with a queued message, or with an ACK after the window.
    std::unique_ptr<BACM> upSlave()
    {
        auto s = make(false, 0x01);
        EXPECT_EQ(turn(*s, ack(0x01)), ack(0x81));
        EXPECT_EQ(stats(*s).linkActivity, 1u);
        return s;
    }

    // A master at `addr` whose link is up, holding the turn with nothing sent.
    std::unique_ptr<BACM> upMaster(uint8_t addr)
    {
        auto m = make(true, addr);
        EXPECT_EQ(turn(*m, {}), ack(addr));
        EXPECT_TRUE(turn(*m, ack(static_cast<uint8_t>(addr | 0x80))).empty());
        EXPECT_EQ(stats(*m).linkActivity, 1u);
        return m;
    }
};

// Master and slave firmware objects back to back, following the example
// exchange turn by turn, then the lost ACK that makes the slave repeat.
TEST_F(BacmTest, ExampleExchangeWithLostAck)
{
    auto m = make(true, 0x01);
    auto s = make(false, 0x01);

    // 1. The master opens with an ACK.
    const Bytes mAck = turn(*m, {});
    EXPECT_EQ(mAck, ack(0x01));
    // 2. The slave's link comes up; its first turn is an ACK.
    const Bytes sAck = turn(*s, mAck);
    EXPECT_EQ(stats(*s).linkActivity, 1u);
    EXPECT_EQ(sAck, ack(0x81));
    // 3. The master's link comes up; nothing queued, it keeps the turn for
    // the window (counted from the cycle that decoded the ACK) and then passes it.
    feed(*m, sAck);
    uint32_t waited = 0;
    const Bytes mOut = nextOutput(*m, &waited);
    EXPECT_EQ(stats(*m).linkActivity, 1u);
    EXPECT_EQ(mOut, ack(0x01));
    EXPECT_GT(waited, ACK_WINDOW + PERIOD);
    EXPECT_LE(waited, ACK_WINDOW + 2 * PERIOD);
    // 4. Meanwhile x was queued with the slave: it goes out on this turn.
    ASSERT_EQ(send(*s, textOf("x")), EC_SUCCESS);
    const Bytes infoX = turn(*s, mOut);
    EXPECT_EQ(infoX, info(0x81, textOf("x")));
    // 5. The master delivers x and, with nothing queued, acknowledges it
    // with an ACK after the window.
    EXPECT_TRUE(turn(*m, infoX).empty());
    EXPECT_EQ(takeDelivered(), std::vector<Bytes>{textOf("x")});
    EXPECT_EQ(turn(*m, {}, 4), ack(0x01));  // 6. ... and that ACK is lost.
    // The slave's time-out runs out and it repeats INFO(x).
    EXPECT_EQ(nextOutput(*s), infoX);
    EXPECT_EQ(stats(*s).numTotalReTxMsg, 1u);
    EXPECT_EQ(stats(*s).numOfSentMessages, 2u);
    feed(*m, infoX);
    cycle(*m);
    EXPECT_EQ(takeDelivered(), std::vector<Bytes>{textOf("x")});
    EXPECT_EQ(stats(*m).numOfRecvdMessages, 2u);
}

// Receive state machine: one frame (or byte sequence) into an up slave at
// 0x01, then what was delivered (from the line, without addressing), counted
// and answered in the next cycle.
struct RxCase {
    const char* name;
    Bytes input;
    std::vector<Bytes> delivered;
    Bytes answer;  // what the next cycle puts on the line
    uint32_t formatErrors;
    uint32_t crcErrors;
    uint32_t lengthErrors;
};

std::vector<RxCase> rxCases()
{
    const Bytes t248(248, 'a');
    Bytes badCrc = info(0x01, textOf("abc"));
    badCrc.back() ^= 0x01;
    Bytes dleStx{0x01, 0x10, 0x02, 0x41, 0x42, 0x10, 0x02,
                 0x61, 0x62, 0x63, 0x10, 0x03, 0xF6, 0x1C};
    Bytes two = info(0x01, textOf("one"));
    const Bytes second = info(0x01, Bytes{0x10, 0x20});
    two.insert(two.end(), second.begin(), second.end());
    const Bytes nack = nak(0x81);
    const Bytes none;
    Bytes repeated = info(0x01, textOf("abc"));  // 01 01 01 10 10 02 ...
    repeated.insert(repeated.begin() + 1, {0x01, 0x01, 0x10});
    return {
        {"248 bytes", info(0x01, t248), {t248}, none, 0, 0, 0},
        {"249 bytes", info(0x01, Bytes(249, 'a')), {}, nack, 1, 0, 0},
        {"DLE STX inside a text", dleStx, {textOf("abc")}, none, 1, 0, 0},
        {"empty text, good CRC", info(0x01, {}), {}, nack, 0, 0, 1},
        {"CRC error", badCrc, {}, nack, 0, 1, 0},
        {"other address", info(0x02, textOf("abc")), {}, none, 0, 0, 0},
        {"bit 7 not ours", info(0x81, textOf("abc")), {}, none, 0, 0, 0},
        {"repeated address and DLE", repeated, {textOf("abc")}, none, 0, 0, 0},
        {"two INFO frames in one pass", two, {textOf("one"), Bytes{0x10, 0x20}}, none, 0, 0, 0},
    };
}

TEST_F(BacmTest, ReceiveStateMachine)
{
    for (const RxCase& c : rxCases()) {
        SCOPED_TRACE(c.name);
        auto s = upSlave();
        EXPECT_EQ(turn(*s, c.input), c.answer);
        for (const Delivered& d : deliveries()) {
            EXPECT_EQ(d.source, SOURCE_SCI2);
            EXPECT_EQ(d.sourceIpAddr | d.destIpAddr | d.sourcePort | d.destPort, 0u);
        }
        EXPECT_EQ(takeDelivered(), c.delivered);
        const BACM_STATS_T st = stats(*s);
        EXPECT_EQ(st.numOfRecvdMessages, c.delivered.size());
        EXPECT_EQ(st.numOfPacketFormatErrors, c.formatErrors);
        EXPECT_EQ(st.numOfCrcErrors, c.crcErrors);
        EXPECT_EQ(st.numOfRecvdMsgLengthErrors, c.lengthErrors);
        if (!c.delivered.empty()) {
            // One answer for everything decoded in the pass, after the window.
            EXPECT_EQ(turn(*s, {}, 4), ack(0x81));
        }
    }
}

TEST_F(BacmTest, BadEscapeThatIsAnAckOrNackStillCounts)
{
    auto s = upSlave();
    ASSERT_EQ(send(*s, textOf("q")), EC_SUCCESS);
    // A text cut short by an ACK: the turn is taken and the message goes out.
    const Bytes sent = turn(*s, {0x01, 0x10, 0x02, 0x41, 0x10, 0x06});
    EXPECT_EQ(sent, info(0x81, textOf("q")));
    EXPECT_EQ(stats(*s).numOfPacketFormatErrors, 1u);
    // Cut short by a NACK: the INFO is repeated.
    EXPECT_EQ(turn(*s, {0x01, 0x10, 0x02, 0x41, 0x10, 0x15}), sent);
    EXPECT_EQ(stats(*s).numOfPacketFormatErrors, 2u);
    EXPECT_EQ(stats(*s).numTotalReTxMsg, 1u);
}

TEST_F(BacmTest, AddressBit7)
{
    // A slave whose own address has bit 7 set hears it.
    auto s = make(false, 0x81);
    EXPECT_EQ(turn(*s, ack(0x81)), ack(0x81));
    // A master hears its slave, which sets bit 7, and not its own echo.
    auto m = make(true, 0x01);
    EXPECT_EQ(turn(*m, {}), ack(0x01));
    turn(*m, ack(0x01));
    EXPECT_EQ(stats(*m).linkActivity, 0u);
    turn(*m, ack(0x81));
    EXPECT_EQ(stats(*m).linkActivity, 1u);
}

TEST_F(BacmTest, LoneMasterPollsForEverLoneSlaveSendsNothing)
{
    hostClockSet(0xFFFFFFF0u);  // the first time-out runs across the tick wrap
    auto m = make(true, 0x01);
    const uint32_t start = ti_sysbios_knl_Clock_getTicks();
    std::vector<uint32_t> ackTimes;
    for (uint32_t t = 0; t < 500; t += PERIOD) {
        const Bytes out = turn(*m, {});
        if (!out.empty()) {
            EXPECT_EQ(out, ack(0x01));
            ackTimes.push_back(ti_sysbios_knl_Clock_getTicks() - start);
        }
        EXPECT_EQ(stats(*m).linkActivity, 0u);
    }
    // ACK, two repeats strictly after each time-out, then down and a fresh ACK.
    EXPECT_EQ(ackTimes, (std::vector<uint32_t>{10, 120, 230, 350, 460}));
    EXPECT_EQ(stats(*m).numTotalReTxMsg, 0u);

    auto s = make(false, 0x01);
    EXPECT_TRUE(turn(*s, {}, 300).empty());
    EXPECT_EQ(stats(*s).linkActivity, 0u);
}

TEST_F(BacmTest, AfterLinkDownQueuedMessagesWaitForTheFirstAck)
{
    auto s = upSlave();
    // The slave passes the turn and waits; two messages queue up meanwhile.
    EXPECT_EQ(turn(*s, ack(0x01), 5), ack(0x81));  // decode, then the window runs out
    ASSERT_EQ(send(*s, textOf("m1")), EC_SUCCESS);
    ASSERT_EQ(send(*s, textOf("m2")), EC_SUCCESS);
    // The master is gone: two repeats of the ACK, then the link is down.
    EXPECT_EQ(turn(*s, {}, 40), (Bytes{0x81, 0x10, 0x06, 0x81, 0x10, 0x06}));
    BACM_STATS_T st = stats(*s);
    EXPECT_EQ(st.linkActivity, 0u);
    EXPECT_EQ(st.loadSendMsgQueue, 2u);
    // Down: refused, not counted, queue untouched.
    EXPECT_EQ(send(*s, textOf("m3")), EC_FAIL);
    st = stats(*s);
    EXPECT_EQ(st.loadSendMsgQueue, 2u);
    EXPECT_EQ(st.numOfSendMsgQueueFullErrors + st.numOfSendMsgLengthErrors, 0u);
    // The master returns: first an ACK, then one message per turn.
    EXPECT_EQ(turn(*s, ack(0x01)), ack(0x81));
    EXPECT_EQ(turn(*s, ack(0x01)), info(0x81, textOf("m1")));
    EXPECT_EQ(turn(*s, ack(0x01)), info(0x81, textOf("m2")));
    EXPECT_EQ(stats(*s).loadSendMsgQueue, 0u);
}

TEST_F(BacmTest, MessageQueuedWithinTheWindowGoesOutInTheSameTurn)
{
    auto s = upSlave();
    EXPECT_TRUE(turn(*s, ack(0x01)).empty());  // holding the turn
    ASSERT_EQ(send(*s, textOf("late")), EC_SUCCESS);
    EXPECT_EQ(turn(*s, {}), info(0x81, textOf("late")));
    // Queued after the window ran out: the ACK went first, the message waits.
    EXPECT_EQ(turn(*s, ack(0x01), 5), ack(0x81));  // decode, then the window runs out
    ASSERT_EQ(send(*s, textOf("next")), EC_SUCCESS);
    EXPECT_TRUE(turn(*s, {}).empty());
    EXPECT_EQ(turn(*s, ack(0x01)), info(0x81, textOf("next")));
}

// A master's INFO with a DLE in its text (the slave's are checked above),
// repeated for each NACK.
TEST_F(BacmTest, NacksRepeatTheInfoUntilTheLinkGoesDown)
{
    auto m = upMaster(0x05);
    ASSERT_EQ(send(*m, Bytes{0x41, 0x10, 0x42}), EC_SUCCESS);
    const Bytes sent = turn(*m, {});
    EXPECT_EQ(sent, info(0x05, Bytes{0x41, 0x10, 0x42}));
    EXPECT_EQ(stats(*m).numOfSentMessages, 1u);
    for (uint32_t n = 1; n <= 2; ++n) {
        EXPECT_EQ(turn(*m, nak(0x85)), sent);
        EXPECT_EQ(stats(*m).numTotalReTxMsg, n);
    }
    EXPECT_TRUE(turn(*m, nak(0x85)).empty());
    EXPECT_EQ(stats(*m).linkActivity, 0u);
    // Taken down by a NACK, the master first waits out its receive time-out
    // cycle with nothing to repeat, and then starts again with an ACK.
    uint32_t waited = 0;
    EXPECT_EQ(nextOutput(*m, &waited), ack(0x05));
    EXPECT_GT(waited, 3 * BACM_RECV_TIMEOUT);
}

TEST_F(BacmTest, BadFrameStartsAFreshRepeatCount)
{
    auto s = upSlave();
    // One time-out has already used a repeat of the slave's ACK.
    EXPECT_EQ(turn(*s, {}, BACM_RECV_TIMEOUT / PERIOD + 1), ack(0x81));
    Bytes bad = info(0x01, textOf("abc"));
    bad.back() ^= 0x40;
    EXPECT_EQ(turn(*s, bad), nak(0x81));
    // Unanswered, the NACK is repeated twice before the link goes down.
    EXPECT_EQ(turn(*s, {}, 10 * BACM_RECV_TIMEOUT / PERIOD),
              (Bytes{0x81, 0x10, 0x15, 0x81, 0x10, 0x15}));
    EXPECT_EQ(stats(*s).linkActivity, 0u);
    EXPECT_EQ(stats(*s).numOfCrcErrors, 1u);
}

// Marks only after EnableLog: checked once, for the host link.
TEST_F(BacmTest, TraceMarks)
{
    EXPECT_CONSOLE_MARKS(
        {
            auto m = make(true, 0x01);
            m->EnableLog();
            turn(*m, {});         // A: ACK sent
            turn(*m, ack(0x81));  // a: ACK received
            send(*m, textOf("t"));
            turn(*m, {});         // I: INFO sent
            turn(*m, nak(0x81));  // n, R: NACK received, INFO repeated
            Bytes bad = info(0x81, textOf("u"));
            bad.back() ^= 1;
            turn(*m, bad);                      // N: NACK sent
            turn(*m, info(0x81, textOf("v")));  // i: INFO received
        },
        "AaInRNi");
}

TEST_F(BacmTest, SendLimits)
{
    auto s = upSlave();
    EXPECT_EQ(send(*s, {}), EC_FAIL);
    EXPECT_EQ(send(*s, Bytes(249, 1)), EC_FAIL);
    EXPECT_EQ(stats(*s).numOfSendMsgLengthErrors, 2u);
    for (int i = 0; i < 16; ++i) {
        ASSERT_EQ(send(*s, Bytes(248, static_cast<uint8_t>(i))), EC_SUCCESS) << i;
    }
    EXPECT_EQ(send(*s, textOf("x")), EC_FAIL);
    BACM_STATS_T st = stats(*s);
    EXPECT_EQ(st.numOfSendMsgQueueFullErrors, 1u);
    EXPECT_EQ(st.loadSendMsgQueue, 16u);
    // Messages leave in order, one per turn; refilling as they go makes the
    // queue's indices wrap.
    for (int i = 0; i < 32; ++i) {
        const Bytes expected =
            i < 16 ? Bytes(248, static_cast<uint8_t>(i)) : Bytes{static_cast<uint8_t>(i - 16)};
        EXPECT_EQ(turn(*s, ack(0x01)), info(0x81, expected)) << i;
        if (i < 16) {
            ASSERT_EQ(send(*s, Bytes{static_cast<uint8_t>(i)}), EC_SUCCESS) << i;
        }
    }
    EXPECT_EQ(stats(*s).loadSendMsgQueue, 0u);
    EXPECT_EQ(stats(*s).numOfSentMessages, 32u);
}

// A frame that lost bytes to the full FIFO is dropped whole, even where
// the bytes after the gap would make a frame of their own with a good CRC.
TEST_F(BacmTest, FrameThatLostBytesToAFullFifoIsDroppedWhole)
{
    auto m = make(true, 0x01);
    const Bytes frame{0x81, 0x81, 0x81, 0x81, 0x10, 0x02, 0x61, 0x93, 0x08, 0x10, 0x03, 0x74, 0x7F};
    for (int i = 0; i < 162; ++i) feed(*m, frame);
    cycle(*m);
    // 78 whole frames fit; the 79th is cut after its first DLE of DLE ETX.
    EXPECT_EQ(takeDelivered().size(), 78u);
    (void)drain(*m);
    // The cut frame, answered like a bad CRC.
    EXPECT_EQ(turn(*m, {0x02, 0x07, 0x10, 0x03, 0xB6, 0x80}), nak(0x01));
    EXPECT_TRUE(takeDelivered().empty());
    BACM_STATS_T st = stats(*m);
    EXPECT_EQ(st.numOfRecvDataQueueFullErrors, 162u * 13u - BACM::LEN_FIFO_RX_DATA);
    EXPECT_EQ(st.numOfCrcErrors, 0u);
    EXPECT_EQ(st.numOfPacketFormatErrors, 0u);
    // The next frame is taken as usual.
    turn(*m, info(0x81, textOf("ok")));
    EXPECT_EQ(takeDelivered(), std::vector<Bytes>{textOf("ok")});
}

using BacmDeathTest = BacmTest;

TEST_F(BacmDeathTest, FatalMisuse)
{
    BACM_CONFIG_T noCallback{SOURCE_SCI1, nullptr, 1, 0x01, BACM_RECV_TIMEOUT, ACK_WINDOW};
    EXPECT_FATAL(BACM{noCallback}, EC_ERROR_INVALID_ARGUMENT, "bacmapl");
    // In every link state: down, up, up with the message queue full.
    auto down = make(false, 0x01);
    EXPECT_FATAL(down->Send(nullptr), EC_ERROR_INVALID_ARGUMENT, "bacmapl");
    auto s = upSlave();
    EXPECT_FATAL(s->Send(nullptr), EC_ERROR_INVALID_ARGUMENT, "bacmapl");
    for (uint32_t i = 0; i < BACM::LEN_FIFO_TX_MSG; ++i)
        ASSERT_EQ(send(*s, textOf("q")), EC_SUCCESS);
    EXPECT_FATAL(s->Send(nullptr), EC_ERROR_INVALID_ARGUMENT, "bacmapl");
    BACM_CONFIG_T cfg{SOURCE_SCI1, recordDelivery, 1, 0x01, BACM_RECV_TIMEOUT, ACK_WINDOW};
    EXPECT_FATAL(
        {
            hostTaskCreateFailNext(1);
            BACM b(cfg);
        },
        EC_ERROR_TASK_CREATION, "bacmapl");
}

// RAWoS: a silence of INTER_CHAR ticks ends a message.
constexpr uint32_t RAWOS_RECV_TIMEOUT = 200;
constexpr uint32_t INTER_CHAR = 25;

class RawosTest : public ProtocolTest {
protected:
    std::unique_ptr<RAWoS> make()
    {
        RAWOS_CONFIG_T cfg{SOURCE_SCI3, recordDelivery, RAWOS_RECV_TIMEOUT, INTER_CHAR};
        return std::make_unique<RAWoS>(cfg);
    }
    static RAWOS_STATS_T stats(RAWoS& p) { return statsOf<RAWOS_STATS_T>(p); }
    static Bytes pattern(size_t n)
    {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + 3);
        return b;
    }
};

TEST_F(RawosTest, SilenceIsMeasuredFromTheLastByteTakenNotFromItsArrival)
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
    while (stats(*r).linkActivity == 1u && downAfter < 3 * RAWOS_RECV_TIMEOUT) {
        cycle(*r);
        downAfter = ti_sysbios_knl_Clock_getTicks() - endedAt;
    }
    EXPECT_GT(downAfter, RAWOS_RECV_TIMEOUT);
    EXPECT_LE(downAfter, RAWOS_RECV_TIMEOUT + PERIOD);
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
}

TEST_F(RawosTest, TraceMarks)
{
    EXPECT_CONSOLE_MARKS(
        {
            auto r = make();
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
    RAWOS_CONFIG_T noCallback{SOURCE_SCI1, nullptr, RAWOS_RECV_TIMEOUT, INTER_CHAR};
    EXPECT_FATAL(RAWoS{noCallback}, EC_ERROR_INVALID_ARGUMENT, "rawosapl");
    auto r = make();
    EXPECT_FATAL(r->Send(nullptr), EC_ERROR_INVALID_ARGUMENT, "rawosapl");
    RAWOS_CONFIG_T cfg{SOURCE_SCI1, recordDelivery, RAWOS_RECV_TIMEOUT, INTER_CHAR};
    EXPECT_FATAL(
        {
            hostTaskCreateFailNext(1);
            RAWoS x(cfg);
        },
        EC_ERROR_TASK_CREATION, "rawosapl");
}

}  // namespace
