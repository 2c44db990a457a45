// The tools' RAWoS line end on its own: messages cut by silence and by
// length, link supervision, and what Send refuses.
#include <gtest/gtest.h>

#include "rawospeer.h"

using namespace zok2tools;

namespace {

// 20 ms gap, 1468 bytes at most, link down after 500 ms without a message.
const RawosPeerConfig CFG{20, 1468, 500};

TEST(RawosPeer, SilenceEndsAMessageOnlyWhenLongerThanTheGap)
{
    RawosPeer p(CFG);
    const uint8_t a[] = {1, 2, 3};
    p.Receive(a, 3, 100);
    p.Poll(120);  // exactly the gap: not yet
    EXPECT_TRUE(p.TakeReceived().empty());
    p.Receive(a, 1, 120);  // still the same message
    p.Poll(141);
    EXPECT_EQ(p.TakeReceived(), (std::vector<Bytes>{{1, 2, 3, 1}}));
    EXPECT_EQ(p.Counters().endedBySilence, 1u);
    // A byte after a silence starts a new message without a Poll between.
    p.Receive(a, 1, 200);
    p.Receive(a, 1, 250);
    p.Poll(300);
    EXPECT_EQ(p.TakeReceived(), (std::vector<Bytes>{{1}, {1}}));
}

TEST(RawosPeer, LengthLimitEndsAMessageAtOnce)
{
    RawosPeer p(CFG);
    Bytes burst(1469, 0x5A);
    p.Receive(burst.data(), burst.size(), 10);
    EXPECT_EQ(p.TakeReceived(), std::vector<Bytes>{Bytes(1468, 0x5A)});
    EXPECT_EQ(p.Partial(), 1u);
    p.Poll(31);
    EXPECT_EQ(p.TakeReceived(), std::vector<Bytes>{Bytes{0x5A}});
    EXPECT_EQ(p.Counters().endedByLength, 1u);
}

TEST(RawosPeer, LinkFollowsArrivingMessages)
{
    RawosPeer p(CFG);
    EXPECT_FALSE(p.LinkUp(0));
    const uint8_t a[] = {1};
    p.Receive(a, 1, 0);
    p.Poll(30);
    EXPECT_TRUE(p.LinkUp(530));
    EXPECT_FALSE(p.LinkUp(531));
}

TEST(RawosPeer, SendPutsBytesOutUnchangedAndRefusesBadLengths)
{
    RawosPeer p(CFG);
    EXPECT_FALSE(p.Send({}));
    EXPECT_FALSE(p.Send(Bytes(1469, 1)));
    EXPECT_TRUE(p.TakeOutput().empty());
    EXPECT_TRUE(p.Send({0x10, 0x02, 0x00}));
    EXPECT_EQ(p.TakeOutput(), (Bytes{0x10, 0x02, 0x00}));
}

}  // namespace
