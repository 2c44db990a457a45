// Both host links in one process, in real time, with the host-link client
// on the McSPI model's Unix socket: link start-up, messages into the router
// mailbox (read here by a stand-in router that echoes port 7 back), the
// board's link going down behind a silent client and coming back after a
// reconnection, one master at a time, and the throughput of the link.
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
#include "process.h"
#include "prototest.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kEchoPort = 7;
constexpr size_t kKept = 64;  // messages the stand-in router keeps for inspection

struct RouterLog {
    std::mutex lock;
    Delivered kept[kKept];
    uint32_t numKept = 0;
    std::atomic<uint32_t> count{0};
    std::atomic<uint64_t> payloadBytes{0};
    BPPOS_STATS_T stats{};  // link 1's statistics, read each tick by the firmware
};
RouterLog* gLog = nullptr;
std::atomic<int> gLink[2];
std::atomic<bool> gProduce{false};
std::atomic<uint64_t> gProduced{0};

// Stand-in for the router: counts and keeps what arrives, echoes port 7.
void routerTask(UArg, UArg)
{
    for (;;) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        {
            std::lock_guard<std::mutex> l(gLog->lock);
            if (gLog->numKept < kKept) {
                Delivered& r = gLog->kept[gLog->numKept++];
                r.source = bd->Source();
                r.destPort = bd->DestPort();
                r.destIpAddr = bd->DestIpAddr();
                r.sourcePort = bd->SourcePort();
                r.sourceIpAddr = bd->SourceIpAddr();
                r.data.assign(bd->BufferPtr(), bd->BufferPtr() + bd->Load());
            }
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

// Builds the links like the main task, then watches their state and, on
// request, keeps link 1's transmit FIFO full of the largest frames.
void mainTask(UArg, UArg)
{
    Config::Init();
    BD* big = BdPool::Get();
    static const uint8_t payload[LEN_BD_BUFFER] = {0x41};
    big->Copy(LEN_BD_BUFFER, payload);
    big->DestPort(netPort(2000));
    for (;;) {
        for (int i = 0; i < 2; ++i) {
            alignas(uint32_t) uint8_t raw[sizeof(BPPOS_STATS_T)];
            hSpiGate[i]->GetProtStats(raw);
            BPPOS_STATS_T s;
            std::memcpy(&s, raw, sizeof s);
            gLink[i] = static_cast<int>(s.linkActivity);
            if (i == 0) {
                std::lock_guard<std::mutex> l(gLog->lock);
                gLog->stats = s;
            }
        }
        while (gProduce && hSpiGate[0]->protHandle->Send(big) == EC_SUCCESS) {
            ++gProduced;
        }
        ti_sysbios_knl_Task_sleep(1);
    }
}

class HostLinkSocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hostKernelReset(HostClockMode::Real);
        hostHeapReset();
        hostSetHaltHandler(nullptr);
        BdPool::Init();
        hostHeapRouteNew(true);
        BdMail::Init();
        hostHeapRouteNew(false);
        gLog = new RouterLog;
        gLink[0] = gLink[1] = -1;
        dir = makeTempDir();
        hostBoardConfig().runDir = dir;
        hostBoardConfig().spi[0] = "unix";
        hostBoardConfig().spi[1] = "unix";
        hostMcspiReset(true);
        spawn(mainTask, 1, "main");
        spawn(routerTask, 2, "router");
        kernel = std::thread([] { hostKernelRun(UINT64_MAX); });
        ASSERT_TRUE(waitFor([] { return !hostMcspiEndpoint(0).empty(); }, 2000));
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

    template <typename Pred>
    static bool waitFor(Pred pred, int ms)
    {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!pred()) {
            if (Clock::now() > end) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    static hostlink::ClientOptions unthrottled()
    {
        hostlink::ClientOptions o;
        o.link.maxTxBytesPerSec = 0;
        return o;
    }

    std::string dir;
    std::thread kernel;
};

TEST_F(HostLinkSocketTest, ClientBringsTheLinkUpAndMessagesCrossTheSocket)
{
    hostlink::Client client;
    std::string error;
    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0), &error)) << error;
    const auto t0 = Clock::now();
    EXPECT_TRUE(client.waitLink(true, 2500));  // the board's keep-alive reached us
    EXPECT_TRUE(waitFor([] { return gLink[0] == LINK_UP; }, 2500));
    std::printf("links up after %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           Clock::now() - t0)
                                           .count()));
    EXPECT_EQ(LINK_DOWN, gLink[1].load()) << "link 2 has no client";

    hostlink::Message m;
    m.destPort = 2010;
    m.destAddr = 0x0A500001;
    m.sourcePort = 2011;
    m.sourceAddr = 0x0A500010;
    m.payload = {0x10, 0x02, 0x16, 0x10, 0x03};
    client.send(m);
    ASSERT_TRUE(waitFor([] { return gLog->count >= 1; }, 2000));
    {
        std::lock_guard<std::mutex> l(gLog->lock);
        const Delivered& r = gLog->kept[0];
        EXPECT_EQ(SOURCE_SPI1, r.source);
        EXPECT_EQ(netPort(2010), r.destPort);
        EXPECT_EQ(netAddr(10, 80, 0, 1), r.destIpAddr);
        EXPECT_EQ(netPort(2011), r.sourcePort);
        EXPECT_EQ(netAddr(10, 80, 0, 16), r.sourceIpAddr);
        EXPECT_EQ(m.payload, r.data);
    }

    m.destPort = kEchoPort;
    client.send(m);
    hostlink::Message back;
    ASSERT_TRUE(client.waitMessage(back, 2000));
    EXPECT_EQ(m.sourcePort, back.destPort);
    EXPECT_EQ(m.sourceAddr, back.destAddr);
    EXPECT_EQ(kEchoPort, back.sourcePort);
    EXPECT_EQ(m.destAddr, back.sourceAddr);
    EXPECT_EQ(m.payload, back.payload);
}

