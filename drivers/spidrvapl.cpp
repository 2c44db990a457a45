// SPI slave driver: see spidrvapl.h.
#include "spidrvapl.h"

#include "exmapl.h"
#include "soc_mcspi.h"

static const char _MODULE_[] = "spidrvapl.cpp";

static const uint32_t SPI_INT_PRIORITY = 32;
// Flags cleared before the interrupt is enabled, so that nothing stale fires.
static const uint32_t SPI_INT_START_FLAGS =
    MCSPI_INT_TX_EMPTY_CH0 | MCSPI_INT_RX_FULL_CH0 | MCSPI_INT_EOW;

static const SPI_HWATTRS_T mSPIHwAttrs[SpiDrv::NUM_OF_MCSPIS] = {
    {SOC_MCSPI2_BASE, SOC_MCSPI2_INT, SOC_MCSPI2_EVENT, SOC_MCSPI_CLOCK_HZ},
    {SOC_MCSPI4_BASE, SOC_MCSPI4_INT, SOC_MCSPI4_EVENT, SOC_MCSPI_CLOCK_HZ},
};

static SPI_STATES_E mSpiState[SpiDrv::NUM_OF_MCSPIS] = {SPI_CLOSED, SPI_CLOSED};

#ifdef ZOK2_TEST_HOOKS
void SpiDrv::Restart()
{
    for (uint16_t i = 0; i < NUM_OF_MCSPIS; ++i) {
        mSpiState[i] = SPI_CLOSED;
    }
}
#endif

// The row is checked before the member initialisers read it.
static uint32_t BaseAddrOf(uint16_t spiIndex, const IProtocol* protHandle)
{
    if (spiIndex >= SpiDrv::NUM_OF_MCSPIS || protHandle == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    return mSPIHwAttrs[spiIndex].baseAddr;
}

SpiDrv::SpiDrv(SPIDRV_CONFIG_T config)
    : baseAddr(BaseAddrOf(config.spiIndex, config.protHandle)), protHandle(config.protHandle)
{
    const SPI_HWATTRS_T& hw = mSPIHwAttrs[config.spiIndex];
    if (mSpiState[config.spiIndex] != SPI_CLOSED) {
        EXM_FATAL(EC_ERROR_SPI_OPEN);
    }
    mSpiState[config.spiIndex] = SPI_OPENING;

    OsalInterruptParams params;
    Osal_RegisterInterrupt_initParams(&params);
    params.name = nullptr;
    params.corepacEventNum = static_cast<int32_t>(hw.eventId);
    params.intVecNum = static_cast<int32_t>(hw.intNum);
    params.isrRoutine = RxTxIsr;
    params.arg = reinterpret_cast<uintptr_t*>(this);
    params.priority = SPI_INT_PRIORITY;
    if (Osal_RegisterInterrupt(&params) == nullptr) {
        EXM_FATAL(EC_ERROR_REGISTER_ISR);
    }

    McSPIReset(baseAddr);
    MCSPISysConfigSetup(baseAddr, MCSPI_CLOCKS_OCP_ON_FUNC_ON, MCSPI_SIDLE_MODE_NO,
                        MCSPI_WAKEUP_DISABLE, MCSPI_AUTO_IDLE_OFF);
    McSPICSEnable(baseAddr);
    McSPISlaveModeEnable(baseAddr);
    MCSPISingleChModeEnable(baseAddr);
    McSPIClkConfig(baseAddr, hw.frequency, config.baudRate, MCSPI_CHANNEL_0, config.clockMode);
    McSPIWordLengthSet(baseAddr, MCSPI_WORD_LENGTH_8, MCSPI_CHANNEL_0);
    McSPICSPolarityConfig(baseAddr, config.chipSelectPolarity, MCSPI_CHANNEL_0);
    // One word per interrupt: the protocol decides every byte as it goes.
    McSPITxFIFOConfig(baseAddr, MCSPI_FIFO_DISABLE, MCSPI_CHANNEL_0);
    McSPIRxFIFOConfig(baseAddr, MCSPI_FIFO_DISABLE, MCSPI_CHANNEL_0);
    McSPIChannelEnable(baseAddr, MCSPI_CHANNEL_0);

    McSPIIntStatusClear(baseAddr, SPI_INT_START_FLAGS);
    McSPIIntEnable(baseAddr, MCSPI_INT_RX_FULL_CH0);
    mSpiState[config.spiIndex] = SPI_OPENED;
}

void SpiDrv::RxTxIsr(uintptr_t* arg)
{
    SpiDrv* self = reinterpret_cast<SpiDrv*>(arg);
    const uint32_t word = McSPIReceiveData(self->baseAddr, MCSPI_CHANNEL_0);
    self->protHandle->RxDataHandler(static_cast<uint8_t>(word));
    uint8_t byte = 0;
    if (self->protHandle->TxDataHandler(byte) != EC_SUCCESS) {
        byte = SYN;
    }
    McSPITransmitData(self->baseAddr, byte, MCSPI_CHANNEL_0);
    McSPIIntStatusClear(self->baseAddr, MCSPI_INT_RX_FULL_CH0);
}
