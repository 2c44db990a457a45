// The SPI slave driver on the McSPI model, clocked word by word from the
// test as the host's SPI master would: controller programming, the word
// each received word is answered with, and the fatal start-up faults.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "fakeprotocol.h"
#include "fwtest.h"
#include "hostmcspi.h"
#include "kernel.h"
#include "soc_mcspi.h"
#include "spidrvapl.h"

namespace {

using Bytes = std::vector<uint8_t>;

class SpiDrvTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        hostMcspiReset(false);
    }

    static SpiDrv* open(uint16_t index, IProtocol* prot)
    {
        return new SpiDrv(SPIDRV_CONFIG_T{index, 9216000, 1, 0x40, prot});
    }
};

TEST_F(SpiDrvTest, ProgramsEachControllerAsAnSpiSlaveWithOneWordPerInterrupt)
{
    for (uint16_t index = 0; index < SpiDrv::NUM_OF_MCSPIS; ++index) {
        SCOPED_TRACE(index);
        FakeProtocol prot;
        open(index, &prot);
        const HostMcspiState s = hostMcspiState(index);
        // Reset once, then the system configuration: clocks, idle, wake-up, auto-idle.
        EXPECT_EQ(std::make_tuple(1u, 0x300u, 0x8u, 0u, 0u),
                  std::make_tuple(s.resets, s.clockActivity, s.idleMode, s.wakeUp, s.autoIdle));
        // A slave on one channel with its chip select; the channel's clocks and word.
        EXPECT_EQ(std::make_tuple(true, true, true),
                  std::tie(s.csEnabled, s.slave, s.singleChannel));
        EXPECT_EQ(std::make_tuple(SOC_MCSPI_CLOCK_HZ, 9216000u, 1u, 0x380u, 0x40u),
                  std::tie(s.inClockHz, s.outClockHz, s.clockMode, s.wordLength, s.csPolarity));
        // No FIFOs; the channel on with only the receive interrupt, none pending.
        EXPECT_EQ(std::make_tuple(0u, 0u, true, MCSPI_INT_RX_FULL_CH0, 0u),
                  std::tie(s.txFifo, s.rxFifo, s.channelEnabled, s.intEnable, s.status));
    }
}

TEST_F(SpiDrvTest, EachWordIsPassedOnAndAnsweredWithTheProtocolsNextByteOrFill)
{
    // Before the driver starts, words are answered with fill and lost.
    Bytes early(3, 0);
    EXPECT_FALSE(hostMcspiClockSync(0, Bytes{1, 2, 3}.data(), early.data(), 3));
    EXPECT_EQ(Bytes(3, 0x16), early);
    EXPECT_EQ(3u, hostMcspiState(0).wordsDropped);

    FakeProtocol prot;
    open(0, &prot);
    prot.Queue({0xA1, 0x16, 0xA3});
    // Received words go on whatever their value, fill and DLE included.
    const Bytes in = {0x16, 0x10, 0x00, 0xFF, 0x16, 0x42};
    Bytes out(in.size(), 0xEE);
    EXPECT_TRUE(hostMcspiClockSync(0, in.data(), out.data(), static_cast<uint32_t>(in.size())));
    EXPECT_EQ(in, prot.received);
    // Nothing is loaded before the first word; each answer is what the
    // handler left after the word before; an empty protocol gives fill.
    EXPECT_EQ((Bytes{0x16, 0xA1, 0x16, 0xA3, 0x16, 0x16}), out);
    EXPECT_EQ(in.size(), hostMcspiState(0).wordsClocked);
    EXPECT_EQ(0u, hostMcspiState(0).status & MCSPI_INT_RX_FULL_CH0);
}

using SpiDrvDeathTest = SpiDrvTest;

void otherHandler(UArg) {}

TEST_F(SpiDrvDeathTest, BadIndexNullProtocolSecondOpenAndATakenInterruptLineAreFatal)
{
    FakeProtocol prot;
    EXPECT_FATAL(open(2, &prot), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= spidrvapl.cpp");
    EXPECT_FATAL(open(0, nullptr), EC_ERROR_INVALID_ARGUMENT, "code= -20 module= spidrvapl.cpp");
    open(1, &prot);
    EXPECT_FATAL(open(1, &prot), EC_ERROR_SPI_OPEN, "code= -50 module= spidrvapl.cpp");
    ASSERT_NE(nullptr, ti_sysbios_hal_Hwi_create(SOC_MCSPI2_INT, otherHandler, 0));
    EXPECT_FATAL(open(0, &prot), EC_ERROR_REGISTER_ISR, "code= -16 module= spidrvapl.cpp");
}

}  // namespace
