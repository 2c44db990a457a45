// Peripheral models on the manual kernel clock: the UART's character timing,
// line status and input, and its Linux side held back instead of losing
// bytes; the McSPI words at the SPI rate; bus faults on misuse; the RTC's
// lock, BCD calendar and roll-over; the control module's fused MAC words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fwtest.h"
#include "hostkernel.h"
#include "hostmcspi.h"
#include "hostrtc.h"
#include "hostuart.h"
#include "hwreg.h"
#include "kernel.h"
#include "soc_gpio.h"
#include "soc_mcspi.h"
#include "soc_sys.h"
#include "soc_uart.h"

namespace {

constexpr uint32_t UART1 = SOC_UART1_BASE;
constexpr uint32_t LSR_TX_EMPTY = 0x60;

class UartModelTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostUartReset();
        // 9600 bit/s, 8 data bits, no parity, 1 stop bit: 10 bits per character.
        UARTModuleReset(UART1);
        UARTDivisorLatchWrite(UART1, UARTDivisorValCompute(SOC_UART_CLOCK_HZ, 9600, 0, 42));
        UARTLineCharacConfig(UART1, 3, 0);
        UARTOperatingModeSelect(UART1, 0);
    }
    static std::vector<uint8_t> Take()
    {
        std::vector<uint8_t> v(256);
        v.resize(hostUartTakeTx(1, v.data(), v.size()));
        return v;
    }
};

TEST_F(UartModelTest, CharactersLeaveAndArriveOneCharacterTimeApartButNotOnADisabledUart)
{
    for (uint8_t b = 1; b <= 10; ++b) UARTFIFOCharPut(UART1, b);
    EXPECT_EQ(0u, UARTIsTransmitterEmpty(UART1));
    hostClockAdvance(5);  // about 4.8 character times
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), Take());
    EXPECT_EQ(5u, hostUartState(1).txFifoLevel);  // the fifth is in the shift register
    hostClockAdvance(6);
    EXPECT_EQ((std::vector<uint8_t>{5, 6, 7, 8, 9, 10}), Take());
    EXPECT_EQ(LSR_TX_EMPTY, UARTReadStatus(UART1) & LSR_TX_EMPTY);
    EXPECT_NE(0u, UARTIsTransmitterEmpty(UART1));

    const uint8_t data[] = {1, 2, 3, 4, 5, 6};
    hostUartLineIn(1, data, sizeof(data));
    EXPECT_EQ(0u, hostUartState(1).rxFifoLevel);
    hostClockAdvance(3);  // about 2.9 character times
    EXPECT_EQ(2u, hostUartState(1).rxFifoLevel);
    hostClockAdvance(10);
    EXPECT_EQ(6u, hostUartState(1).rxFifoLevel);
    UARTOperatingModeSelect(UART1, 7);
    hostUartLineIn(1, data, sizeof(data));
    hostClockAdvance(10);
    EXPECT_EQ(6u, hostUartState(1).rxFifoLevel);
}

