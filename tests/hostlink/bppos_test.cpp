// The host-link protocol against a manual clock: frames byte for byte,
// stuffing and CRC, length limits, resynchronisation, the transmit FIFO's
// all-or-nothing frames, connection packets and link supervision.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "bpposapl.h"
#include "hostlink_codec.h"
#include "hostlinkrefs.h"
#include "kernel.h"
#include "prototest.h"

namespace {

constexpr uint32_t kRecvTimeout = 2000;
constexpr uint32_t kWindow = 1000;
const Bytes kConnection = {0x10, 0x06};

class BpposTest : public ProtocolTest {
protected:
    BPPoS& make(CONNECTION_CALLBACK cb = recordLink)
    {
        BPPOS_CONFIG_T cfg{SOURCE_SPI1, recordDelivery, cb, kRecvTimeout, kWindow};
        hostHeapRouteNew(true);
        BPPoS* p = new BPPoS(cfg);
        hostHeapRouteNew(false);
        return *p;
    }

    // Brings the link up with a connection packet and discards what the
    // board queued so far.
    void bringUp(BPPoS& p)
    {
        receive(p, kConnection);
        drain(p);
        linkEvents().clear();
    }

    // Sends through a pool BD and returns it afterwards.
    static ERROR_CODES_E send(BPPoS& p, const hostlink::Message& m)
    {
        BD* bd = makeBd(netPort(m.destPort), htonl(m.destAddr), netPort(m.sourcePort),
                        htonl(m.sourceAddr), m.payload);
        const ERROR_CODES_E r = p.Send(bd);
        BdPool::Put(bd);
        return r;
    }

    static ERROR_CODES_E sendPayload(BPPoS& p, const Bytes& data)
    {
        return send(p, plainMessage(data));
    }

    // What the board queued for the line at tick t, after a worker pass.
    static Bytes cycleAt(BPPoS& p, uint32_t t)
    {
        hostClockSet(t);
        p.WorkerCycle();
        return drain(p);
    }

    static void receive(BPPoS& p, const Bytes& wire)
    {
        feed(p, wire);
        p.WorkerCycle();
    }

    // A host message whose header holds no DLE, for frames of known length.
    static hostlink::Message plainMessage(const Bytes& payload)
    {
        return {2000, 0xC0A80101, 2001, 0xC0A80102, payload};
    }