TEST_F(HostLinkSocketTest, SilentClientTakesTheLinkDownAndAReconnectionBringsItBack)
{
    hostlink::Client client;
    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0)));
    ASSERT_TRUE(waitFor([] { return gLink[0] == LINK_UP; }, 2500));

    // Still clocking, but silent: the board gives up after more than 2 s.
    client.setKeepAlive(false);
    const auto t0 = Clock::now();
    ASSERT_TRUE(waitFor([] { return gLink[0] == LINK_DOWN; }, 4000));
    const auto silentMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_GT(silentMs, 900);  // the last keep-alive left at most a second before
    client.disconnect();

    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0)));
    client.sendConnection();
    EXPECT_TRUE(waitFor([] { return gLink[0] == LINK_UP; }, 1500));
    EXPECT_TRUE(client.waitLink(true, 2500));
}

TEST_F(HostLinkSocketTest, ASecondMasterIsTurnedAwayWhileOneIsConnected)
{
    hostlink::Client first;
    ASSERT_TRUE(first.connect(hostMcspiEndpoint(0)));
    ASSERT_TRUE(first.waitLink(true, 2500));
    hostlink::Client second;
    second.connect(hostMcspiEndpoint(0));
    EXPECT_TRUE(waitFor([&] { return !second.connected(); }, 3000));
    EXPECT_TRUE(first.connected());
    second.disconnect();
    first.disconnect();
    // The bus is free again.
    hostlink::Client third;
    ASSERT_TRUE(third.connect(hostMcspiEndpoint(0)));
    EXPECT_TRUE(third.waitLink(true, 2500));
}

// The firmware's own reading, at most a tick old: the test thread does not
// touch firmware state while the firmware runs.
BPPOS_STATS_T boardStats()
{
    std::lock_guard<std::mutex> l(gLog->lock);
    return gLog->stats;
}

