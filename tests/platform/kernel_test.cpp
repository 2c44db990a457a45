// Semantics of the simulated kernel that the firmware relies on, in virtual
// time so that every run is the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fwtest.h"
#include "hostkernel.h"
#include "iprotocol.h"
#include "kernel.h"

namespace {

std::vector<std::string> gTrace;
ti_sysbios_knl_Semaphore_Handle gSem;
ti_sysbios_knl_Mailbox_Handle gMbx;
constexpr uint32_t kIrq = 42;

// Notes `what` (and a value when given) at the current tick. Test
// bookkeeping stays off the firmware heap, which each test empties.
void note(const char* what, int64_t value = -1)
{
    const bool routed = hostInFirmwareContext();
    hostHeapRouteNew(false);
    const std::string number = value >= 0 ? std::to_string(value) : "";
    gTrace.push_back(what + number + "@" + std::to_string(ti_sysbios_knl_Clock_getTicks()));
    hostHeapRouteNew(routed);
}

xdc_runtime_Memory_Stats heap()
{
    xdc_runtime_Memory_Stats st{};
    xdc_runtime_Memory_getStats(&st);
    return st;
}

ti_sysbios_knl_Task_Handle spawn(int prio, TaskFxn fxn)
{
    ti_sysbios_knl_Task_Params p;
    ti_sysbios_knl_Task_Params_init(&p);
    p.priority = prio;
    return ti_sysbios_knl_Task_create(fxn, &p);
}

class KernelTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostKernelReset(HostClockMode::Virtual);
        gTrace.clear();
        gSem = ti_sysbios_knl_Semaphore_create(0, ti_sysbios_knl_Semaphore_Mode_COUNTING);
        gMbx = ti_sysbios_knl_Mailbox_create(sizeof(uint32_t), 2);
        ti_sysbios_hal_Hwi_create(
            kIrq, [](UArg) { note("isr"); }, 0);
    }
    static std::vector<std::string> RunFor(uint64_t ticks)
    {
        hostKernelRun(ticks);
        return gTrace;
    }
};

using Lines = std::vector<std::string>;

TEST_F(KernelTest, PostsSwitchAtOnceUnlessTheSchedulerIsLockedAndInterruptsWaitForTheirLock)
{
    spawn(3, [](UArg, UArg) {
        for (int i = 0; i < 2; ++i) {
            ti_sysbios_knl_Semaphore_pend(gSem, BIOS_WAIT_FOREVER);
            note("high");
        }
    });
    spawn(1, [](UArg, UArg) {
        note("low before");
        ti_sysbios_knl_Semaphore_post(gSem);
        note("low after");
        const uint32_t key = ti_sysbios_knl_Task_disable();
        ti_sysbios_knl_Semaphore_post(gSem);
        hostIrqRaise(kIrq);
        (void)ti_sysbios_knl_Semaphore_getCount(gSem);
        ti_sysbios_knl_Semaphore_post(gSem);  // a kernel call: the interrupt is taken here
        note("locked");
        ti_sysbios_knl_Task_restore(key);
        note("unlocked");
        const uint32_t hwiKey = ti_sysbios_hal_Hwi_disable();
        hostIrqRaise(kIrq);
        ti_sysbios_knl_Semaphore_post(gSem);  // readies nobody now
        note("masked");
        ti_sysbios_hal_Hwi_restore(hwiKey);
        note("restored");
    });
    EXPECT_EQ((Lines{"low before@0", "high@0", "low after@0", "isr@0", "locked@0", "high@0",
                     "unlocked@0", "masked@0", "isr@0", "restored@0"}),
              RunFor(10));
}

TEST_F(KernelTest, EqualPrioritiesTakeTurnsOnlyAtBlockingPoints)
{
    spawn(2, [](UArg, UArg) {
        note("a1");
        ti_sysbios_knl_Semaphore_post(gSem);  // readies nobody of higher priority
        note("a2");
        ti_sysbios_knl_Task_sleep(1);
        note("a3");
    });
    spawn(2, [](UArg, UArg) { note("b"); });
    EXPECT_EQ((Lines{"a1@0", "a2@0", "b@0", "a3@1"}), RunFor(10));
}

