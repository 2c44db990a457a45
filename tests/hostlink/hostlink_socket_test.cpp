// Both host links in one process, in real time, with the host-link client
// on the McSPI model's Unix socket: link start-up, a message through the
// router mailbox (a stand-in router echoes port 7 back), the
// board's link going down behind a silent client and coming back after a
// reconnection, and a paced stream of the largest frames.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "bpposapl.h"
#include "configapl.h"
#include "hostboard.h"
#include "hostlink_client.h"
#include "hostmcspi.h"
#include "hostperiph.h"
#include "process.h"
#include "prototest.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kEchoPort = 7;
// Generous bound for what the board does within a worker pass or two; only
// a failing test waits this long.
constexpr int kSettleMs = 10000;

struct RouterLog {
    std::mutex lock;
    std::atomic<uint32_t> count{0};
    std::atomic<uint64_t> payloadBytes{0};
    BPPOS_STATS_T stats[2]{};  // both links' statistics, read each tick by the firmware
};
RouterLog* gLog = nullptr;

long long msSince(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Stand-in for the router: counts what arrives, echoes port 7.
void routerTask(UArg, UArg)
{
    for (;;) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        if (bd->Source() == SOURCE_ZOK1 || bd->Source() == SOURCE_ZOK2) {
            BdPool::Put(bd);  // the status message that a link coming up makes
            continue;
        }
        gLog->payloadBytes += bd->Load();
        ++gLog->count;
        if (bd->DestPort() == netPort(kEchoPort)) {
            const uint32_t addr = bd->DestIpAddr();
            bd->DestIpAddr(bd->SourceIpAddr());
            bd->SourceIpAddr(addr);
            const uint16_t port = bd->DestPort();
            bd->DestPort(bd->SourcePort());
            bd->SourcePort(port);
            hSpiGate[bd->Source() == SOURCE_SPI2 ? 1 : 0]->Send(bd);
        }
        BdPool::Put(bd);
    }
}

// Builds the links like the main task, then watches their state.
void mainTask(UArg, UArg)
{
    Config::Init();
    for (;;) {
        std::unique_lock<std::mutex> l(gLog->lock);
        for (int i = 0; i < 2; ++i) {
            hSpiGate[i]->GetProtStats(reinterpret_cast<uint8_t*>(&gLog->stats[i]));
        }
        l.unlock();
        ti_sysbios_knl_Task_sleep(1);
    }
}

// The firmware's own reading, at most a tick old: the test thread does not
// touch firmware state while the firmware runs.
BPPOS_STATS_T boardStats(int link = 0)
{
    std::lock_guard<std::mutex> l(gLog->lock);
    return gLog->stats[link];
}

bool linkIs(int link, LINK_ACTIVITY_E state) { return boardStats(link).linkActivity == state; }

class HostLinkSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostKernelReset(HostClockMode::Real);
        restartDrivers();
        hostPeripheralsInstall();
        hostHeapReset();
        hostSetHaltHandler(nullptr);
        BdPool::Init();
        hostHeapRouteNew(true);
        BdMail::Init();
        hostHeapRouteNew(false);
        gLog = new RouterLog;
        hostBoardConfig().runDir = makeTempDir();
        hostBoardConfig().spi[0] = "unix";
        hostBoardConfig().spi[1] = "unix";
        hostMcspiReset(true);
        spawn(mainTask, 1, "main");
        spawn(routerTask, 2, "router");
        kernel = std::thread([] { hostKernelRun(UINT64_MAX); });
        ASSERT_TRUE(pollUntil(2000, [] { return !hostMcspiEndpoint(0).empty(); }));
    }
    void TearDown() override
    {
        hostKernelStop();
        kernel.join();
        hostMcspiReset(false);
    }

    static void spawn(TaskFxn fxn, int priority, const char* name)
    {
        ti_sysbios_knl_Task_Params p;
        ti_sysbios_knl_Task_Params_init(&p);
        p.priority = priority;
        p.stackSize = 8192;
        p.instanceName = name;
        ASSERT_NE(nullptr, ti_sysbios_knl_Task_create(fxn, &p));
    }

    std::thread kernel;
};