    // The receive error counts: CRC, format, length, receive FIFO full.
    static std::array<uint32_t, 4> rxErrors(BPPoS& p)
    {
        const BPPOS_STATS_T s = statsOf<BPPOS_STATS_T>(p);
        return {s.numOfCrcErrors, s.numOfPacketFormatErrors, s.numOfRecvdMsgLengthErrors,
                s.numOfRecvDataQueueFullErrors};
    }
};

using Errors = std::array<uint32_t, 4>;

// A delivered message read back as the host wrote it.
hostlink::Message messageOf(const Delivered& d)
{
    return {ntohs(d.destPort), ntohl(d.destIpAddr), ntohs(d.sourcePort), ntohl(d.sourceIpAddr),
            d.data};
}

Bytes textOfLength(size_t n)
{
    Bytes t;
    for (size_t i = 0; i < n; ++i) t.push_back(static_cast<uint8_t>(0x20 + i % 0x50));
    return t;
}

// The CRC a frame's text would carry without the wire bytes `skip` names.
template <typename SKIP>
uint8_t crcWithout(const Bytes& wire, SKIP skip)
{
    uint8_t crc = 0xFF;
    for (size_t i = 2; i + 1 < wire.size(); ++i) {
        if (!skip(i)) crc = hostlink::crc8Update(crc, wire[i]);
    }
    return crc;
}

TEST_F(BpposTest, ReferenceFramesGoOutByteForByteAndComeBackUnchanged)
{
    BPPoS& p = make();
    bringUp(p);
    for (const HostLinkRefFrame& f : hostLinkRefFrames()) {
        SCOPED_TRACE(f.name);
        ASSERT_EQ(EC_SUCCESS, send(p, f.message));
        EXPECT_EQ(f.wire, drain(p));

        deliveries().clear();
        receive(p, f.wire);
        ASSERT_EQ(1u, deliveries().size());
        EXPECT_EQ(SOURCE_SPI1, deliveries()[0].source);
        EXPECT_EQ(f.message, messageOf(deliveries()[0]));
    }
}

TEST_F(BpposTest, CrcOfDleGoesOutSingleAndTheNextFrameStillDecodes)
{
    BPPoS& p = make();
    bringUp(p);
    // A payload byte that gives the frame the CRC 0x10.
    uint8_t b = 0;
    while (hostlink::encodeFrame(plainMessage({b})).back() != 0x10) ASSERT_LT(b++, 0xFF);
    const Bytes payload{b};
    ASSERT_EQ(EC_SUCCESS, sendPayload(p, payload));
    const Bytes wire = drain(p);
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ((Bytes{0x10, 0x03, 0x10}), Bytes(wire.end() - 3, wire.end()));
    EXPECT_EQ(hostlink::encodeFrame(plainMessage(payload)), wire);

    feed(p, wire);
    feed(p, hostlink::encodeFrame(plainMessage({0x55})));  // the next frame still decodes
    p.WorkerCycle();
    EXPECT_EQ((std::vector<Bytes>{payload, {0x55}}), takeDelivered());
}

TEST_F(BpposTest, TextsShorterThanTheHeaderAreLengthErrorsAndAHeaderAloneIsAnEmptyMessage)
{
    BPPoS& p = make();
    for (size_t len = 0; len < BPPoS::LEN_HEADER; ++len) {
        SCOPED_TRACE(len);
        receive(p, hostlink::encodeText(textOfLength(len)));
        const BPPOS_STATS_T s = statsOf<BPPOS_STATS_T>(p);
        EXPECT_EQ(len + 1, s.numOfRecvdMsgLengthErrors);
        EXPECT_EQ(0u, s.numOfRecvdMessages);
        EXPECT_EQ(LINK_DOWN, s.linkActivity);
    }
    EXPECT_TRUE(linkEvents().empty());
    // The header alone: an empty BD, and the link comes up.
    receive(p, hostlink::encodeFrame(plainMessage({})));
    ASSERT_EQ(1u, deliveries().size());
    EXPECT_EQ(plainMessage({}), messageOf(deliveries()[0]));
    EXPECT_EQ(LINK_UP, statsOf<BPPOS_STATS_T>(p).linkActivity);
}

TEST_F(BpposTest, LongestTextIsAcceptedAndOneByteMoreIsAFormatError)
{
    for (size_t len : {1468u, 1469u}) {  // with the header: 1480 and 1481 text bytes
        SCOPED_TRACE(::testing::Message() << len << " payload bytes");
        BPPoS& p = make();
        const Bytes payload = textOfLength(len);
        feed(p, hostlink::encodeFrame(plainMessage(payload)));
        receive(p, hostlink::encodeFrame(plainMessage({0x01})));
        // A frame too long is dropped; the receiver finds the next one.
        const uint32_t tooLong = len > 1468u;
        const std::vector<Bytes> sent{payload, {0x01}};
        EXPECT_EQ(std::vector<Bytes>(sent.begin() + tooLong, sent.end()), takeDelivered());
        EXPECT_EQ((Errors{0, tooLong, 0, 0}), rxErrors(p));
    }
}

// An escape inside a text: DLE STX restarts the frame, DLE ACK is taken as
// a connection packet; each is a format error.
TEST_F(BpposTest, EscapesInsideATextAreFormatErrors)
{
    for (const bool ack : {false, true}) {
        SCOPED_TRACE(ack ? "DLE ACK" : "DLE STX");
        BPPoS& p = make();
        feed(p,
             ack ? Bytes{0x10, 0x02, 0x01, 0x02, 0x10, 0x06} : Bytes{0x10, 0x02, 0x01, 0x02, 0x03});
        if (!ack) feed(p, hostlink::encodeFrame(plainMessage({0x07})));
        p.WorkerCycle();
        EXPECT_EQ(std::vector<Bytes>(ack ? 0 : 1, Bytes{0x07}), takeDelivered());
        EXPECT_EQ((Errors{0, 1, 0, 0}), rxErrors(p));
        EXPECT_EQ(LINK_UP, statsOf<BPPOS_STATS_T>(p).linkActivity);
    }
}

// Refusals queue nothing: the FIFO holds exactly the frames taken; a full
// FIFO counts, a link that is down does not (the router counts every refusal).
TEST_F(BpposTest, SendRefusesBadLengthsAndTheFifoHoldsWholeFramesOrNothing)
{
    BPPoS& p = make();
    // While down, refused before any length check.
    EXPECT_EQ(EC_FAIL, sendPayload(p, {0x01}));
    EXPECT_EQ(EC_FAIL, sendPayload(p, {}));
    EXPECT_TRUE(drain(p).empty());
    bringUp(p);
    EXPECT_EQ(EC_FAIL, sendPayload(p, {}));
    // A pool BD cannot hold 1469 bytes; a larger one can.
    static uint8_t area[2048];
    BD big(sizeof area, area);
    big.Load(1469);
    EXPECT_EQ(EC_FAIL, p.Send(&big));
    EXPECT_EQ(2u, statsOf<BPPOS_STATS_T>(p).numOfSendMsgLengthErrors);
    // Five frames of 1468 plain bytes take 5 x 1485 bytes: 767 remain.
    const Bytes full(1468, 0x41);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(EC_SUCCESS, sendPayload(p, full));
    }
    // 751 + 17 bytes do not fit: refused up front, and counted.
    EXPECT_EQ(EC_FAIL, sendPayload(p, Bytes(751, 0x42)));
    EXPECT_EQ(1u, statsOf<BPPOS_STATS_T>(p).numOfSendDataQueueFullErrors);
    // 700 DLEs pass the first check but need 1400 bytes of text.
    EXPECT_EQ(EC_FAIL, sendPayload(p, Bytes(700, 0x10)));
    EXPECT_EQ(2u, statsOf<BPPOS_STATS_T>(p).numOfSendDataQueueFullErrors);
    // 750 plain bytes fill the FIFO to the last byte.
    EXPECT_EQ(EC_SUCCESS, sendPayload(p, Bytes(750, 0x43)));