TEST_F(KernelTest, OfTwoTasksDueAtOnceTheHigherRunsFirst)
{
    // The low task is created first, so its time-out falls due first too.
    spawn(1, [](UArg, UArg) {
        ti_sysbios_knl_Semaphore_pend(gSem, 5);
        note("low");
    });
    spawn(3, [](UArg, UArg) {
        ti_sysbios_knl_Task_sleep(5);
        note("high");
    });
    EXPECT_EQ((Lines{"high@5", "low@5"}), RunFor(20));
}

TEST_F(KernelTest, SemaphoreTimeOutsAndABinaryOneCountsToOne)
{
    ti_sysbios_knl_Semaphore_Handle bin =
        ti_sysbios_knl_Semaphore_create(1, ti_sysbios_knl_Semaphore_Mode_BINARY);
    ti_sysbios_knl_Semaphore_post(bin);
    ti_sysbios_knl_Semaphore_post(bin);
    EXPECT_EQ(1, ti_sysbios_knl_Semaphore_getCount(bin));
    EXPECT_TRUE(ti_sysbios_knl_Semaphore_pend(bin, BIOS_NO_WAIT));
    EXPECT_FALSE(ti_sysbios_knl_Semaphore_pend(bin, BIOS_NO_WAIT));
    spawn(2, [](UArg, UArg) {
        note(ti_sysbios_knl_Semaphore_pend(gSem, BIOS_NO_WAIT) ? "took" : "none");
        note(ti_sysbios_knl_Semaphore_pend(gSem, 5) ? "took" : "timeout");
        note(ti_sysbios_knl_Semaphore_pend(gSem, BIOS_WAIT_FOREVER) ? "took" : "timeout");
        note(ti_sysbios_knl_Semaphore_pend(gSem, 100) ? "took" : "timeout");
    });
    spawn(1, [](UArg, UArg) {
        ti_sysbios_knl_Task_sleep(12);
        ti_sysbios_knl_Semaphore_post(gSem);
        ti_sysbios_knl_Task_sleep(3);
        ti_sysbios_knl_Semaphore_post(gSem);
    });
    EXPECT_EQ((Lines{"none@0", "timeout@5", "took@12", "took@15"}), RunFor(200));
}

TEST_F(KernelTest, MailboxTimeOutsAndOrder)
{
    spawn(2, [](UArg, UArg) {
        uint32_t v = 0;
        note(ti_sysbios_knl_Mailbox_pend(gMbx, &v, 4) ? "got" : "empty");
        for (v = 1; v <= 2; ++v) ti_sysbios_knl_Mailbox_post(gMbx, &v, BIOS_NO_WAIT);
        note(ti_sysbios_knl_Mailbox_post(gMbx, &v, 3) ? "posted" : "full");
        note(ti_sysbios_knl_Mailbox_post(gMbx, &v, BIOS_WAIT_FOREVER) ? "posted" : "full");
    });
    spawn(1, [](UArg, UArg) {
        ti_sysbios_knl_Task_sleep(20);
        for (int i = 0; i < 3; ++i) {
            uint32_t v = 0;
            ti_sysbios_knl_Mailbox_pend(gMbx, &v, BIOS_WAIT_FOREVER);
            note("v", v);
        }
    });
    EXPECT_EQ((Lines{"empty@4", "full@7", "posted@20", "v1@20", "v2@20", "v3@20"}), RunFor(100));
}

TEST_F(KernelTest, TickCounterWrapsAndTimeOutsSurviveIt)
{
    hostKernelReset(HostClockMode::Virtual, 0xFFFFFFF0u);
    gTrace.clear();
    spawn(1, [](UArg, UArg) {
        const uint32_t mark = ti_sysbios_knl_Clock_getTicks();
        ti_sysbios_knl_Task_sleep(16);
        note(ticksExpired(mark, 16) ? "expired" : "running");
        ti_sysbios_knl_Task_sleep(1);
        note(ticksExpired(mark, 16) ? "expired" : "running");
    });
    EXPECT_EQ((Lines{"running@0", "expired@1"}), RunFor(100));
}

