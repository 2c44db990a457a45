// The DLE text decoder of the framed protocols, on a short limit and a CRC-16:
// events per byte sequence. The protocols' tests keep what each adds.
#include <gtest/gtest.h>

#include <string>

#include "crcapl.h"
#include "dletext.h"
#include "prototest.h"

namespace {

constexpr uint8_t DLE = 0x10, STX = 0x02, ETX = 0x03, ACK = 0x06;

struct Framing {
    static uint16_t CrcStep(uint16_t crc, uint8_t b) { return Crc::ByteCalc16bitsCrc(crc, b); }
    static constexpr uint16_t CRC_INITIAL = 0x1D0F;
    static constexpr uint32_t LEN_MAX = 4;
    static bool IsPacket(uint8_t type) { return type == ACK; }
};

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// DLE STX, the stuffed text, DLE ETX and the CRC, high byte first; with
// `oneHalf` the CRC leaves out the second byte of each pair.
Bytes frame(const char* text, bool oneHalf = false)
{
    const Bytes t = textOf(text);
    uint16_t crc = Framing::CRC_INITIAL;
    for (uint8_t b : (oneHalf ? t : stuff(t)) + Bytes{DLE, ETX}) crc = Framing::CrcStep(crc, b);
    return Bytes{DLE, STX} + stuff(t) +
           Bytes{DLE, ETX, static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)};
}

// F<text> a frame (! after a bad CRC); the others with the byte that
// raised them: X a text dropped, R restarted, P a packet, Q a packet that cut a text.
std::string events(const Bytes& wire)
{
    static const char* const MARK[] = {"", "F", "X", "R", "P", "Q"};
    DleText<Framing> d;
    d.Clear();
    std::string out;
    for (uint8_t b : wire) {
        const DLE_EVENT_E e = d.Take(b);
        if (e == DLE_FRAME) {
            out += "F" + std::string(d.Text(), d.Text() + d.Length()) + (d.CrcGood() ? " " : "! ");
        } else if (e != DLE_TAKEN) {
            out += MARK[e] + std::to_string(b) + " ";
        }
    }
    return out;
}

TEST(DleTextTest, PairsLimitsAndTheRestOfADroppedText)
{
    const Bytes badEscape{DLE, STX, 'a', DLE, 'A'};
    const struct {
        const char* name;
        Bytes wire;
        std::string events;
    } cases[] = {
        {"a pair is one text byte, both halves in the CRC", frame("a\x10z") + frame("a\x10z", true),
         "Fa\x10z Fa\x10z! "},
        {"a pair one past the longest text", frame("abcd\x10") + frame("z"), "X16 Fz "},
        // Read from outside, the rest of the dropped text would hold a
        // frame, a bad escape and a packet, and its CRC bytes an opening pair.
        {"nothing in the rest of a dropped text counts",
         badEscape + stuff(frame("y")) + Bytes{DLE, 'B', DLE, DLE, ACK, DLE, ETX, DLE, STX} +
             frame("z"),
         "X65 Fz "},
        {"a packet type or DLE STX ends a dropped text",
         Bytes{DLE, STX, 'a', 'b', 'c', 'd', 'e', DLE, DLE, DLE, ACK} + badEscape + frame("z"),
         "X101 P6 X65 Fz "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.events, events(c.wire)) << c.name;
    }
}

}  // namespace
