// UART driver against the UART model on the manual kernel clock: opening,
// line errors with injected line status, overruns of the receive FIFO,
// RS-232 transmission, RS-485 bursts with the RTS bit, the polled writer,
// the task's polling period, and the fatal configurations.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "errcodes.h"
#include "fakeprotocol.h"
#include "fwtest.h"
#include "hostgpio.h"
#include "hostuart.h"
#include "soc_uart.h"
#include "uartdrvapl.h"

namespace {

UARTDRV_CONFIG_T config(uint32_t index, uint32_t standard, uint32_t baud, IProtocol* prot,
                        uint32_t parity = UART_PARITY_NONE)
{
    return {index, standard, baud, UART_WORD_LENGTH_8, UART_STOP_BIT_1, parity, prot};
}

UARTDRV_STATS_T statsOf(UartDrv& drv)
{
    UARTDRV_STATS_T s;
    drv.GetStats(reinterpret_cast<uint8_t*>(&s));
    return s;
}

// Cycles the driver `cycles` times, 2 ticks apart, and returns what UART
// `index` put on the line meanwhile.
std::vector<uint8_t> cycleAndTake(UartDrv& drv, uint32_t index, int cycles)
{
    std::vector<uint8_t> line(1 << 16);
    size_t taken = 0;
    for (int i = 0; i < cycles; ++i) {
        drv.Cycle();
        taken += hostUartTakeTx(index, line.data() + taken, line.size() - taken);
        hostClockAdvance(2);
    }
    line.resize(taken);
    return line;
}

std::vector<uint8_t> pattern(size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
    return v;
}

class UartDrvTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostUartReset();
        hostGpioReset();
    }
    FakeProtocol prot;
};

TEST_F(UartDrvTest, OpenProgramsTheFrameAndTheTransceiver)
{
    UartDrv drv(config(1, UART_STANDARD_RS232, 19200, &prot, UART_PARITY_EVEN));
    EXPECT_EQ(0x1Bu, hostUartState(1).lineControl);
    EXPECT_EQ(11u, hostUartState(1).frameBits);  // start, 8 data, parity, stop
    // UART 1 is channel 0 of transceiver U9: RS-232 alone is mode 1 (M0, M1 low, M2 high).
    EXPECT_EQ(0u, hostGpioLevel(4, 20));
    EXPECT_EQ(0u, hostGpioLevel(4, 21));
    EXPECT_EQ(1u, hostGpioLevel(6, 13));
}

struct ErrorCase {
    const char* name;
    uint32_t lsr;
    uint32_t counter;  // index into UARTDRV_STATS_T, 1 = received
};

TEST_F(UartDrvTest, EachReceivedByteCountsOnceBreakFramingParityInThatOrder)
{
    UartDrv drv(config(1, UART_STANDARD_RS232, 115200, &prot));
    const ErrorCase cases[] = {
        {"clean", 0, 1},
        {"break with framing", UART_LSR_RX_BI | UART_LSR_RX_FE, 2},
        {"break, framing and parity", UART_LSR_RX_BI | UART_LSR_RX_FE | UART_LSR_RX_PE, 2},
        {"framing with parity", UART_LSR_RX_FE | UART_LSR_RX_PE, 3},
        {"parity", UART_LSR_RX_PE, 4},
    };
    using Counters = std::array<uint32_t, sizeof(UARTDRV_STATS_T) / sizeof(uint32_t)>;
    Counters expected{};
    std::vector<uint8_t> passed;
    uint8_t byte = 0x30;
    for (const ErrorCase& c : cases) {
        SCOPED_TRACE(c.name);
        hostUartRxFifoPut(1, byte, c.lsr);
        drv.Cycle();
        ++expected[c.counter];
        if (c.counter == 1) passed.push_back(byte);
        Counters got{};  // the record's counters in their order
        drv.GetStats(reinterpret_cast<uint8_t*>(got.data()));
        EXPECT_EQ(expected, got);
        EXPECT_EQ(passed, prot.received);
        EXPECT_EQ(0u, hostUartState(1).rxFifoLevel);
        ++byte;
    }
}

