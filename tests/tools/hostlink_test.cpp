// The host-link client's own codec and link engine, on a hand-driven clock:
// reference frames, resynchronisation, keep-alive and supervision timing,
// and the chunking that must never put fill inside a frame.
#include <gtest/gtest.h>

#include <algorithm>

#include <string>
#include <vector>

#include "hostlink_codec.h"
#include "hostlink_engine.h"
#include "hostlinkrefs.h"

namespace {

using hostlink::Decoder;
using hostlink::LinkConfig;
using hostlink::LinkEngine;
using hostlink::Message;
using Bytes = std::vector<uint8_t>;

std::vector<Decoder::Event> feedAll(Decoder& d, const Bytes& bytes)
{
    std::vector<Decoder::Event> events;
    for (uint8_t b : bytes) {
        const Decoder::Event e = d.feed(b);
        if (e != Decoder::Event::None) events.push_back(e);
    }
    return events;
}

TEST(HostLinkCodec, ReferenceFramesByteForByteAndBack)
{
    for (const HostLinkRefFrame& c : hostLinkRefFrames()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.wire, hostlink::encodeFrame(c.message));
        Decoder d;
        EXPECT_EQ(std::vector<Decoder::Event>{Decoder::Event::Frame}, feedAll(d, c.wire));
        EXPECT_EQ(c.message, d.message());
    }
}