TEST_F(KernelTest, RunEndsAtTheRequestedTimeAndSecondsCountFromTheirSetting)
{
    spawn(1, [](UArg, UArg) {
        ti_sysbios_hal_Seconds_set(100);
        for (;;) {
            ti_sysbios_knl_Task_sleep(700);
            note("s", ti_sysbios_hal_Seconds_get());
        }
    });
    EXPECT_EQ(2500u, hostKernelRun(2500));
    EXPECT_EQ((Lines{"s100@700", "s101@1400", "s102@2100"}), gTrace);
    EXPECT_EQ(2500u, ti_sysbios_knl_Clock_getTicks());
}

TEST_F(KernelTest, StacksComeFromTheHeapAndAnOversizedOneFails)
{
    const uint32_t before = heap().totalFreeSize;
    ti_sysbios_knl_Task_Params p;
    ti_sysbios_knl_Task_Params_init(&p);
    p.stackSize = 8192;
    ASSERT_NE(nullptr, ti_sysbios_knl_Task_create([](UArg, UArg) {}, &p));
    EXPECT_GE(before - heap().totalFreeSize, 8192u);
    p.stackSize = KERNEL_HEAP_SIZE;
    EXPECT_EQ(nullptr, ti_sysbios_knl_Task_create([](UArg, UArg) {}, &p));
}

// The clock moves (here by the test's hand) while a task runs with nothing
// but interrupt lock pairs: the sleeper that fell due takes over at a
// restore, as the tick interrupt would make it on the board.
std::atomic<bool> gSpinning{false};
std::atomic<bool> gHighRan{false};
std::atomic<bool> gLowDone{false};

TEST(ManualClock, ATimerDueDuringAnInterruptLockIsServedAtTheRestore)
{
    constexpr uint32_t kSleep = 5;
    constexpr uint64_t kMaxSpins = 500000000ull;  // ends the test only when the switch never comes
    hostKernelReset(HostClockMode::Manual);
    gTrace.clear();
    gSpinning = gHighRan = gLowDone = false;
    spawn(3, [](UArg, UArg) {
        ti_sysbios_knl_Task_sleep(kSleep);
        gHighRan = true;
        note("high");
    });
    spawn(1, [](UArg, UArg) {
        gSpinning = true;
        for (uint64_t i = 0; i < kMaxSpins && !gHighRan; ++i) {
            ti_sysbios_hal_Hwi_restore(ti_sysbios_hal_Hwi_disable());
        }
        note("low");
        gLowDone = true;
    });
    std::thread kernel([] { hostKernelRun(UINT64_MAX); });
    while (!gSpinning) std::this_thread::yield();
    hostClockAdvance(kSleep + 1);
    while (!gLowDone) std::this_thread::yield();
    hostKernelStop();
    kernel.join();
    EXPECT_EQ((Lines{"high@6", "low@6"}), gTrace);
}

TEST(Heap, StatisticsShowAHoleAndAnOversizedAllocationFails)
{
    hostHeapReset();
    const uint32_t empty = heap().totalFreeSize;
    EXPECT_EQ(empty, heap().largestFreeSize);
    void* a = xdc_runtime_Memory_alloc(1000, 0);
    void* b = xdc_runtime_Memory_alloc(3000, 0);
    xdc_runtime_Memory_free(a, 1000);  // a hole in front of b
    xdc_runtime_Memory_Stats st = heap();
    EXPECT_LT(st.totalFreeSize, empty - 3000);
    EXPECT_LT(st.largestFreeSize, st.totalFreeSize);
    xdc_runtime_Memory_free(b, 3000);
    st = heap();
    EXPECT_EQ(empty, st.totalFreeSize);
    EXPECT_EQ(empty, st.largestFreeSize);
    EXPECT_EQ(nullptr, xdc_runtime_Memory_alloc(KERNEL_HEAP_SIZE, 0));
}

TEST(Heap, OnlyRoutedNewIsCountedAlignedAsNewExpectsAndASavedHeapComesBack)
{
    hostHeapReset();
    xdc_runtime_Memory_Stats empty = heap();
    void* odd = xdc_runtime_Memory_alloc(8, 0);  // the next block starts off the new alignment
    hostHeapSave();
    hostHeapRouteNew(true);
    auto* b = new char[40];
    const uint32_t withB = heap().totalFreeSize;
    auto* a = new char[4000];
    hostHeapRouteNew(false);
    auto* host = new int[1000];
    const uint32_t used = withB - heap().totalFreeSize;
    EXPECT_GE(used, 4000u);
    EXPECT_LT(used, 4100u);
    for (const char* p : {a, b}) {
        EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(p) % __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    }
    delete[] a;
    delete[] host;
    EXPECT_EQ(withB, heap().totalFreeSize);
    hostHeapRestore();  // b is forgotten, its block free again
    xdc_runtime_Memory_free(odd, 8);
    xdc_runtime_Memory_Stats after = heap();
    EXPECT_EQ(empty.totalFreeSize, after.totalFreeSize);
    EXPECT_EQ(empty.largestFreeSize, after.largestFreeSize);
}
}  // namespace

