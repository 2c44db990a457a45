// Peripheral models on the manual kernel clock: the UART's character timing,
// line status and input; bus faults on misuse; the RTC's lock, BCD
// calendar and roll-over; the control module's fused MAC words.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fwtest.h"
#include "hostkernel.h"
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
