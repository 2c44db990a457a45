#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "fwtest.h"
#include "kernel.h"
#include "taskapl.h"

namespace {
class PoolTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostHeapRouteNew(true);
        BdPool::Init();
        BdMail::Init();
        hostHeapRouteNew(false);
    }
    static uint32_t FreeBds()
    {
        BDPOOL_STATS_T st{};
        BdPool::GetStats(st);
        return st.numOfFreeBds;
    }
};

TEST_F(PoolTest, InitLeavesAllFreeOnTheFirmwareHeapWithTheLastSlotOnTop)
{
    EXPECT_EQ(128u, FreeBds());
    BD* first = BdPool::Get();
    BD* second = BdPool::Get();
    // Slots are consecutive in one array: the last slot is handed out first.
    EXPECT_EQ(first->BufferPtr() - LEN_BD_BUFFER, second->BufferPtr());

    xdc_runtime_Memory_Stats st{};
    xdc_runtime_Memory_getStats(&st);
    EXPECT_EQ(KERNEL_HEAP_SIZE, st.totalSize);
    // 128 BD objects and the mailbox's 64 slots are taken from the heap.
    EXPECT_LE(st.totalFreeSize, KERNEL_HEAP_SIZE - 128 * sizeof(BD) - 64 * sizeof(BD*));
    EXPECT_GT(st.totalFreeSize, KERNEL_HEAP_SIZE - 16384);
}

TEST_F(PoolTest, AllBdsCanBeTakenAndTheNextIsFatal)
{
    std::set<BD*> taken;
    for (int i = 0; i < NUM_BDS; ++i) taken.insert(BdPool::Get());
    EXPECT_EQ(128u, taken.size());
    EXPECT_EQ(0u, FreeBds());
    EXPECT_FATAL(
        BdPool::Get(), EC_ERROR_BD_POOL_EMPTY,
        "^\r\nFATAL ERROR: code= -30 module= bdpoolapl.cpp file= bdpoolapl.cpp line= [0-9]+$");
}

TEST_F(PoolTest, MailboxHoldsSixtyFourInOrderAndARefusedBdGoesBackToThePool)
{
    BD* bds[BdMail::NUM_MAILBOX_ITENS + 1];
    for (auto& bd : bds) bd = BdPool::Get();
    for (int i = 0; i < BdMail::NUM_MAILBOX_ITENS; ++i) {
        ASSERT_EQ(EC_SUCCESS, i % 2 == 0 ? BdMail::Post(bds[i]) : BdMail::PostOrRecycle(bds[i]))
            << i;
    }
    const uint64_t before = hostClockTicks64();
    EXPECT_EQ(EC_FAIL, BdMail::Post(bds[64]));
    EXPECT_EQ(before, hostClockTicks64());  // refused at once, no waiting
    bds[64]->Source(SOURCE_SPI1);
    EXPECT_EQ(EC_FAIL, BdMail::PostOrRecycle(bds[64]));
    EXPECT_EQ(128u - 64u, FreeBds());
    EXPECT_EQ(64u, BdMail::NumPending());
    EXPECT_EQ(SOURCE_NONE, bds[64]->Source());
    ASSERT_EQ(bds[64], BdPool::Get());

    BD* out = nullptr;
    BdMail::Pend(&out);
    EXPECT_EQ(bds[0], out);
    EXPECT_EQ(EC_SUCCESS, BdMail::Post(bds[64]));
    for (int i = 1; i <= BdMail::NUM_MAILBOX_ITENS; ++i) {
        BdMail::Pend(&out);
        ASSERT_EQ(bds[i], out) << i;
    }
}

// A producer task facing a full mailbox, and the reader that empties it.
struct WaitScript {
    BD* late = nullptr;     // posted while full; the reader makes room after 5 ticks
    BD* dropped = nullptr;  // posted while full with nobody reading
    BD* ownPost = nullptr;  // the reader's own post into the full mailbox
    uint64_t lateAt = 0, droppedAt = 0, ownAt = 0, ownTried = 0;
    int lateResult = 99, droppedResult = 99, ownResult = 99;
} gWait;

