// The tools' BAC-M link end on its own: frames byte for byte, the parser's
// verdicts, and a lone master or slave under a controllable clock. Its
// exchanges are tested against the firmware's BAC-M in the line interop test.
#include <gtest/gtest.h>

#include "bacmpeer.h"

using namespace zok2tools;
using Event = BacmFrameParser::Event;

namespace {

Bytes Text(const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); }

TEST(BacmWire, FramesByteForByte)
{
    EXPECT_EQ(bacmwire::EncodeInfo(0x01, Text("abc")),
              (Bytes{0x01, 0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0xF6, 0x1C}));
    EXPECT_EQ(bacmwire::EncodeInfo(0x81, Text("abc")),
              (Bytes{0x81, 0x10, 0x02, 0x61, 0x62, 0x63, 0x10, 0x03, 0xF6, 0x1C}));
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

TEST(BacmPeer, UnansweredMasterRepeatsTwiceThenRestarts)
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
}

TEST(BacmPeer, SilentSlaveStaysSilent)
{
    BacmPeer lone(Cfg(false), 0);
    for (uint64_t t = 0; t <= 2000; t += 10) lone.Poll(t);
    EXPECT_TRUE(lone.TakeOutput().empty());
}

}  // namespace