// Real time: while a task holds the CPU (spinning, with interrupts on or
// off) the clock stands, whoever reads it and however late the host runs
// the board: the tick's work ends before the next tick's is due, and the
// sleeper that fell due meanwhile wakes at its own tick, not at the host's.
std::atomic<bool> gRelease{false};
std::atomic<bool> gInterruptsOff{false};

TEST(RealClock, TheClockStandsWhileATaskHoldsTheCpuWhoeverReadsIt)
{
    constexpr uint32_t kSleep = 3;
    for (const bool interruptsOff : {false, true}) {
        SCOPED_TRACE(interruptsOff);
        hostKernelReset(HostClockMode::Real);
        gTrace.clear();
        gSpinning = gRelease = gHighRan = false;
        gInterruptsOff = interruptsOff;
        spawn(3, [](UArg, UArg) {
            note("sleep");
            ti_sysbios_knl_Task_sleep(kSleep);
            note("high");
            gHighRan = true;
        });
        spawn(1, [](UArg, UArg) {
            ti_sysbios_knl_Task_sleep(1);  // the CPU idles once just before
            const uint32_t key = gInterruptsOff ? ti_sysbios_hal_Hwi_disable() : 0;
            note("spin");
            gSpinning = true;
            while (!gRelease) {}
            if (gInterruptsOff) ti_sysbios_hal_Hwi_restore(key);
        });
        std::thread kernel([] { hostKernelRun(UINT64_MAX); });
        while (!gSpinning) std::this_thread::yield();
        // A host thread reads the clock for several ticks' worth of host time
        // (far below the half second after which a spin counts as the
        // firmware's own).
        const uint64_t atSpin = hostClockTicks64();
        uint64_t seen = atSpin;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(4 * kSleep);
        while (std::chrono::steady_clock::now() < until) seen = std::max(seen, hostClockTicks64());
        gRelease = true;
        while (!gHighRan) std::this_thread::yield();
        hostKernelStop();
        kernel.join();
        EXPECT_EQ(atSpin, seen);
        ASSERT_EQ(3u, gTrace.size());
        const uint64_t slept = std::stoull(gTrace[0].substr(gTrace[0].find('@') + 1));
        EXPECT_EQ("high@" + std::to_string(slept + kSleep), gTrace[2]);
    }
}

// Real time in batches: a poller of every tick still runs at each tick, in
// order, while the CPU thread sleeps once per batch at most (a late host
// only makes it sleep less). Without batches it sleeps once per tick.
std::atomic<uint32_t> gPolls{0};

TEST(RealClock, BatchedTicksAllRunWithOneSleepPerBatch)
{
    constexpr uint64_t kTicks = 48;
    for (const uint32_t batch : {1u, 8u}) {
        SCOPED_TRACE(batch);
        hostKernelReset(HostClockMode::Real);
        hostClockSetBatch(batch);
        gTrace.clear();
        gPolls = 0;
        spawn(1, [](UArg, UArg) {
            for (uint32_t last = ti_sysbios_knl_Clock_getTicks();;) {
                ti_sysbios_knl_Task_sleep(1);
                const uint32_t now = ti_sysbios_knl_Clock_getTicks();
                if (now != last + 1) note("skipped", now);
                last = now;
                ++gPolls;
            }
        });
        const uint64_t ran = hostKernelRun(kTicks);
        const uint64_t sleeps = hostKernelSleeps();
        hostClockSetBatch(1);
        EXPECT_EQ(kTicks, ran);
        EXPECT_EQ(Lines{}, gTrace);
        EXPECT_GE(gPolls + 1, kTicks);
        // One sleep per batch, one more at the start.
        EXPECT_LE(sleeps, kTicks / batch + 2);
        EXPECT_GT(sleeps, 0u);
    }
}