void producerTask(UArg, UArg)
{
    gWait.lateResult = BdMail::PostOrRecycle(gWait.late);
    gWait.lateAt = hostClockTicks64();
    gWait.droppedResult = BdMail::PostOrRecycle(gWait.dropped);
    gWait.droppedAt = hostClockTicks64();
}

void readerTask(UArg, UArg)
{
    ti_sysbios_knl_Task_sleep(5);
    BD* out = nullptr;
    BdMail::Pend(&out);
    BdPool::Put(out);
    ti_sysbios_knl_Task_sleep(50);  // the producer's second post finds the mailbox full
    gWait.ownTried = hostClockTicks64();
    gWait.ownResult = BdMail::PostOrRecycle(gWait.ownPost);
    gWait.ownAt = hostClockTicks64();
    hostKernelStop();
}

TEST_F(PoolTest, APostWaitsOneWorkerPeriodForRoomButNeverInTheReader)
{
    hostKernelReset(HostClockMode::Virtual);
    hostHeapRouteNew(true);
    BdPool::Restart();
    BdMail::Init();
    for (int i = 0; i < BdMail::NUM_MAILBOX_ITENS; ++i)
        ASSERT_EQ(EC_SUCCESS, BdMail::Post(BdPool::Get()));
    gWait.late = BdPool::Get();
    gWait.dropped = BdPool::Get();
    gWait.ownPost = BdPool::Get();
    for (auto [body, name] : {std::make_pair(producerTask, "producer"), {readerTask, "reader"}}) {
        ASSERT_NE(nullptr, taskCreateOrNull({name, 2, 4096, body, 0, 0}));
    }
    hostHeapRouteNew(false);
    const uint64_t start = hostClockTicks64();
    hostKernelRun(1000);

    EXPECT_EQ(std::make_tuple(EC_SUCCESS, start + 5),
              std::make_tuple(gWait.lateResult, gWait.lateAt));
    // Nobody reads: one worker period (10 ticks), then the BD goes back.
    EXPECT_EQ(std::make_tuple(EC_FAIL, start + 15),
              std::make_tuple(gWait.droppedResult, gWait.droppedAt));
    EXPECT_EQ(std::make_tuple(EC_FAIL, gWait.ownTried),
              std::make_tuple(gWait.ownResult, gWait.ownAt));
    EXPECT_EQ(128u - 64u, FreeBds());  // the 64 queued; the refused ones are free
}

TEST_F(PoolTest, ReturnedBdComesBackCleanAndRestartFreesEveryBdInInitsOrder)
{
    BD* bd = BdPool::Get();
    const uint8_t data[] = {1, 2, 3};
    bd->Copy(3, data);
    bd->Source(SOURCE_SCI2);
    bd->SourceIpAddr(0x01020304);
    bd->DestIpAddr(0x05060708);
    bd->SourcePort(0x1111);
    bd->DestPort(0x2222);
    BdPool::Put(bd);
    BD* again = BdPool::Get();
    ASSERT_EQ(bd, again);
    EXPECT_EQ(std::make_tuple(SOURCE_NONE, 0u, 0u, 0u, 0, 0),
              std::make_tuple(again->Source(), again->Load(), again->SourceIpAddr(),
                              again->DestIpAddr(), again->SourcePort(), again->DestPort()));
    EXPECT_EQ(3, again->Buffer(2));  // the bytes stay

    for (int i = 0; i < 9; ++i) BdPool::Get();
    BdPool::Restart();
    EXPECT_EQ(128u, FreeBds());
    EXPECT_EQ(bd, BdPool::Get());
    // The free flags start over too: a BD taken after Restart can go back,
    // but only once: taken twice later, it would have two owners.
    BdPool::Put(bd);
    EXPECT_FATAL(BdPool::Put(bd), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= bdpoolapl.cpp");
    EXPECT_FATAL(BdPool::Put(nullptr), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= bdapl.cpp");
    EXPECT_EQ(128u, FreeBds());
}
}  // namespace
