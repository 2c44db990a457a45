// GPIO driver against the GPIO model: pin words, module enabling, glitch-free
// output set-up, level operations and the fatal pin words.
#include <gtest/gtest.h>

#include "errcodes.h"
#include "fwtest.h"
#include "gpiodrvapl.h"
#include "hostgpio.h"

namespace {

class GpioTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostGpioReset();
    }
    void TearDown() override
    {
        EXPECT_EQ(0u, hostGpioUnclockedAccesses());
        FirmwareTest::TearDown();
    }
};

TEST_F(GpioTest, PinsSetUpWithoutAPulseEnableTheirModuleOnceFollowTheLevelOperationsOrAreFatal)
{
    GpioDrv led;
    led.Config(HEALTH_LED);  // port 6, pin 12, output high
    EXPECT_EQ(1u, hostGpioEnableCount(6));
    EXPECT_TRUE(hostGpioIsOutput(6, 12));
    EXPECT_EQ(1u, hostGpioLevel(6, 12));
    // The level is set before the pin becomes an output: no low pulse.
    EXPECT_EQ(0u, hostGpioChanges(6, 12));
    EXPECT_EQ(0u, hostGpioEnableCount(5));
    led.Toggle();
    EXPECT_EQ(0u, hostGpioLevel(6, 12));
    led.Toggle();
    EXPECT_EQ(1u, hostGpioLevel(6, 12));
    EXPECT_EQ(2u, hostGpioChanges(6, 12));
    led.Clear();
    EXPECT_EQ(0u, hostGpioLevel(6, 12));
    led.Set();
    EXPECT_EQ(1u, hostGpioLevel(6, 12));
    led.Write(0);
    EXPECT_EQ(0u, hostGpioLevel(6, 12));
    led.Write(1);
    EXPECT_EQ(1u, hostGpioLevel(6, 12));
    EXPECT_EQ(1u, led.Read());

    GpioDrv tp7;
    GpioDrv m2;
    tp7.Config(TEST_POINT7);
    m2.Config(M2_SP336E_U8);
    EXPECT_EQ(1u, hostGpioEnableCount(6)) << "a second pin of an open module";
    EXPECT_EQ(0u, hostGpioLevel(6, 19));
    EXPECT_EQ(1u, hostGpioLevel(6, 9));

    GpioDrv tp;
    tp.Config(TEST_POINT4);
    EXPECT_TRUE(hostGpioIsOutput(5, 28));
    EXPECT_EQ(0u, hostGpioLevel(5, 28));

    GpioDrv in;
    in.Config(GPIO_CFG_INPUT | (3u << GPIO_CFG_PORT_NUM_SHIFT) | 5u);
    EXPECT_FALSE(hostGpioIsOutput(3, 5));
    EXPECT_EQ(0u, in.Read());
    hostGpioSetInput(3, 5, 1);
    EXPECT_EQ(1u, in.Read());

    // Port 0, port 7 and pin 32 do not exist.
    for (uint32_t word : {0x0008000Cu, 0x0008070Cu, 0x00080620u}) {
        SCOPED_TRACE(word);
        GpioDrv pin;
        EXPECT_FATAL(pin.Config(word), EC_ERROR_INVALID_ARGUMENT,
                     "FATAL ERROR: code= -20 module= gpiodrvapl.cpp");
    }
}

}  // namespace
