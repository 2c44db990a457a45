// The simulated line used by the interop tests: pacing at the bit rate,
// order, scripted and random faults, and repeatable runs.
#include <gtest/gtest.h>

#include "linepipe.h"

using namespace zok2tools;

namespace {

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