// Sends `frames` frames of the largest payload; returns the payload rate
// that reached the router and checks that whatever the board took whole
// arrived whole.
double sendAndCount(hostlink::Client& client, int frames, uint32_t& arrived, uint32_t& dropped)
{
    const BPPOS_STATS_T s0 = boardStats();
    const uint32_t count0 = gLog->count;
    const uint64_t bytes0 = gLog->payloadBytes;
    hostlink::Message m;
    m.destPort = 2000;
    m.payload.assign(LEN_BD_BUFFER, 0x55);
    const auto t0 = Clock::now();
    for (int i = 0; i < frames; ++i) client.send(m);
    EXPECT_TRUE(client.waitSent(60000));
    // Every frame is in the board once clocked; give the worker its pass.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const BPPOS_STATS_T s1 = boardStats();
    arrived = gLog->count - count0;
    dropped = s1.numOfRecvDataQueueFullErrors - s0.numOfRecvDataQueueFullErrors;
    EXPECT_EQ(s1.numOfRecvdMessages - s0.numOfRecvdMessages, arrived);
    EXPECT_EQ(static_cast<uint64_t>(arrived) * LEN_BD_BUFFER, gLog->payloadBytes - bytes0);
    return static_cast<double>(arrived) * LEN_BD_BUFFER / secs;
}

constexpr double kSpiBytesPerSec = 9216000.0 / 8;

// A measurement more than a check: the rates depend on the host and the
// build. What must hold anywhere: nothing moves faster than the SPI clock,
// and nothing arrives corrupted.
TEST_F(HostLinkSocketTest, ThroughputEachWayStaysWithinTheSpiClock)
{
    hostlink::Client client(unthrottled());
    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0)));
    ASSERT_TRUE(waitFor([] { return gLink[0] == LINK_UP; }, 2500));
    ASSERT_TRUE(client.waitLink(true, 2500));

    // Board to host: the board keeps its transmit FIFO full for two seconds.
    const hostlink::LinkStats before = client.stats();
    gProduce = true;
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(2));
    gProduce = false;
    const hostlink::LinkStats after = client.stats();
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    const double clocked = static_cast<double>(after.bytesClocked - before.bytesClocked) / secs;
    const double payloadDown =
        static_cast<double>(after.payloadBytesReceived - before.payloadBytesReceived) / secs;
    std::printf("board->host: %.0f B/s clocked, %.0f B/s payload = %.1f%% of the %.0f B/s "
                "of the SPI clock\n",
                clocked, payloadDown, 100.0 * payloadDown / kSpiBytesPerSec, kSpiBytesPerSec);
    EXPECT_LE(clocked, kSpiBytesPerSec * 1.02) << "the model clocks faster than the SPI clock";
    EXPECT_GT(after.framesReceived, before.framesReceived);
    EXPECT_EQ(0u, after.crcErrors + after.formatErrors + after.shortTexts);

    // Host to board, unthrottled and capped: the board's receive FIFO
    // overflows once more than 8 KiB arrive within one worker period.
    const uint32_t caps[] = {0, 800000, hostlink::LinkConfig().maxTxBytesPerSec};
    for (uint32_t cap : caps) {
        client.setMaxTxBytesPerSec(cap);
        uint32_t arrived = 0;
        uint32_t dropped = 0;
        const int kFrames = 300;
        const double up = sendAndCount(client, kFrames, arrived, dropped);
        std::printf("host->board, cap %u B/s (0 = none): %u of %d frames arrived, %.0f B/s payload "
                    "= %.1f%% of the SPI clock, %u bytes dropped on a full receive FIFO\n",
                    cap, arrived, kFrames, up, 100.0 * up / kSpiBytesPerSec, dropped);
        EXPECT_LE(up, kSpiBytesPerSec * 1.02);
    }
}

TEST_F(HostLinkSocketTest, APacedClientLosesNothing)
{
    hostlink::ClientOptions o;
    o.link.maxTxBytesPerSec = 100000;  // a rate even a slow host build keeps up with
    hostlink::Client client(o);
    ASSERT_TRUE(client.connect(hostMcspiEndpoint(0)));
    ASSERT_TRUE(client.waitLink(true, 2500));
    uint32_t arrived = 0;
    uint32_t dropped = 0;
    const double up = sendAndCount(client, 100, arrived, dropped);
    std::printf("host->board at most 100000 B/s: %.0f B/s payload\n", up);
    EXPECT_EQ(100u, arrived);
    EXPECT_EQ(0u, dropped);
    EXPECT_EQ(0u, boardStats().numOfCrcErrors + boardStats().numOfPacketFormatErrors);
}

}  // namespace
