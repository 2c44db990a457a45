// Serial transceiver against the GPIO model: the mode each pair of channel
// standards selects, the M0/M1/M2 pin levels of both devices, and the
// pairs and arguments that stop the system.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "errcodes.h"
#include "fwtest.h"
#include "hostgpio.h"
#include "sxcrvapl.h"

namespace {

using Pins = std::array<uint32_t, 3>;  // M0, M1, M2

struct PinPos {
    uint32_t port, pin;
};

// M0, M1, M2 of device 0 (U8) and device 1 (U9).
const PinPos kPins[2][3] = {{{4, 14}, {4, 17}, {6, 9}}, {{4, 20}, {4, 21}, {6, 13}}};

Pins pinsOf(uint32_t device)
{
    return {hostGpioLevel(kPins[device][0].port, kPins[device][0].pin),
            hostGpioLevel(kPins[device][1].port, kPins[device][1].pin),
            hostGpioLevel(kPins[device][2].port, kPins[device][2].pin)};
}

uint32_t pinChanges(uint32_t device)
{
    uint32_t n = 0;
    for (const PinPos& p : kPins[device]) n += hostGpioChanges(p.port, p.pin);
    return n;
}

class SxcrvTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostGpioReset();
    }
};

struct Step {
    uint32_t channel;
    uint32_t standard;
    uint32_t mode;  // expected mode after the step
    Pins pins;      // expected M0, M1, M2
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
};

TEST_F(SxcrvTest, ConstructionIsTheOffModePairsOfStandardsSelectTheirModeOthersAreFatal)
{
    const std::vector<Sequence> table = {
        {"RS-232 on 0, then on 1: same pins",
         {{0, UART_STANDARD_RS232, 1, {0, 0, 1}}, {1, UART_STANDARD_RS232, 2, {0, 0, 1}}}},
        {"RS-422 on 1, then RS-232 on 0",
         {{1, UART_STANDARD_RS422, 7, {0, 1, 1}}, {0, UART_STANDARD_RS232, 4, {0, 1, 1}}}},
        {"RS-232 on 0, then RS-485 on 1",
         {{0, UART_STANDARD_RS232, 1, {0, 0, 1}}, {1, UART_STANDARD_RS485, 3, {0, 1, 0}}}},
        {"RS-485 on 1, then RS-232 on 0",
         {{1, UART_STANDARD_RS485, 6, {0, 1, 0}}, {0, UART_STANDARD_RS232, 3, {0, 1, 0}}}},
        {"RS-232 on 1 alone", {{1, UART_STANDARD_RS232, 5, {0, 0, 1}}}},
        {"channel 1 back to none frees it",
         {{0, UART_STANDARD_RS232, 1, {0, 0, 1}},
          {1, UART_STANDARD_RS485, 3, {0, 1, 0}},
          {1, UART_STANDARD_NONE, 1, {0, 0, 1}}}},
        {"both back to none is the off mode",
         {{1, UART_STANDARD_RS422, 7, {0, 1, 1}}, {1, UART_STANDARD_NONE, 0, {1, 1, 1}}}},
    };
    for (uint32_t device = 0; device < 2; ++device) {
        for (const Sequence& seq : table) {
            SCOPED_TRACE(std::string(seq.name) + ", device " + std::to_string(device));
            SerialTransceiver x(device);
            if (&seq == &table.front()) {
                // The device's first construction: the off mode, every pin an
                // output driven high, no pulse.
                EXPECT_EQ(IN_OFF_MODE, x.GetMode());
                EXPECT_EQ((Pins{1, 1, 1}), pinsOf(device));
                for (const PinPos& p : kPins[device]) EXPECT_TRUE(hostGpioIsOutput(p.port, p.pin));
                EXPECT_EQ(0u, pinChanges(device));
            }
            for (const Step& s : seq.steps) {
                const Pins before = pinsOf(device);
                const uint32_t changes = pinChanges(device);
                x.SetStandard(s.channel, s.standard);
                EXPECT_EQ(s.mode, x.GetMode());
                const Pins p = pinsOf(device);
                EXPECT_EQ(s.pins, p);
                // Only the pins whose level differs move, once each: no glitch.
                int moved = 0;
                for (int i = 0; i < 3; ++i) moved += p[i] != before[i];
                EXPECT_EQ(moved, static_cast<int>(pinChanges(device) - changes));
            }
        }
    }

    // RS-485 or RS-422 on channel 0 and arguments out of range are fatal.
    SerialTransceiver u8(0);
    SerialTransceiver u9(1);
    const char* const config = "FATAL ERROR: code= -61 module= sxcrvapl.cpp";
    EXPECT_FATAL(u8.SetStandard(0, UART_STANDARD_RS485), EC_ERROR_SXCRV_CONFIG, config);
    EXPECT_FATAL(u9.SetStandard(0, UART_STANDARD_RS422), EC_ERROR_SXCRV_CONFIG, config);
    EXPECT_FATAL(u9.SetStandard(1, 4), EC_ERROR_SXCRV_CONFIG, config);
    const char* const argument = "FATAL ERROR: code= -20 module= sxcrvapl.cpp";
    EXPECT_FATAL(SerialTransceiver x(2), EC_ERROR_INVALID_ARGUMENT, argument);
    EXPECT_FATAL(u8.SetStandard(2, UART_STANDARD_RS232), EC_ERROR_INVALID_ARGUMENT, argument);
    EXPECT_FATAL(u8.SetMode(NUM_OF_MODES), EC_ERROR_INVALID_ARGUMENT, argument);
}

}  // namespace