TEST(HostLinkCodec, DecoderReportsEachKindOfUnitAndResynchronises)
{
    const Bytes good = hostlink::encodeFrame(Message{1, 2, 3, 4, {0x10, 0x10}});
    Bytes badCrc = good;
    badCrc.back() ^= 0x01;
    struct Case {
        const char* name;
        Bytes wire;
        std::vector<Decoder::Event> events;
    };
    const Case cases[] = {
        {"fill and noise between units",
         {0x16, 0x16, 0x41, 0x10, 0x41, 0x10, 0x10, 0x06},
         {Decoder::Event::Connection}},
        {"wrong CRC", badCrc, {Decoder::Event::CrcError}},
        {"text shorter than the header",
         hostlink::encodeText(Bytes(11, 0x01)),
         {Decoder::Event::ShortText}},
        {"DLE STX inside a text restarts", {0x10, 0x02, 0x01}, {Decoder::Event::FormatError}},
        {"text beyond the largest message",
         hostlink::encodeText(Bytes(1481, 0x01)),
         {Decoder::Event::FormatError}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoder d;
        Bytes wire = c.wire;
        wire.insert(wire.end(), good.begin(), good.end());
        std::vector<Decoder::Event> expected = c.events;
        expected.push_back(Decoder::Event::Frame);
        EXPECT_EQ(expected, feedAll(d, wire));
        EXPECT_EQ((Bytes{0x10, 0x10}), d.message().payload);
    }
}

TEST(HostLinkCodec, AddressesAndHexParse)
{
    uint32_t a = 0;
    EXPECT_TRUE(hostlink::parseAddr("10.80.0.1", a));
    EXPECT_EQ(0x0A500001u, a);
    EXPECT_EQ("10.80.0.1", hostlink::formatAddr(a));
    EXPECT_FALSE(hostlink::parseAddr("10.80.0.256", a));
    EXPECT_FALSE(hostlink::parseAddr("10.80.0", a));
    EXPECT_FALSE(hostlink::parseAddr("10.80.0.1x", a));
    Bytes b;
    EXPECT_TRUE(hostlink::parseHex("96 E1:0a-ff", b));
    EXPECT_EQ((Bytes{0x96, 0xE1, 0x0A, 0xFF}), b);
    EXPECT_TRUE(hostlink::parseHex("96e1", b));
    EXPECT_EQ((Bytes{0x96, 0xE1}), b);
    for (const char* bad : {"9 6", "96e", "zz"}) EXPECT_FALSE(hostlink::parseHex(bad, b)) << bad;
}

LinkConfig unthrottled()
{
    LinkConfig c;
    c.maxTxBytesPerSec = 0;
    return c;
}

TEST(HostLinkEngine, ConnectionPacketAfterMoreThanTheWindowWithoutSending)
{
    LinkEngine e(unthrottled(), 100);
    e.tick(1100);
    EXPECT_EQ(Bytes(8, 0x16), e.nextChunk(1100, 8, 64));
    e.tick(1101);
    EXPECT_EQ((Bytes{0x10, 0x06}), e.nextChunk(1101, 8, 64));
    // A frame restarts the window.
    e.queueMessage(Message{1, 2, 3, 4, {5}}, 1500);
    e.nextChunk(1500, 8, 64);
    e.tick(2500);
    EXPECT_EQ(0u, e.pendingBytes());
    e.tick(2501);
    EXPECT_EQ(2u, e.pendingBytes());
    EXPECT_EQ(1u, e.stats().framesSent);

    LinkEngine silent(unthrottled(), 0);
    silent.setKeepAlive(false);
    silent.tick(10000);
    EXPECT_EQ(0u, silent.pendingBytes());
}

TEST(HostLinkEngine, BoardLinkDownOnlyAfterMoreThanTheTimeout)
{
    LinkEngine e(unthrottled(), 0);
    std::vector<bool> changes;
    e.onLink([&](bool up) { changes.push_back(up); });
    const Bytes packet = {0x16, 0x10, 0x06, 0x16};
    e.received(packet.data(), packet.size(), 1000);
    EXPECT_TRUE(e.linkUp());
    e.tick(3000);
    EXPECT_TRUE(e.linkUp());
    e.tick(3001);
    EXPECT_FALSE(e.linkUp());
    e.tick(9000);
    EXPECT_EQ((std::vector<bool>{true, false}), changes);
    // A frame brings it back, and is handed over.
    std::vector<Message> got;
    e.onMessage([&](const Message& m) { got.push_back(m); });
    const Bytes frame = hostlink::encodeFrame(Message{1024, 0, 1024, 0, {0x96}});
    e.received(frame.data(), frame.size(), 9500);
    EXPECT_TRUE(e.linkUp());
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(Bytes{0x96}, got[0].payload);
}

TEST(HostLinkEngine, ChunksNeverPutFillInsideAFrame)
{
    LinkEngine e(unthrottled(), 0);
    const Message m{2000, 0x0A000001, 2000, 0x0A000002, Bytes(100, 0x16)};
    e.queueMessage(m, 0);
    e.queueMessage(m, 0);
    Bytes all;
    for (int i = 0; i < 10 && e.pendingBytes() > 0; ++i) {
        const Bytes c = e.nextChunk(0, 64, 30);
        EXPECT_LE(c.size(), 30u);
        all.insert(all.end(), c.begin(), c.end());
    }
    Bytes expected = hostlink::encodeFrame(m);
    expected.insert(expected.end(), expected.begin(), expected.end());
    EXPECT_EQ(expected, all);
    EXPECT_EQ(Bytes(64, 0x16), e.nextChunk(0, 64, 30));
}

TEST(HostLinkEngine, RateCapHoldsBackWholeFramesOnly)
{
    // The default: over two of the board's 10 ms passes (one of them late),
    // at most half of its 8 KiB receive FIFO, however long the stream.
    {
        LinkEngine e(LinkConfig{}, 0);
        for (int i = 0; i < 3000; ++i) e.queueMessage({2000, 1, 2000, 2, Bytes(4, 0x41)}, 0);
        std::vector<size_t> perMs;
        for (uint64_t t = 0; e.pendingBytes() > 0; ++t) {
            const Bytes chunk = e.nextChunk(t, 4, 4096);
            perMs.push_back(chunk == Bytes(4, 0x16) ? 0 : chunk.size());
        }
        size_t worst = 0;
        for (size_t t = 0; t < perMs.size(); ++t) {
            size_t window = 0;
            for (size_t u = t; u < std::min(perMs.size(), t + 20); ++u) window += perMs[u];
            worst = std::max(worst, window);
        }
        EXPECT_LE(worst, 8192u / 2);
    }

    LinkConfig c;
    c.maxTxBytesPerSec = 1000;
    LinkEngine e(c, 0);
    const Message m{2000, 1, 2000, 2, Bytes(1000, 0x41)};
    const size_t frameLen = hostlink::encodeFrame(m).size();
    for (int i = 0; i < 10; ++i) e.queueMessage(m, 0);
    // The first burst spends the allowance; a frame once begun goes on.
    const Bytes first = e.nextChunk(0, 4, 100000);
    EXPECT_EQ(0u, first.size() % frameLen);
    EXPECT_GE(first.size(), hostlink::kMaxBurstBytes);
    // No time passed: fill only, never a piece of a frame.
    EXPECT_EQ(Bytes(4, 0x16), e.nextChunk(0, 4, 100000));
    // Ten seconds at 1000 bytes/s allow the rest, frame by frame.
    size_t sent = first.size();
    for (uint64_t t = 100; t <= 10000; t += 100) {
        const Bytes chunk = e.nextChunk(t, 4, 100000);
        if (chunk != Bytes(4, 0x16)) sent += chunk.size();
    }
    EXPECT_EQ(10 * frameLen, sent);
}

}  // namespace