// Simulated time is what paces the line: a writer faster than the line is
// held back by the line-in queue and a taker slower than the line holds the
// transmitter, and neither loses a byte or sees more per tick than the
// line carries. A writer whose thread a busy host wakes only every few
// hundred ticks still keeps the line busy.
TEST_F(UartModelTest, LineRateHoldsBackAFastWriterAndASlowTakerHoldsTheTransmitter)
{
    struct Case {
        uint32_t rate;
        uint32_t lineControl;
        uint32_t frameBits;
        uint64_t writerEvery;  // ticks between the writer's turns
    };
    const Case cases[] = {
        {9600, 0x03, 10, 1}, {19200, 0x1E, 11, 1}, {115200, 0x03, 10, 1}, {115200, 0x03, 10, 400}};
    constexpr uint64_t NS_PER_TICK = 1000000;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " bit/s, writer every " << c.writerEvery);
        UARTModuleReset(UART1);
        const uint32_t divisor = UARTDivisorValCompute(SOC_UART_CLOCK_HZ, c.rate, 0, 42);
        UARTDivisorLatchWrite(UART1, divisor);
        UARTLineCharacConfig(UART1, c.lineControl & 0x07, c.lineControl & 0x38);
        UARTOperatingModeSelect(UART1, 0);
        ASSERT_EQ(c.frameBits, hostUartState(1).frameBits);
        const uint64_t charNs =
            uint64_t{c.frameBits} * 1000000000 * 16 * divisor / SOC_UART_CLOCK_HZ;
        const uint64_t perTick = (NS_PER_TICK + charNs - 1) / charNs;
        // Far more than the model takes ahead (a second of line time) fits
        // in a PTY.
        constexpr uint64_t AHEAD_TICKS = 1000;
        const size_t total = 3 * AHEAD_TICKS * NS_PER_TICK / charNs;
        std::vector<uint8_t> sent;
        for (size_t i = 0; i < total; ++i) sent.push_back(static_cast<uint8_t>(i * 7 + 1));

        // Receive: the writer offers all it has every tick; the line takes
        // what is close to landing, and the firmware reads every tick.
        std::vector<uint8_t> got;
        size_t offered = 0;
        const uint64_t t0 = hostClockTicks64();
        for (uint64_t t = 1; got.size() < total && t < 4 * AHEAD_TICKS; ++t) {
            if (t % c.writerEvery == 1 % c.writerEvery) {
                const size_t room = std::min(hostUartLineInRoom(1), total - offered);
                hostUartLineIn(1, sent.data() + offered, room);
                offered += room;
            }
            EXPECT_LE(offered - got.size(), (AHEAD_TICKS + 2) * NS_PER_TICK / charNs + 16)
                << "held back";
            hostClockAdvance(1);
            while (UARTCharsAvail(UART1) != 0) {
                EXPECT_EQ(0u, UARTReadStatus(UART1) & UART_LSR_RX_OE);
                got.push_back(UARTFIFOCharGet(UART1));
            }
            // One character time after another, with no gap while the
            // writer has more.
            if (offered < total) {
                ASSERT_EQ((hostClockTicks64() - t0) * NS_PER_TICK / charNs, got.size()) << t;
            }
        }
        EXPECT_EQ(sent, got);

        // Transmit: bytes that left wait for a taker that takes two every
        // third tick; beyond four of them the shift register holds.
        hostUartSetLineOutLimit(1, 4);
        for (size_t i = 0; i < 60; ++i) UARTFIFOCharPut(UART1, sent[i]);
        std::vector<uint8_t> taken;
        size_t leftBefore = 0;
        for (uint64_t t = 1; taken.size() < 60 && t < 1000; ++t) {
            hostClockAdvance(1);
            const HostUartState st = hostUartState(1);
            const size_t left = 60 - st.txFifoLevel - (st.transmitterEmpty ? 0 : 1);
            EXPECT_LE(left - leftBefore, perTick) << t;
            EXPECT_LE(left - taken.size(), 4u) << t;
            leftBefore = left;
            if (t % 3 == 0) {
                uint8_t two[2];
                taken.insert(taken.end(), two, two + hostUartTakeTx(1, two, 2));
            }
        }
        EXPECT_EQ(std::vector<uint8_t>(sent.begin(), sent.begin() + 60), taken);
        EXPECT_EQ(0u, hostUartState(1).txLost);
        EXPECT_TRUE(hostUartState(1).transmitterEmpty);
        hostUartSetLineOutLimit(1, SIZE_MAX);
    }
}