    Bytes frames;
    for (const Bytes& payload : {full, full, full, full, full, Bytes(750, 0x43)}) {
        const Bytes f = hostlink::encodeFrame(plainMessage(payload));
        frames.insert(frames.end(), f.begin(), f.end());
    }
    EXPECT_EQ(8192u, frames.size());
    EXPECT_EQ(frames, drain(p));
    EXPECT_EQ(6u, statsOf<BPPOS_STATS_T>(p).numOfSentMessages);

    // With room again the refused frame goes whole.
    ASSERT_EQ(EC_SUCCESS, sendPayload(p, Bytes(700, 0x10)));
    EXPECT_EQ(hostlink::encodeFrame(plainMessage(Bytes(700, 0x10))), drain(p));
}

TEST_F(BpposTest, ConnectionPacketOncePerWindowAndPostponedByFrames)
{
    const uint32_t t0 = 5000;
    hostClockSet(t0);
    BPPoS& p = make();
    // While the link is down too.
    EXPECT_TRUE(cycleAt(p, t0 + kWindow).empty());
    EXPECT_EQ(kConnection, cycleAt(p, t0 + kWindow + 1));
    EXPECT_TRUE(cycleAt(p, t0 + kWindow + 1).empty());
    EXPECT_TRUE(cycleAt(p, t0 + 2 * kWindow + 1).empty());
    EXPECT_EQ(kConnection, cycleAt(p, t0 + 2 * kWindow + 2));

    // A frame restarts the window.
    receive(p, kConnection);
    hostClockSet(t0 + 2500);
    ASSERT_EQ(EC_SUCCESS, sendPayload(p, {0x01}));
    drain(p);
    EXPECT_TRUE(cycleAt(p, t0 + 2500 + kWindow).empty());
    EXPECT_EQ(kConnection, cycleAt(p, t0 + 2500 + kWindow + 1));
}

