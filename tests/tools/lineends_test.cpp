// The tools' serial-line pieces on their own: the BAC-M link end (frames
// byte for byte, the parser's verdicts, a lone master or slave under a
// controllable clock), the RAWoS line end (messages cut by silence and by
// length, link supervision, what Send refuses) and the simulated line
// (pacing, order, faults, repeatable runs). Their exchanges with the
// firmware are tested in the line interop test.
#include <gtest/gtest.h>

#include "bacmpeer.h"
#include "linepipe.h"
#include "rawospeer.h"

using namespace zok2tools;
using Event = BacmFrameParser::Event;

namespace {

Bytes Text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

TEST(BacmWire, FramesByteForByte)
{
    EXPECT_EQ(bacmwire::EncodeInfo(0x01, Text("abc")),
              (Bytes{0x01, 0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0xF6, 0x1C}));
    EXPECT_EQ(bacmwire::EncodeInfo(0x05, Bytes{0x41, 0x10, 0x42}),
              (Bytes{0x05, 0x10, 0x02, 0x41, 0x10, 0x10, 0x42, 0x10, 0x03, 0x70, 0x90}));
    EXPECT_EQ(bacmwire::EncodeAck(0x81), (Bytes{0x81, 0x10, 0x06}));
    EXPECT_EQ(bacmwire::EncodeNak(0x01), (Bytes{0x01, 0x10, 0x15}));
}

std::vector<Event> FeedAll(BacmFrameParser& p, const Bytes& bytes)
{
    std::vector<Event> events;
    for (uint8_t b : bytes) {
        const Event e = p.Feed(b);
        if (e != Event::None) events.push_back(e);
        if (p.SecondEvent() != Event::None) events.push_back(p.SecondEvent());
    }
    return events;
}

TEST(BacmFrameParser, AcceptsEveryLengthUpToTheLimitWithDoubledDle)
{
    for (size_t len : {size_t{1}, size_t{2}, size_t{247}, size_t{248}}) {
        Bytes text(len, 0x10);
        text[0] = 0x55;
        BacmFrameParser p(0x01);
        EXPECT_EQ(FeedAll(p, bacmwire::EncodeInfo(0x01, text)), std::vector<Event>{Event::Info})
            << len;
        EXPECT_EQ(p.Text(), text);
    }
}

TEST(BacmFrameParser, Verdicts)
{
    struct Case {
        const char* name;
        Bytes bytes;
        std::vector<Event> expected;
    };
    Bytes corrupted = bacmwire::EncodeInfo(0x01, Text("abc"));
    corrupted[4] ^= 0x01;
    const Bytes tooLong = bacmwire::EncodeInfo(0x01, Bytes(249, 0x20));
    const Case cases[] = {
        {"ack", {0x01, 0x10, 0x06}, {Event::Ack}},
        {"nak", {0x01, 0x10, 0x15}, {Event::Nak}},
        {"other address", {0x02, 0x10, 0x06}, {}},
        {"slave bit not ours", {0x81, 0x10, 0x06}, {}},
        {"repeated address and dle", {0x01, 0x01, 0x10, 0x10, 0x06}, {Event::Ack}},
        {"crc error", corrupted, {Event::CrcError}},
        {"empty text", bacmwire::EncodeInfo(0x01, {}), {Event::Empty}},
        {"too long", tooLong, {Event::TooLong}},
        {"bad escape then ack",
         {0x01, 0x10, 0x02, 0x41, 0x10, 0x06},
         {Event::BadEscape, Event::Ack}},
        {"dle stx restarts the text",
         {0x01, 0x10, 0x02, 0x41, 0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0xF6, 0x1C},
         {Event::Restart, Event::Info}},
    };
    for (const Case& c : cases) {
        BacmFrameParser p(0x01);
        EXPECT_EQ(FeedAll(p, c.bytes), c.expected) << c.name;
    }
}

// Master or slave at 0x22, 100 ms receive time-out, 30 ms window.
BacmPeerConfig Cfg(bool isMaster) { return BacmPeerConfig{isMaster, 0x22, 100, 30}; }

TEST(BacmPeer, LoneMasterRepeatsTwiceThenRestartsLoneSlaveStaysSilent)
{
    BacmPeer lone(Cfg(true), 0);
    Bytes line;
    for (uint64_t t = 0; t <= 400; t += 10) {
        lone.Poll(t);
        Bytes out = lone.TakeOutput();
        if (!out.empty()) {
            EXPECT_EQ(out, bacmwire::EncodeAck(0x22)) << t;
            line.insert(line.end(), out.begin(), out.end());
        }
    }
    // ACK at 0, repeats after each 100 ms of silence, down, restart: 4 ACKs.
    EXPECT_EQ(line.size(), 4u * 3u);
    EXPECT_EQ(lone.Counters().linkDowns, 1u);
    EXPECT_FALSE(lone.LinkUp());

    BacmPeer slave(Cfg(false), 0);
    for (uint64_t t = 0; t <= 2000; t += 10) slave.Poll(t);
    EXPECT_TRUE(slave.TakeOutput().empty());
}

// 20 ms gap, 1468 bytes at most, link down after 500 ms without a message.
const RawosPeerConfig CFG{20, 1468, 500};

TEST(RawosPeer, SilenceEndsAMessageOnlyWhenLongerThanTheGapAndKeepsTheLinkUp)
{
    RawosPeer p(CFG);
    EXPECT_FALSE(p.LinkUp(0));
    const uint8_t a[] = {1, 2, 3};
    p.Receive(a, 3, 100);
    p.Poll(120);  // exactly the gap: not yet
    EXPECT_TRUE(p.TakeReceived().empty());
    p.Receive(a, 1, 120);  // still the same message
    p.Poll(141);
    EXPECT_EQ(p.TakeReceived(), (std::vector<Bytes>{{1, 2, 3, 1}}));
    EXPECT_EQ(p.Counters().endedBySilence, 1u);
    EXPECT_TRUE(p.LinkUp(641));  // the link follows the end of each message
    EXPECT_FALSE(p.LinkUp(642));
    // A byte after a silence starts a new message without a Poll between.
    p.Receive(a, 1, 200);
    p.Receive(a, 1, 250);
    p.Poll(300);
    EXPECT_EQ(p.TakeReceived(), (std::vector<Bytes>{{1}, {1}}));
}

TEST(RawosPeer, LengthLimitEndsAMessageAtOnceAndBoundsSend)
{
    RawosPeer p(CFG);
    Bytes burst(1469, 0x5A);
    p.Receive(burst.data(), burst.size(), 10);
    EXPECT_EQ(p.TakeReceived(), std::vector<Bytes>{Bytes(1468, 0x5A)});
    EXPECT_EQ(p.Partial(), 1u);
    p.Poll(31);
    EXPECT_EQ(p.TakeReceived(), std::vector<Bytes>{Bytes{0x5A}});
    EXPECT_EQ(p.Counters().endedByLength, 1u);
    // Send puts bytes out unchanged and refuses bad lengths.
    EXPECT_FALSE(p.Send({}));
    EXPECT_FALSE(p.Send(Bytes(1469, 1)));
    EXPECT_TRUE(p.TakeOutput().empty());
    EXPECT_TRUE(p.Send({0x10, 0x02, 0x00}));
    EXPECT_EQ(p.TakeOutput(), (Bytes{0x10, 0x02, 0x00}));
}

TEST(LineChannel, PacedLineTakesOneCharacterTimePerByte)
{
    LineChannel ch(9600);  // 10 bits per byte: 1042 us each
    ch.Write(Bytes(10, 0xAA), 0);
    EXPECT_TRUE(ch.Read(0).empty());
    EXPECT_EQ(ch.Read(1).size(), 0u);   // the first byte arrives at 1.042 ms
    EXPECT_EQ(ch.Read(5).size(), 4u);   // 4.168 ms
    EXPECT_EQ(ch.Read(10).size(), 5u);  // 9.378 ms
    EXPECT_EQ(ch.Read(11).size(), 1u);  // 10.42 ms
    // A byte written on an idle line starts at once; the next queues behind it.
    ch.Write(Bytes{1}, 11);
    ch.Write(Bytes{2}, 11);
    EXPECT_EQ(ch.Read(12), Bytes{});   // 12.042 ms
    EXPECT_EQ(ch.Read(13), Bytes{1});  // 13.084 ms
    EXPECT_EQ(ch.Read(14), Bytes{2});
}

TEST(LineChannel, ScriptedFaultsHitTheNextBytes)
{
    LineChannel ch;
    ch.DropNext(1);
    ch.FlipNext(1, 0x80);
    ch.Write(Bytes{1, 2, 3}, 0);
    EXPECT_EQ(ch.Read(0), (Bytes{0x82, 3}));
    EXPECT_EQ(ch.Counters().dropped, 1u);
    EXPECT_EQ(ch.Counters().flipped, 1u);
    EXPECT_EQ(ch.Counters().written, 3u);
    EXPECT_EQ(ch.Counters().delivered, 2u);
}

TEST(LineChannel, RandomFaultsAreRepeatableAndRoughlyAtTheirRate)
{
    auto run = [](uint32_t seed) {
        LineChannel ch(0, 10, seed);
        ch.SetFaults(0.01, 0.01);
        ch.Write(Bytes(100000, 0x00), 0);
        return ch.Read(0);
    };
    const Bytes a = run(7);
    EXPECT_EQ(a, run(7));
    const size_t dropped = 100000 - a.size();
    size_t flipped = 0;
    for (uint8_t b : a) {
        if (b != 0) {
            ++flipped;
            EXPECT_EQ(__builtin_popcount(b), 1);  // one bit per flipped byte
        }
    }
    EXPECT_GT(dropped, 800u);
    EXPECT_LT(dropped, 1200u);
    EXPECT_GT(flipped, 800u);
    EXPECT_LT(flipped, 1200u);
}

}  // namespace