// A far end that the host runs seconds late holds nothing back: the line
// carries on at its rate, as a real one does, and the bytes wait.
TEST_F(UartModelTest, ALineCarriesOnWhileItsTakerIsSecondsLate)
{
    constexpr size_t kFifo = 64;
    constexpr size_t kBytes = 4096;  // over four seconds at 9600 bit/s
    constexpr uint32_t kTicks = 10;
    for (size_t sent = 0, turns = 0; sent < kBytes && turns < kBytes; ++turns) {
        while (sent < kBytes && hostUartState(1).txFifoLevel < kFifo) {
            UARTFIFOCharPut(UART1, static_cast<uint8_t>(sent++));
        }
        hostClockAdvance(kTicks);
    }
    hostClockAdvance(kFifo * 2);  // the last FIFO's worth at about 1 ms a character
    EXPECT_TRUE(hostUartState(1).transmitterEmpty);
    std::vector<uint8_t> all(kBytes + 1);
    all.resize(hostUartTakeTx(1, all.data(), all.size()));
    ASSERT_EQ(kBytes, all.size());
    for (size_t i = 0; i < kBytes; ++i) ASSERT_EQ(static_cast<uint8_t>(i), all[i]) << i;
}

TEST_F(UartModelTest, LineStatusShowsTheFirstCharacterAndErrorsFurtherIn)
{
    hostUartRxFifoPut(1, 'a', 0);
    hostUartRxFifoPut(1, 'b', UART_LSR_RX_PE);
    uint32_t lsr = UARTReadStatus(UART1);
    EXPECT_EQ(UART_LSR_RX_FIFO_STS, lsr & UART_LSR_RX_FIFO_STS);
    EXPECT_EQ(0u, lsr & UART_LSR_RX_PE);                      // 'a' itself is clean
    EXPECT_EQ(UART_LSR_RX_FIFO_E, lsr & UART_LSR_RX_FIFO_E);  // 'b' further in is not
    EXPECT_EQ('a', UARTFIFOCharGet(UART1));
    lsr = UARTReadStatus(UART1);
    EXPECT_EQ(UART_LSR_RX_PE, lsr & UART_LSR_RX_PE);
    EXPECT_EQ('b', UARTFIFOCharGet(UART1));
    EXPECT_EQ(0u, UARTCharsAvail(UART1));
    EXPECT_EQ(0u, UARTReadStatus(UART1) & (UART_LSR_RX_FIFO_E | UART_LSR_RX_FIFO_STS));
}

// Every model answers misuse as the SoC's bus would: the run stops and names
// the address or line, so a wrong base in a driver's table fails its tests.
TEST_F(UartModelTest, MisuseIsABusFaultNamingTheAddressOrLine)
{
    struct Case {
        void (*misuse)();
        std::string message;
    };
    const auto hex = [](uint32_t addr) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", addr);
        return std::string(text);
    };
    const Case cases[] = {
        {[] { regRead32(SOC_WDT1_BASE + 0x1000); },
         "register read at " + hex(SOC_WDT1_BASE + 0x1000)},
        {[] { regWrite32(SOC_RTC_BASE - 4, 1); },
         "register write of 0x00000001 at " + hex(SOC_RTC_BASE - 4)},
        {[] { UARTCharsAvail(SOC_UART1_BASE + 0x100); },
         "UART call at " + hex(SOC_UART1_BASE + 0x100)},
        {[] { hostUartState(SOC_NUM_UARTS); }, "UART 4 does not exist"},
        {[] { McSPIReset(SOC_MCSPI4_BASE + 0x100); },
         "McSPI call at " + hex(SOC_MCSPI4_BASE + 0x100)},
        {[] { GPIOModuleEnable(SOC_GPIO1_BASE + 0x1000); },
         "GPIO call at " + hex(SOC_GPIO1_BASE + 0x1000)},
        {[] { GPIOPinRead2(SOC_GPIO1_BASE, 32); }, "GPIO pin 32 at " + hex(SOC_GPIO1_BASE)},
        {[] { ti_sysbios_hal_Hwi_create(256, nullptr, 0); }, "interrupt line 256 out of range"},
        {[] { hostIrqRaise(300); }, "interrupt line 300 out of range"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        EXPECT_EXIT(c.misuse(), ::testing::ExitedWithCode(HOST_BUS_FAULT_EXIT_STATUS),
                    "zok2gw: bus fault: " + c.message);
    }
}