// Also across the wrap of the tick counter, where the connection window
// must expire too.
TEST_F(BpposTest, LinkGoesDownOnlyAfterStrictlyMoreThanTheTimeout)
{
    // A connection packet, an info frame, and a connection packet across the wrap.
    const std::pair<Bytes, uint32_t> cases[] = {{kConnection, 0},
                                                {hostlink::encodeFrame(plainMessage({0x01})), 0},
                                                {kConnection, 0xFFFFFF00u}};
    for (const auto& [unit, start] : cases) {
        SCOPED_TRACE(::testing::Message() << unit.size() << "-byte unit from tick " << start);
        linkEvents().clear();
        if (start != 0) hostClockSet(start);  // 0: where the clock stands
        BPPoS& p = make();
        const uint32_t t0 = ti_sysbios_knl_Clock_getTicks();
        receive(p, unit);
        EXPECT_TRUE(drain(p).empty());
        ASSERT_EQ(1u, linkEvents().size());
        EXPECT_EQ(LINK_UP, linkEvents()[0].activity);
        EXPECT_EQ(SOURCE_SPI1, linkEvents()[0].source);

        EXPECT_EQ(kConnection, cycleAt(p, t0 + kRecvTimeout));
        EXPECT_EQ(LINK_UP, statsOf<BPPOS_STATS_T>(p).linkActivity);
        cycleAt(p, t0 + kRecvTimeout + 1);
        EXPECT_EQ(LINK_DOWN, statsOf<BPPOS_STATS_T>(p).linkActivity);
        cycleAt(p, t0 + 3 * kRecvTimeout);
        ASSERT_EQ(2u, linkEvents().size());
        EXPECT_EQ(LINK_DOWN, linkEvents()[1].activity);
        deliveries().clear();
    }
}

TEST_F(BpposTest, FullReceiveFifoDropsAndCountsTheExcessButNeverStoresBytesBetweenUnits)
{
    BPPoS& p = make();
    // More fill and noise than the FIFO holds: stored, they would overflow
    // it and show in the queue-full count.
    Bytes noise(9000, 0x16);
    noise.insert(noise.end(), {0x10, 0x41, 0x03, 0x06, 0x10, 0x10, 0x10, 0x99});
    receive(p, noise);
    const Bytes frame = hostlink::encodeFrame(plainMessage(Bytes(1468, 0x41)));
    const uint32_t excess = 6 * frame.size() - BPPoS::LEN_FIFO_RX_DATA;
    for (int i = 0; i < 6; ++i) feed(p, frame);
    p.WorkerCycle();
    EXPECT_EQ(5u, takeDelivered().size());
    // Room again: the cut frame is closed and the next frame is taken. A cut
    // is no format error: its loss shows in the queue-full count.
    receive(p, frame);
    EXPECT_EQ(1u, deliveries().size());
    EXPECT_EQ((Errors{0, 0, 0, excess}), rxErrors(p));
}

// The worker empties the FIFO in the middle of a frame that lost bytes to
// it. Were the rest of that frame stored, the decoder would see the frame
// with a gap; the payload below is chosen so that the gapped frame still
// meets its CRC.
TEST_F(BpposTest, FrameThatLostBytesIsNeverDeliveredEvenWhenItsCrcWouldMatch)
{
    constexpr size_t kRoom = BPPoS::LEN_FIFO_RX_DATA - 5 * 1485;  // after five full frames
    constexpr size_t kGap = 100;
    Bytes payload(1468, 0x41);
    Bytes wire;
    bool found = false;
    for (int a = 0x20; a < 0x7F && !found; ++a) {
        for (int b = 0x20; b < 0x7F && !found; ++b) {
            // Bytes inside the gap change only the CRC of the whole frame.
            payload[kRoom + 20] = static_cast<uint8_t>(a);
            payload[kRoom + 21] = static_cast<uint8_t>(b);
            wire = hostlink::encodeFrame(plainMessage(payload));
            found = crcWithout(wire, [](size_t i) { return i >= kRoom && i < kRoom + kGap; }) ==
                    wire.back();
        }
    }
    ASSERT_TRUE(found);

    BPPoS& p = make();
    const Bytes full(1468, 0x42);
    for (int i = 0; i < 5; ++i) feed(p, hostlink::encodeFrame(plainMessage(full)));
    feed(p, Bytes(wire.begin(), wire.begin() + kRoom + kGap));  // the last kGap are lost
    p.WorkerCycle();
    feed(p, Bytes(wire.begin() + kRoom + kGap, wire.end()));
    receive(p, hostlink::encodeFrame(plainMessage({0x01})));
    EXPECT_EQ((std::vector<Bytes>{full, full, full, full, full, {0x01}}), takeDelivered());
    // Only the bytes that found the FIFO full; the rest of the cut frame
    // found room and was dropped uncounted.
    EXPECT_EQ((Errors{0, 0, 0, kGap}), rxErrors(p));
}

