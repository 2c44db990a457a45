// Serial-line gates on the UART model under the manual clock: what each
// protocol choice builds and programs (the BAC-M address included), a line
// message through the gate into the router mailbox and back out, a full
// mailbox that must not lose the BD, and the fatal protocol type.
#include "scigateapl.h"

#include "bacmapl.h"
#include "bdmailapl.h"
#include "hostgpio.h"
#include "hostuart.h"
#include "prototest.h"
#include "rawosapl.h"

namespace {

constexpr uint32_t PERIOD = 10;      // protocol worker period, ticks
constexpr uint32_t INTER_CHAR = 80;  // RAWoS silence, ticks

SCIGATE_CONFIG_T config(uint32_t protType, uint16_t uart, uint32_t parity)
{
    SCIGATE_CONFIG_T c{};
    c.source = static_cast<SOURCES_E>(SOURCE_SCI1 + uart - 1);
    c.uartIndex = uart;
    c.uartStandard = UART_STANDARD_RS232;
    c.uartBaudRate = 115200;
    c.uartWordLength = UART_WORD_LENGTH_8;
    c.uartStopBits = UART_STOP_BIT_1;
    c.uartParity = parity;
    c.protType = protType;
    c.bacmMaster = 0;
    c.protTicksRecvTimeout = 1000;
    c.bacmTicksAckWindow = 200;
    c.bacmPhysicalAddr = 5;
    c.rawosInterCharTimeout = INTER_CHAR;
    return c;
}

class SciGateTest : public ProtocolTest {
protected:
    void SetUp() override
    {
        ProtocolTest::SetUp();
        hostUartReset();
        hostGpioReset();
        hostHeapRouteNew(true);
        BdMail::Init();
        hostHeapRouteNew(false);
    }
    static SciGate* make(const SCIGATE_CONFIG_T& c)
    {
        hostHeapRouteNew(true);
        SciGate* g = new SciGate(c);
        hostHeapRouteNew(false);
        return g;
    }
    // One message on the line of a RAWoS gate, carried through driver and
    // protocol; what the gate handed on is left in the mailbox.
    static void lineIn(SciGate& g, const Bytes& data)
    {
        for (uint8_t b : data) hostUartRxFifoPut(g.uartIndex, b);
        g.uartHandle->Cycle();
        for (uint32_t t = 0; t <= INTER_CHAR + PERIOD; t += PERIOD) {
            advance(PERIOD);
            static_cast<RAWoS*>(g.protHandle)->WorkerCycle();
        }
    }
};

TEST_F(SciGateTest, EachProtocolGetsItsObjectAndTheUartItsFrame)
{
    struct Case {
        uint32_t protType;
        uint16_t uart;
        uint32_t parity;
        uint32_t lineControl;  // 8 data bits, one stop bit, parity as asked
    };
    const Case cases[] = {{SCI_PROT_TYPE_BACM, 1, UART_PARITY_NONE, 0x03},
                          {SCI_PROT_TYPE_RAWOS, 2, UART_PARITY_ODD, 0x0B}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.uart);
        SciGate* g = make(config(c.protType, c.uart, c.parity));
        EXPECT_NEAR(115200.0, hostUartState(c.uart).bitRate, 115200 * 0.01);
        EXPECT_EQ(c.lineControl, hostUartState(c.uart).lineControl);
        if (c.protType != SCI_PROT_TYPE_BACM) continue;
        // The slave answers a master's ACK to the configured address 5 with
        // its own ACK, address bit 7 set.
        for (uint8_t b : {0x05, 0x10, 0x06}) hostUartRxFifoPut(c.uart, b);
        g->uartHandle->Cycle();
        static_cast<BACM*>(g->protHandle)->WorkerCycle();
        g->uartHandle->Cycle();
        advance(1);
        std::vector<uint8_t> out(64);
        out.resize(hostUartTakeTx(c.uart, out.data(), out.size()));
        EXPECT_EQ((Bytes{0x85, 0x10, 0x06}), out);
    }
}

TEST_F(SciGateTest, LineMessageReachesTheMailboxStampedSendGoesOutAndAFullMailboxLosesNoBd)
{
    SciGate* g = make(config(SCI_PROT_TYPE_RAWOS, 3, UART_PARITY_NONE));
    lineIn(*g, {0x10, 0x02, 0x41});
    ASSERT_EQ(1u, BdMail::NumPending());
    BD* bd = nullptr;
    BdMail::Pend(&bd);
    EXPECT_EQ(SOURCE_SCI3, bd->Source());
    EXPECT_EQ(0u, bd->DestPort() + bd->SourcePort() + bd->DestIpAddr() + bd->SourceIpAddr());
    EXPECT_EQ((Bytes{0x10, 0x02, 0x41}), Bytes(bd->BufferPtr(), bd->BufferPtr() + bd->Load()));

    g->Send(bd);  // the gate copies; the caller keeps the BD
    BdPool::Put(bd);
    g->uartHandle->Cycle();
    advance(1);  // three characters at 115200 bit/s leave well within a tick
    std::vector<uint8_t> out(64);
    out.resize(hostUartTakeTx(3, out.data(), out.size()));
    EXPECT_EQ((Bytes{0x10, 0x02, 0x41}), out);

    // A message that finds the mailbox full goes back to the pool.
    fillMailbox();
    const uint32_t before = freeBds();
    lineIn(*g, {0x61});
    EXPECT_EQ(2u, statsOf<RAWOS_STATS_T>(*g->protHandle).numOfRecvdMessages);
    EXPECT_EQ(before, freeBds());
}

using SciGateDeathTest = SciGateTest;

TEST_F(SciGateDeathTest, UnknownProtocolTypeIsFatal)
{
    EXPECT_FATAL(make(config(2, 1, UART_PARITY_NONE)), EC_ERROR_INVALID_ARGUMENT,
                 "code= -20 module= scigateapl.cpp");
}

}  // namespace