TEST_F(UartDrvTest, LinePacedBurstIsReceivedWhilePolledAndOverrunsWhenNot)
{
    UartDrv drv(config(1, UART_STANDARD_RS232, 115200, &prot));
    const std::vector<uint8_t> data = pattern(100);

    // Polled every 2 ms, a 100-byte burst (about 8.7 ms on the line) arrives whole.
    hostUartLineIn(1, data.data(), data.size());
    for (int i = 0; i < 10; ++i) {
        hostClockAdvance(2);
        drv.Cycle();
    }
    EXPECT_EQ(data, prot.received);
    EXPECT_EQ(100u, statsOf(drv).numOfBytesRecvd);
    EXPECT_EQ(0u, statsOf(drv).numOfOverrunErrors);

    // Not polled for 10 ms: the FIFO fills after 64 characters and the rest is
    // lost; the byte that carries the overrun flag is dropped, though it has
    // no other error.
    prot.received.clear();
    drv.ResetStats();
    hostUartLineIn(1, data.data(), data.size());
    hostClockAdvance(10);
    drv.Cycle();
    const UARTDRV_STATS_T s = statsOf(drv);
    EXPECT_EQ(1u, s.numOfOverrunErrors);
    EXPECT_EQ(63u, s.numOfBytesRecvd);
    EXPECT_EQ(0u, s.numOfBreakDetectedErrors + s.numOfFramingErrors + s.numOfParityErrors);
    EXPECT_EQ(std::vector<uint8_t>(data.begin() + 1, data.begin() + 64), prot.received);
}

TEST_F(UartDrvTest, Rs232SendsEverythingInOrderFillingTheFifoEachCycle)
{
    UartDrv drv(config(2, UART_STANDARD_RS232, 115200, &prot));
    const std::vector<uint8_t> data = pattern(300);
    prot.Queue(data);
    drv.Cycle();
    // 64 in the FIFO and one already in the shift register.
    EXPECT_EQ(65u, statsOf(drv).numOfBytesSent);
    EXPECT_EQ(64u, hostUartState(2).txFifoLevel);
    EXPECT_EQ(data, cycleAndTake(drv, 2, 40));
    EXPECT_EQ(300u, statsOf(drv).numOfBytesSent);
    EXPECT_EQ(0u, hostUartState(2).txLost);
    // RS-232 leaves the RTS bit alone.
    EXPECT_EQ(0u, hostUartState(2).rtsSets + hostUartState(2).rtsClears);
}

TEST_F(UartDrvTest, Rs485BurstLongerThanTheFifoIsOneBurst)
{
    UartDrv drv(config(3, UART_STANDARD_RS485, 115200, &prot));
    // Open turns the line driver off; idle cycles leave it off.
    const uint32_t setsAfterOpen = 1;
    EXPECT_EQ(setsAfterOpen, hostUartState(3).rtsSets);
    EXPECT_TRUE(hostUartState(3).rtsBit);
    const std::vector<uint8_t> data = pattern(200);
    prot.Queue(data);
    // The stopping state sleeps (moves the manual clock) until the line is empty.
    EXPECT_EQ(data, cycleAndTake(drv, 3, 20));
    EXPECT_EQ(1u, hostUartState(3).rtsClears);
    EXPECT_EQ(setsAfterOpen + 1, hostUartState(3).rtsSets);
    // Released only after the last stop bit: every byte was driven whole.
    EXPECT_EQ(0u, hostUartState(3).undrivenBytes);
    EXPECT_TRUE(hostUartState(3).rtsBit);
    EXPECT_TRUE(hostUartState(3).transmitterEmpty);

    // A second message is a second burst.
    prot.Queue(pattern(3));
    drv.Cycle();
    EXPECT_EQ(2u, hostUartState(3).rtsClears);
    EXPECT_EQ(setsAfterOpen + 2, hostUartState(3).rtsSets);
    EXPECT_EQ(0u, hostUartState(3).undrivenBytes);
}