TEST_F(HostLinkSocketTest, ClientBringsTheLinkUpMessagesCrossAndSilenceTakesItDown)
{
    hostlink::Client client;
    std::string error;
    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0), &error)) << error;
    const auto t0 = Clock::now();
    EXPECT_TRUE(client.waitLink(true, 2500));  // the board's keep-alive reached us
    EXPECT_TRUE(pollUntil(2500, [] { return linkIs(0, LINK_UP); }));
    std::printf("links up after %lld ms\n", msSince(t0));
    EXPECT_TRUE(linkIs(1, LINK_DOWN)) << "link 2 has no client";

    // A message in and, through the router, back out.
    const hostlink::Message m{
        kEchoPort, 0x0A500001, 2011, 0x0A500010, {0x10, 0x02, 0x16, 0x10, 0x03}};
    client.send(m);
    hostlink::Message back;
    ASSERT_TRUE(client.waitMessage(back, 2000));
    EXPECT_EQ((hostlink::Message{m.sourcePort, m.sourceAddr, kEchoPort, m.destAddr, m.payload}),
              back);

    // Still clocking, but silent: the board gives up after more than 2 s;
    // a reconnection brings the link back.
    client.setKeepAlive(false);
    const auto quietFrom = Clock::now();
    ASSERT_TRUE(pollUntil(4000, [] { return linkIs(0, LINK_DOWN); }));
    EXPECT_GT(msSince(quietFrom), 900);  // the last keep-alive left at most a second before
    client.disconnect();

    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0)));
    client.sendConnection();
    EXPECT_TRUE(pollUntil(1500, [] { return linkIs(0, LINK_UP); }));
    EXPECT_TRUE(client.waitLink(true, 2500));
}

TEST_F(HostLinkSocketTest, ABoardHeldLongerThanABatchWaitKeepsItsLinkAStoppedOneClosesIt)
{
    hostlink::Client client;
    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0)));
    ASSERT_TRUE(client.waitLink(true, 2500));
    // Interrupts off for longer than the socket side waits for one batch, as
    // a busy host can hold the board: the batch waits, the link stays.
    static std::atomic<bool> released{false};
    spawn(
        [](UArg, UArg) {
            const uint32_t key = ti_sysbios_hal_Hwi_disable();
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ti_sysbios_hal_Hwi_restore(key);
            released = true;
            for (;;) ti_sysbios_knl_Task_sleep(1000);
        },
        10, "busy");
    ASSERT_TRUE(pollUntil(5000, [] { return released.load(); }));
    EXPECT_TRUE(client.connected());
    EXPECT_TRUE(client.waitLink(true, 2500));
    // A board whose scheduler stopped answers nobody: the socket closes
    // within one batch wait.
    hostKernelStop();
    EXPECT_TRUE(pollUntil(3000, [&] { return !client.connected(); }));
}

TEST_F(HostLinkSocketTest, APacedClientLosesNothing)
{
    // The 8 KB receive FIFO takes the client's opening burst (4 KB) and one
    // frame begun; at this pace the rest covers a host that holds the worker
    // off for 250 ms, as a loaded machine may.
    hostlink::ClientOptions o;
    o.link.maxTxBytesPerSec = 10000;
    hostlink::Client client(o);
    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0)));
    ASSERT_TRUE(client.waitLink(true, 2500));
    const BPPOS_STATS_T s0 = boardStats();
    const uint32_t count0 = gLog->count;
    const uint64_t bytes0 = gLog->payloadBytes;
    const hostlink::Message m{2000, 0, 0, 0, Bytes(LEN_BD_BUFFER, 0x55)};
    constexpr uint32_t kFrames = 20;  // about 2.5 s at this pace
    for (uint32_t i = 0; i < kFrames; ++i) client.send(m);
    EXPECT_TRUE(client.waitSent(60000));
    // Every frame clocked is in the board: the worker's next pass hands it
    // to the router and the main task's next tick publishes the statistics.
    // Waited for, not slept for: a loaded host may run them late.
    pollUntil(kSettleMs, [&] {
        return gLog->count - count0 >= kFrames &&
               boardStats().numOfRecvdMessages - s0.numOfRecvdMessages >= kFrames;
    });
    const BPPOS_STATS_T s1 = boardStats();
    const uint32_t arrived = gLog->count - count0;
    EXPECT_EQ(kFrames, arrived);
    EXPECT_EQ(s1.numOfRecvdMessages - s0.numOfRecvdMessages, arrived);
    EXPECT_EQ(static_cast<uint64_t>(arrived) * LEN_BD_BUFFER, gLog->payloadBytes - bytes0);
    EXPECT_EQ(0u, s1.numOfRecvDataQueueFullErrors - s0.numOfRecvDataQueueFullErrors);
    EXPECT_EQ(0u, s1.numOfCrcErrors + s1.numOfPacketFormatErrors);
}

}  // namespace
