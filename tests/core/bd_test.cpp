#include <gtest/gtest.h>

#include <vector>

#include "bdapl.h"
#include "fwtest.h"

namespace {
constexpr uint32_t kCap = 1468;

class BdTest : public FirmwareTest {
protected:
    std::vector<uint8_t> area = std::vector<uint8_t>(kCap, 0xEE);
    std::vector<uint8_t> areaB = std::vector<uint8_t>(16);
    std::vector<uint8_t> areaC = std::vector<uint8_t>(16);
};

TEST_F(BdTest, ConstructionZeroesDataAndHeaderAndNeedsABuffer)
{
    BD bd(kCap, area.data());
    EXPECT_EQ(SOURCE_NONE, bd.Source());
    EXPECT_EQ(0u, bd.Load());
    EXPECT_EQ(0u, bd.SourceIpAddr());
    EXPECT_EQ(0u, bd.DestPort());
    EXPECT_EQ(kCap, bd.Capacity());
    for (uint8_t b : area) ASSERT_EQ(0, b);
    EXPECT_FATAL(BD(kCap, nullptr), EC_ERROR_INVALID_ARGUMENT,
                 "FATAL ERROR: code= -20 module= bdapl.cpp file= bdapl.cpp line= [0-9]+");
}

TEST_F(BdTest, LoadCopyAppendAndIndexUpToCapacityOnly)
{
    BD bd(kCap, area.data());
    std::vector<uint8_t> src(kCap + 1, 0x5A);
    bd.Copy(kCap, src.data());
    EXPECT_EQ(kCap, bd.Load());
    bd.Load(kCap);
    bd.Copy(0, src.data());
    EXPECT_EQ(0u, bd.Load());
    EXPECT_EQ(0x5A, bd.Buffer(kCap - 1));  // beyond the load, within the capacity
    EXPECT_FATAL(bd.Copy(kCap + 1, src.data()), EC_ERROR_INVALID_INDEX,
                 "code= -22 module= bdapl.cpp file= bdapl.cpp");
    EXPECT_FATAL(bd.Copy(1, nullptr), EC_ERROR_INVALID_ARGUMENT, "code= -20");
    // The inline checks name the module that called them and the header.
    const BD& readOnly = bd;
    const char* const line = "code= -22 module= bd_test.cpp file= bdapl.h";
    EXPECT_FATAL(bd.Load(kCap + 1), EC_ERROR_INVALID_INDEX, line);
    EXPECT_FATAL(bd.Buffer(kCap), EC_ERROR_INVALID_INDEX, line);
    EXPECT_FATAL(bd.Buffer(kCap, 1), EC_ERROR_INVALID_INDEX, line);
    EXPECT_FATAL(bd[kCap] = 1, EC_ERROR_INVALID_INDEX, line);
    EXPECT_FATAL((void)readOnly[kCap], EC_ERROR_INVALID_INDEX, line);

    BD two(2, areaB.data());
    EXPECT_EQ(EC_SUCCESS, two.Append(1));
    EXPECT_EQ(EC_SUCCESS, two.Append(2));
    EXPECT_EQ(EC_FAIL, two.Append(3));
    EXPECT_EQ(2u, two.Load());
}

TEST_F(BdTest, StackIsLastInFirstOutQueueTakesBothEndsAndIsReusedAfterEmpty)
{
    BD a(16, areaB.data());
    BD b(16, areaC.data());
    BdStack s;
    EXPECT_EQ(nullptr, s.Pop());
    EXPECT_EQ(0u, s.NumOfItems());
    s.Push(&a);
    s.Push(&b);
    EXPECT_EQ(2u, s.NumOfItems());
    EXPECT_EQ(&b, s.Pop());
    EXPECT_EQ(&a, s.Pop());
    EXPECT_EQ(nullptr, s.Pop());
    EXPECT_EQ(0u, s.NumOfItems());
    EXPECT_FATAL(s.Push(nullptr), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= bdapl.cpp");

    std::vector<uint8_t> areaD(16);
    BD c(16, areaD.data());
    BdQueue q;
    q.EnqueueFront(&a);  // front and bottom
    q.Enqueue(&b);       // behind a
    q.EnqueueFront(&c);  // ahead of a
    EXPECT_EQ(3u, q.NumOfItems());
    EXPECT_EQ(&c, q.Dequeue());
    EXPECT_EQ(&a, q.Dequeue());
    EXPECT_EQ(&b, q.Dequeue());
    EXPECT_EQ(nullptr, q.Dequeue());
    // bottom still names b; an Enqueue on the empty queue must not follow it.
    q.Enqueue(&c);
    q.Enqueue(&a);
    EXPECT_EQ(&c, q.Dequeue());
    EXPECT_EQ(&a, q.Dequeue());
    EXPECT_EQ(nullptr, q.Dequeue());
    EXPECT_EQ(0u, q.NumOfItems());
}
}  // namespace
