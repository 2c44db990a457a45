// The router task on virtual time, with recording protocols in place of the
// host links' and serial lines' and the in-memory IP gates: the
// configuration loop and its format checks, the switch to the steady loop,
// every forwarding row with the addressing it stamps, the counters, the test
// points, and every BD back in the pool.
#include "routerapl.h"

#include "routingtest.h"
#include "standin_net.h"
#include "taskapl.h"

namespace {

Delivered seenOf(const BD* bd)
{
    return {bd->Source(),       bd->DestPort(),
            bd->DestIpAddr(),   bd->SourcePort(),
            bd->SourceIpAddr(), Bytes(bd->BufferPtr(), bd->BufferPtr() + bd->Load())};
}

// Records what the router sends; copies, as every protocol does.
class Recorder : public IProtocol {
public:
    void EnableLog() override {}
    ERROR_CODES_E Send(BD* bd) override
    {
        if (refuse) return EC_FAIL;  // as a link that is down or a full FIFO
        got.push_back(seenOf(bd));
        return EC_SUCCESS;
    }
    void ResetStats() override {}
    void GetStats(uint8_t*) override {}
    void RxDataHandler(uint8_t) override {}
    ERROR_CODES_E TxDataHandler(uint8_t&) override { return EC_FAIL; }
    std::vector<Delivered> got;
    bool refuse = false;
};

Recorder gHost[2];
Recorder gLine[3];
std::vector<Delivered> gEth[2];
void recordEth(uint32_t ethIndex, const BD* bd) { gEth[ethIndex].push_back(seenOf(bd)); }

void script();
bool gUnknownSource = false;  // the script configures, then routes a BD of no source

// Plays the host and the gates (priority above the router), then stops the run.
void scriptTask(UArg, UArg)
{
    script();
    hostKernelStop();
    for (;;) ti_sysbios_knl_Task_sleep(1000);
}

class RouterTest : public RoutingTest {
protected:
    void SetUp() override
    {
        RoutingTest::SetUp();
        StartBoard(HostClockMode::Virtual);
        hSpiGate[0]->protHandle = &gHost[0];
        hSpiGate[1]->protHandle = &gHost[1];
        standin::onSend(recordEth);
        hostHeapRouteNew(true);
        Router::Init();
        ASSERT_NE(nullptr, taskCreateOrNull({"script", 3, 4096, scriptTask, 0, 0}));
        hostHeapRouteNew(false);
    }

public:
    // Addressing the router must keep, unless it stamps its own.
    static void Post(SOURCES_E source, uint16_t destPort, const Bytes& data)
    {
        BD* bd = BdPool::Get();
        bd->Source(source);
        bd->DestPort(destPort);
        bd->SourcePort(0x1111);
        bd->DestIpAddr(0x01020304);
        bd->SourceIpAddr(0x05060708);
        bd->Copy(static_cast<uint32_t>(data.size()), const_cast<uint8_t*>(data.data()));
        EXPECT_EQ(EC_SUCCESS, BdMail::Post(bd));
    }
    // Lets the router handle everything posted and the console print it.
    static void Run() { ti_sysbios_knl_Task_sleep(20); }
};

TEST_F(RouterTest, ConfiguresThenForwardsEveryRowWithItsAddressing)
{
    hostKernelRun(UINT64_MAX);
    EXPECT_FALSE(hostFirmwareHalted());
}

TEST_F(RouterTest, ASourceWithoutARowStopsTheSteadyLoop)
{
    EXPECT_FATAL(
        {
            gUnknownSource = true;
            hostKernelRun(UINT64_MAX);
        },
        EC_ERROR_INVALID_SWITCH, "code= -23 module= routerapl.cpp");
}

void script()
{
    using T = RouterTest;
    if (gUnknownSource) {
        T::Post(SOURCE_SPI1, PORT_CONFIG, workedExampleOnRs232());
        T::Post(SOURCE_SPI2, PORT_CONFIG, group1Fields().Build());
        T::Post(SOURCE_NONE, netPort(2000), {0x01});
        T::Run();
        return;
    }
    constexpr uint32_t TP_PORT = 5, TP4_PIN = 28, TP5_PIN = 29;
    T::Run();
    EXPECT_EQ("Waiting for configuration...\n", T::ConsoleOut(false));

    // Unconfigured: only configuration traffic; format checks counted.
    T::Post(SOURCE_SPI1, netPort(2010), {0x96, 0xE1});
    T::Post(SOURCE_SPI1, PORT_CONFIG, {0x96});
    T::Post(SOURCE_SPI1, PORT_CONFIG, {0x97, 0xE1});
    T::Post(SOURCE_SPI1, PORT_CONFIG, {0x96, 0xE0});
    T::Run();
    EXPECT_EQ(
        "ERROR: Invalid ZOK message format (length).\n"
        "ERROR: Invalid ZOK message format (BC).\n"
        "ERROR: Invalid ZOK message format (BM) .\n",
        T::ConsoleOut(false));
    ROUTER_STATS_T s;  // state, to route, format errors
    Router::GetStats(s);
    EXPECT_EQ(std::make_tuple(0u, 4u, 3u),
              std::tie(s.routerState, s.numOfMsgsToRoute, s.numOfMsgFormatErrors));
    EXPECT_TRUE(gHost[0].got.empty());
    EXPECT_EQ(8u, hostGpioChanges(TP_PORT, TP4_PIN)) << "one pulse per message";
    EXPECT_EQ(0u, hostGpioLevel(TP_PORT, TP4_PIN));

    T::Post(SOURCE_SPI1, PORT_CONFIG, workedExampleOnRs232());
    T::Run();
    ASSERT_EQ(1u, gHost[0].got.size()) << "group 0's status answer";
    EXPECT_EQ(SOURCE_ZOK1, gHost[0].got[0].source);
    Router::GetStats(s);
    EXPECT_EQ(0u, s.routerState);
    T::Post(SOURCE_SPI2, PORT_CONFIG, group1Fields().Build());
    T::Run();
    EXPECT_EQ("Configuration complete.\n", T::ConsoleOut(false));
    ASSERT_EQ(1u, gHost[1].got.size()) << "group 1's answer, sent by the steady loop";
    EXPECT_EQ(SOURCE_ZOK2, gHost[1].got[0].source);
    EXPECT_EQ(PORT_CONFIG, gHost[1].got[0].destPort);
    Router::GetStats(s);
    EXPECT_EQ(1u, s.routerState);
    EXPECT_EQ(0u, hostGpioChanges(TP_PORT, TP5_PIN) % 2);
    const uint32_t tp5Before = hostGpioChanges(TP_PORT, TP5_PIN);
    gHost[0].got.clear();
    gHost[1].got.clear();
    for (uint16_t k = 0; k < 3; ++k) hSciGate[k]->protHandle = &gLine[k];

    const uint16_t sci1 = netPort(2010), sci2 = netPort(2011);
    const uint32_t sciAddr = netAddr(10, 80, 0, 1);
    struct Row {
        SOURCES_E source;
        uint16_t destPort;
        std::vector<Delivered>* to;  // null: nowhere
        uint16_t stampedPort;        // 0: addressing kept
    };
    const Row rows[] = {
        {SOURCE_SPI1, sci1, &gLine[0].got, 0},
        {SOURCE_SPI1, sci2, &gLine[1].got, 0},
        {SOURCE_SPI1, netPort(2000), &gEth[0], 0},
        {SOURCE_SPI1, netPort(4000), nullptr, 0},  // no such port on Ethernet 0
        {SOURCE_SPI2, sci1, &gLine[2].got, 0},
        {SOURCE_SPI2, sci2, nullptr, 0},  // group 1 has no second line
        {SOURCE_SPI2, netPort(53300), &gEth[1], 0},
        {SOURCE_ETH0, netPort(2001), &gHost[0].got, 0},
        {SOURCE_ZOK1, PORT_CONFIG, &gHost[0].got, 0},
        {SOURCE_ETH1, netPort(2002), &gHost[1].got, 0},
        {SOURCE_ZOK2, PORT_CONFIG, &gHost[1].got, 0},
        {SOURCE_SCI1, netPort(7), &gHost[0].got, sci1},
        {SOURCE_SCI2, netPort(7), &gHost[0].got, sci2},
        {SOURCE_SCI3, netPort(7), &gHost[1].got, sci1},
    };
    std::vector<std::vector<Delivered>*> targets = {&gLine[0].got, &gLine[1].got, &gLine[2].got,
                                                    &gEth[0],      &gEth[1],      &gHost[0].got,
                                                    &gHost[1].got};
    for (size_t i = 0; i < std::size(rows); ++i)
        T::Post(rows[i].source, rows[i].destPort, {static_cast<uint8_t>(i), 0x10});
    T::Run();
    for (size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(i);
        const Row& r = rows[i];
        for (std::vector<Delivered>* t : targets) {
            const bool expected = t == r.to;
            bool found = false;
            for (const Delivered& g : *t) {
                if (g.data[0] != i) continue;
                found = true;
                EXPECT_TRUE(expected) << "delivered where it does not belong";
                EXPECT_EQ(r.stampedPort ? r.stampedPort : r.destPort, g.destPort);
                EXPECT_EQ(r.stampedPort ? r.stampedPort : 0x1111, g.sourcePort);
                EXPECT_EQ(r.stampedPort ? sciAddr : 0x01020304u, g.destIpAddr);
                EXPECT_EQ(r.stampedPort ? sciAddr : 0x05060708u, g.sourceIpAddr);
                EXPECT_EQ((Bytes{static_cast<uint8_t>(i), 0x10}), g.data);
            }
            EXPECT_EQ(expected, found);
        }
    }
    // Destinations that refuse: each BD counted once, whatever the cause.
    gLine[2].refuse = gHost[0].refuse = true;
    T::Post(SOURCE_SPI2, sci1, {0x01});
    T::Post(SOURCE_SCI1, netPort(7), {0x02});
    T::Post(SOURCE_ETH0, netPort(2001), {0x03});
    T::Run();
    gLine[2].refuse = gHost[0].refuse = false;
    Router::GetStats(s);  // two configurations, two answers besides the rows
    EXPECT_EQ(std::make_tuple(1u, 3u, 3u, 11u + std::size(rows)),
              std::tie(s.numOfUnknownUdpPortErrors, s.numOfMsgFormatErrors,
                       s.numOfSendRefusedErrors, s.numOfMsgsToRoute));
    EXPECT_EQ(2 * (std::size(rows) + 3), hostGpioChanges(TP_PORT, TP5_PIN) - tp5Before);
    EXPECT_EQ(0u, hostGpioLevel(TP_PORT, TP5_PIN));

    Router::ResetStats();
    Router::GetStats(s);
    EXPECT_EQ(1u, s.routerState);
    EXPECT_EQ(0u, s.numOfMsgsToRoute + s.numOfMsgFormatErrors + s.numOfUnknownUdpPortErrors +
                      s.numOfSendRefusedErrors);
    BDPOOL_STATS_T pool;
    BdPool::GetStats(pool);
    EXPECT_EQ(NUM_BDS, pool.numOfFreeBds);
    EXPECT_EQ("", T::ConsoleOut(false));
}

}  // namespace