// The CRC byte is the one lost to the full FIFO. No byte stored after the
// cut may stand in for it: here the text's CRC is 0x15, the mark a cut once
// left in the FIFO.
TEST_F(BpposTest, CrcLostToAFullFifoIsNeverTakenFromLaterBytes)
{
    BPPoS& p = make();
    for (int i = 0; i < 4088; ++i) feed(p, kConnection);  // 8176 bytes held
    const Bytes frame{0x10, 0x02, 0x07, 0xDA, 0x0A, 0x50, 0x00, 0x01, 0x07,
                      0xDA, 0x0A, 0x50, 0x00, 0x8A, 0x10, 0x03, 0x94};
    receive(p, frame);
    feed(p, {0x16});  // a fill byte between units
    p.WorkerCycle();
    feed(p, kConnection);
    receive(p, hostlink::encodeFrame(plainMessage({0x01})));
    EXPECT_EQ(std::vector<Bytes>{Bytes{0x01}}, takeDelivered());
    EXPECT_EQ((Errors{0, 0, 0, 1}), rxErrors(p));
    EXPECT_EQ(1u, statsOf<BPPOS_STATS_T>(p).numOfRecvdMessages);
}

TEST_F(BpposTest, StatisticsAreNineWordsResetKeepsTheLinkStateAndRestartReturnsToTheStart)
{
    BPPoS& p = make();
    feed(p, kConnection);
    Bytes bad = hostlink::encodeFrame(plainMessage({0x01}));
    bad.back() ^= 0xFF;
    receive(p, bad);
    alignas(uint32_t) uint8_t raw[sizeof(BPPOS_STATS_T) + 4];
    std::memset(raw, 0xEE, sizeof raw);
    p.GetStats(raw);
    uint32_t words[10];
    std::memcpy(words, raw, sizeof words);
    EXPECT_EQ(1u, words[0]);  // link up
    EXPECT_EQ(1u, words[5]);  // CRC errors
    EXPECT_EQ(0xEEEEEEEEu, words[9]) << "wrote past the record";

    p.ResetStats();
    BPPOS_STATS_T s = statsOf<BPPOS_STATS_T>(p);
    EXPECT_EQ(LINK_UP, s.linkActivity);
    EXPECT_EQ(0u, s.numOfCrcErrors);

    // A restart drops the link, what was queued and half a frame taken in.
    EXPECT_EQ(EC_SUCCESS, sendPayload(p, {0x61}));
    const Bytes frame = hostlink::encodeFrame(plainMessage({0x62}));
    feed(p, Bytes(frame.begin(), frame.begin() + 6));
    p.Restart();
    s = statsOf<BPPOS_STATS_T>(p);
    EXPECT_EQ(LINK_DOWN, s.linkActivity);
    EXPECT_EQ(0u, s.numOfSentMessages);
    EXPECT_TRUE(drain(p).empty());
    feed(p, Bytes(frame.begin() + 6, frame.end()));
    receive(p, frame);
    ASSERT_EQ(1u, deliveries().size());
    EXPECT_EQ((Errors{0, 0, 0, 0}), rxErrors(p));
}

TEST_F(BpposTest, TraceMarksOnlyAfterEnableLog)
{
    EXPECT_CONSOLE_MARKS(
        {
            BPPoS& quiet = make();
            receive(quiet, kConnection);
            BPPoS& p = make();
            p.EnableLog();
            receive(p, kConnection);                                  // c
            sendPayload(p, {0x01});                                   // I
            receive(p, hostlink::encodeFrame(plainMessage({0x02})));  // i
            hostClockAdvance(kWindow + 1);
            p.WorkerCycle();  // C
        },
        "cIiC");
}

using BpposDeathTest = BpposTest;

// A null BD in every link state, no receive callback, no worker task.
TEST_F(BpposDeathTest, FatalMisuse)
{
    BPPoS& p = make();
    EXPECT_FATAL(p.Send(nullptr), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= bpposapl.cpp");
    bringUp(p);
    EXPECT_FATAL(p.Send(nullptr), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= bpposapl.cpp");
    BPPOS_CONFIG_T cfg{SOURCE_SPI1, nullptr, nullptr, kRecvTimeout, kWindow};
    EXPECT_FATAL(new BPPoS(cfg), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= bpposapl.cpp");
    EXPECT_FATAL(
        {
            hostTaskCreateFailNext(1);
            make();
        },
        EC_ERROR_TASK_CREATION, "code= -10 module= bpposapl.cpp");
}

}  // namespace