TEST_F(UartDrvTest, PolledWritesOnClosedAndOpenUartsReadAndCloseThenOpenAgain)
{
    // UART 2 was never opened: the FIFO fills (nothing transmits) and the
    // writer must neither hang nor write into a full FIFO.
    for (int i = 0; i < 64; ++i) uartWriteByte(2, static_cast<uint8_t>(i));
    EXPECT_EQ(64u, hostUartState(2).txFifoLevel);
    uartWriteByte(2, 0xAA);
    EXPECT_EQ(64u, hostUartState(2).txFifoLevel);
    EXPECT_EQ(0u, hostUartState(2).txLost);
    // An index beyond the UARTs is dropped: this is the fatal path's writer.
    uartWriteByte(NUM_OF_UARTS, 0x55);

    uartClose(1);  // not open: nothing happens
    EXPECT_EQ(7u, hostUartState(1).mode);
    {
        UartDrv drv(config(1, UART_STANDARD_RS232, 115200, &prot));
        EXPECT_EQ(0u, hostUartState(1).mode);
        const std::string text = "polled\n";
        uartWriteBuffer(1, static_cast<uint32_t>(text.size()),
                        reinterpret_cast<const uint8_t*>(text.data()));
        const std::vector<uint8_t> line = cycleAndTake(drv, 1, 2);
        EXPECT_EQ(text, std::string(line.begin(), line.end()));
        hostUartRxFifoPut(1, 0x42, 0);
        EXPECT_EQ(0x42, uartReadByte(1));
    }
    uartClose(1);
    EXPECT_EQ(7u, hostUartState(1).mode);
    FakeProtocol other;
    UartDrv again(config(1, UART_STANDARD_RS232, 9600, &other));
    EXPECT_EQ(0u, hostUartState(1).mode);
}

// Cycles of the driver task in `ticks` of virtual time at a bit rate.
uint32_t cyclesIn(uint32_t index, uint32_t baud, uint32_t ticks)
{
    hostKernelReset(HostClockMode::Virtual);
    restartDrivers();
    FakeProtocol p;
    UartDrv drv(config(index, UART_STANDARD_RS232, baud, &p));
    hostKernelRun(ticks);
    return p.txCalls;
}

TEST_F(UartDrvTest, TaskPollsEvery2TicksAbove19200AndEvery8UpTo19200)
{
    EXPECT_NEAR(50.0, cyclesIn(1, 115200, 100), 1.0);
    EXPECT_NEAR(12.0, cyclesIn(3, 19200, 100), 1.0);
    EXPECT_NEAR(12.0, cyclesIn(2, 20000, 25), 1.0);
}

TEST_F(UartDrvTest, FatalConfigurations)
{
    const char* const argument = "FATAL ERROR: code= -20 module= uartdrvapl.cpp";
    const ERROR_CODES_E arg = EC_ERROR_INVALID_ARGUMENT;
    EXPECT_FATAL(UartDrv d(config(4, UART_STANDARD_RS232, 115200, &prot)), arg, argument);
    EXPECT_FATAL(UartDrv d(config(1, UART_STANDARD_RS232, 115200, nullptr)), arg, argument);
    EXPECT_FATAL(uartClose(4), arg, argument);
    EXPECT_FATAL(uartOpen(4, UART_STANDARD_RS232, 115200, 3, 0, 0), arg, argument);
    EXPECT_FATAL(UartDrv d(config(1, UART_STANDARD_NONE, 115200, &prot)), EC_ERROR_INVALID_SWITCH,
                 "code= -23 module= uartdrvapl.cpp");
    EXPECT_FATAL(UartDrv d(config(1, 4, 115200, &prot)), EC_ERROR_SXCRV_CONFIG,
                 "code= -61 module= sxcrvapl.cpp");
    // UART 2 sits on channel 0 of its transceiver, which has no RS-485.
    EXPECT_FATAL(UartDrv d(config(2, UART_STANDARD_RS485, 115200, &prot)), EC_ERROR_SXCRV_CONFIG,
                 "code= -61");
    UartDrv open(config(3, UART_STANDARD_RS232, 115200, &prot));
    EXPECT_FATAL(UartDrv d(config(3, UART_STANDARD_RS232, 115200, &prot)), EC_ERROR_UART_OPEN,
                 "code= -60 module= uartdrvapl.cpp");
    hostTaskCreateFailNext(1);
    EXPECT_FATAL(UartDrv d(config(1, UART_STANDARD_RS232, 115200, &prot)), EC_ERROR_TASK_CREATION,
                 "code= -10 module= uartdrvapl.cpp");
}

}  // namespace