// A socket master's words are clocked one word time of the programmed SPI
// clock apart in simulated time, each answered by what the handler left
// after the word before; a master faster than that waits, nothing is lost.
using McspiModelTest = FirmwareTest;

TEST_F(McspiModelTest, SocketWordsAtTheSpiRateAnsweredByTheHandler)
{
    constexpr uint32_t BASE = SOC_MCSPI2_BASE;
    constexpr uint64_t NS_PER_TICK = 1000000;
    static std::vector<uint8_t> received;
    const auto isr = [](UArg) {
        const auto v = static_cast<uint8_t>(McSPIReceiveData(BASE, 0));
        received.push_back(v);
        McSPITransmitData(BASE, v ^ 0xFFu, 0);
        McSPIIntStatusClear(BASE, MCSPI_INT_RX_FULL_CH0);
    };
    ASSERT_NE(nullptr, ti_sysbios_hal_Hwi_create(SOC_MCSPI2_INT, isr, 0));
    ti_sysbios_hal_Hwi_enableInterrupt(SOC_MCSPI2_INT);
    for (const uint32_t hz : {16000u, 48000u, 9216000u}) {
        SCOPED_TRACE(hz);
        hostMcspiReset(false);
        received.clear();
        McSPIClkConfig(BASE, 48000000, hz, 0, 0);
        McSPIChannelEnable(BASE, 0);
        McSPIIntEnable(BASE, MCSPI_INT_RX_FULL_CH0);
        const uint64_t wordNs = 8 * 1000000000ull / hz;
        const size_t total = 12 * NS_PER_TICK / wordNs + 80;
        std::vector<uint8_t> in;
        for (size_t i = 0; i < total; ++i) in.push_back(static_cast<uint8_t>(i * 13 + 5));
        std::vector<uint8_t> out;
        size_t sent = 0;
        for (uint64_t t = 1; out.size() < total && t < 100; ++t) {
            const size_t room = std::min<size_t>(hostMcspiMasterRoom(0), total - sent);
            hostMcspiMasterSend(0, in.data() + sent, static_cast<uint32_t>(room));
            sent += room;
            EXPECT_LE(sent - received.size(), 5 * NS_PER_TICK / wordNs + 64) << "held back";
            ti_sysbios_knl_Task_sleep(1);  // the clock moves and the due words shift
            if (sent < total) {
                ASSERT_EQ(t * NS_PER_TICK / wordNs + 1, received.size()) << t;
            }
            uint8_t buf[4096];
            out.insert(out.end(), buf, buf + hostMcspiMasterTake(0, buf, sizeof buf));
        }
        EXPECT_EQ(in, received);
        ASSERT_EQ(total, out.size());
        EXPECT_EQ(0x16, out[0]);
        for (size_t i = 1; i < total; ++i) ASSERT_EQ(in[i - 1] ^ 0xFF, out[i]) << i;
        EXPECT_EQ(total, hostMcspiState(0).wordsClocked);
    }
}

TEST(ParmrkDecoderTest, MarkedInputBecomesBytesWithLineErrors)
{
    struct Case {
        std::vector<uint8_t> in;
        bool parity;
        std::vector<std::pair<uint8_t, uint32_t>> out;
    };
    const uint32_t BREAK = UART_LSR_RX_BI | UART_LSR_RX_FE;
    const Case cases[] = {
        {{'a', 'b'}, false, {{'a', 0}, {'b', 0}}},
        {{0xFF, 0xFF}, false, {{0xFF, 0}}},
        {{0xFF, 0x00, 0x00}, true, {{0x00, BREAK}}},
        {{0xFF, 0x00, 0x41}, true, {{0x41, UART_LSR_RX_PE}}},
        {{0xFF, 0x00, 0x41}, false, {{0x41, UART_LSR_RX_FE}}},
        {{0xFF, 0x00, 0xFF, 'z'}, false, {{0xFF, UART_LSR_RX_FE}, {'z', 0}}},
        {{0x00, 0xFF, 0xFF, 0x00}, false, {{0x00, 0}, {0xFF, 0}, {0x00, 0}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.in));
        ParmrkDecoder d;
        d.parityOn = c.parity;
        std::vector<std::pair<uint8_t, uint32_t>> got;
        for (uint8_t b : c.in) {
            uint8_t byte = 0;
            uint32_t errors = 0;
            if (d.Feed(b, byte, errors)) got.emplace_back(byte, errors);
        }
        EXPECT_EQ(c.out, got);
    }
}

class RtcCtrlTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostRtcCtrlReset();
    }
    static void Rtc(uint32_t offset, uint32_t value) { regWrite32(SOC_RTC_BASE + offset, value); }
    static uint32_t Rtc(uint32_t offset) { return regRead32(SOC_RTC_BASE + offset); }
    static void Unlock()
    {
        Rtc(0x6C, HOST_RTC_KICK0_VALUE);
        Rtc(0x70, HOST_RTC_KICK1_VALUE);
    }
};

TEST_F(RtcCtrlTest, WritesNeedTheKickUnlockAndTwelveHourModeShowsThePmBit)
{
    Rtc(0x00, 0x30);
    EXPECT_EQ(1u, hostRtcLockedWrites());
    EXPECT_EQ(0u, Rtc(0x00));
    Rtc(0x6C, HOST_RTC_KICK0_VALUE);
    Rtc(0x70, 0x12345678);  // wrong second key
    Rtc(0x00, 0x30);
    EXPECT_EQ(2u, hostRtcLockedWrites());
    Unlock();
    Rtc(0x00, 0x30);
    EXPECT_EQ(0x30u, Rtc(0x00));
    Rtc(0x08, 0x13);
    EXPECT_EQ(13u, hostRtcNow().hour);
    Rtc(0x40, 0x08);              // 12-hour mode, stopped
    EXPECT_EQ(0x81u, Rtc(0x08));  // 1 PM
    Rtc(0x08, 0x12);              // 12 AM is midnight
    EXPECT_EQ(0u, hostRtcNow().hour);
    Rtc(0x40, 0x00);
    Rtc(0x08, 0x23);
    EXPECT_EQ(0x23u, Rtc(0x08));
}

TEST_F(RtcCtrlTest, RunningClockRollsOverTheCenturyInBcd)
{
    // Seconds, minutes, hours, day, month, year: 31.12.99 23:59:58, then
    // three seconds later 1.1.00 00:00:01.
    const uint32_t offsets[] = {0x00, 0x04, 0x08, 0x0C, 0x10, 0x14};
    const uint32_t before[] = {0x58, 0x59, 0x23, 0x31, 0x12, 0x99};
    const uint32_t after[] = {0x01, 0x00, 0x00, 0x01, 0x01, 0x00};
    Unlock();
    for (int i = 0; i < 6; ++i) Rtc(offsets[i], before[i]);
    hostClockAdvance(5000);
    EXPECT_EQ(0x58u, Rtc(0x00)) << "stopped until started";
    Rtc(0x40, 0x01);
    hostClockAdvance(3000);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(after[i], Rtc(offsets[i])) << std::hex << offsets[i];
    EXPECT_EQ(0x02u, Rtc(0x44) & 0x02);  // running
}

TEST_F(RtcCtrlTest, MacWordsCarryTheBytesInTheirOrderAndAreReadOnly)
{
    const uint8_t mac[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    hostCtrlSetMac(1, mac);
    EXPECT_EQ(0x44332211u, regRead32(SOC_CTRL_BASE + 0x63C));
    EXPECT_EQ(0x6655u, regRead32(SOC_CTRL_BASE + 0x638));
    regWrite32(SOC_CTRL_BASE + 0x638, 0);
    EXPECT_EQ(0x6655u, regRead32(SOC_CTRL_BASE + 0x638));
    EXPECT_EQ(0x00000002u, regRead32(SOC_CTRL_BASE + 0x634));  // default 02:00:00:00:00:01
    EXPECT_EQ(0x0100u, regRead32(SOC_CTRL_BASE + 0x630));
}

}  // namespace
