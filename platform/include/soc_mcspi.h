// SoC McSPI library and interrupt registration: the calls the SPI slave
// driver makes, each on a controller's register base address and a channel.
// Values are those of the controller's registers. On Linux the controllers
// are models that a host-side SPI master clocks through a socket. Also the
// SoC's facts about the two controllers the host links use.
#pragma once

#include <cstdint>

constexpr uint32_t SOC_MCSPI2_BASE = 0x481A2000u;
constexpr uint32_t SOC_MCSPI4_BASE = 0x48345000u;
// Interrupt lines at the interrupt controller, and crossbar events.
constexpr uint32_t SOC_MCSPI2_INT = 158;
constexpr uint32_t SOC_MCSPI4_INT = 169;
constexpr uint32_t SOC_MCSPI2_EVENT = 38;
constexpr uint32_t SOC_MCSPI4_EVENT = 74;
// Functional clock the SPI clock divider works from.
constexpr uint32_t SOC_MCSPI_CLOCK_HZ = 48000000u;

// Interrupt status and enable bits of channel 0.
constexpr uint32_t MCSPI_INT_TX_EMPTY_CH0 = 0x00001;
constexpr uint32_t MCSPI_INT_RX_FULL_CH0 = 0x00004;
constexpr uint32_t MCSPI_INT_EOW = 0x20000;  // end of word count
// System configuration values.
constexpr uint32_t MCSPI_CLOCKS_OCP_ON_FUNC_ON = 0x300;  // interface and functional clocks kept on
constexpr uint32_t MCSPI_SIDLE_MODE_NO = 0x8;            // never idle
constexpr uint32_t MCSPI_WAKEUP_DISABLE = 0x0;
constexpr uint32_t MCSPI_AUTO_IDLE_OFF = 0x0;
// Channel configuration values.
constexpr uint32_t MCSPI_WORD_LENGTH_8 = 0x380;  // 8-bit words
constexpr uint32_t MCSPI_CS_POL_LOW = 0x40;      // chip select active low
constexpr uint32_t MCSPI_FIFO_DISABLE = 0x0;
constexpr uint32_t MCSPI_CHANNEL_0 = 0;

void McSPIReset(uint32_t baseAddr);
void MCSPISysConfigSetup(uint32_t baseAddr, uint32_t clockActivity, uint32_t sidleMode,
                         uint32_t wakeUp, uint32_t autoIdle);
void McSPICSEnable(uint32_t baseAddr);
void McSPISlaveModeEnable(uint32_t baseAddr);
void MCSPISingleChModeEnable(uint32_t baseAddr);
// Clock mode 0-3: polarity in bit 1, phase in bit 0.
void McSPIClkConfig(uint32_t baseAddr, uint32_t spiInClk, uint32_t spiOutClk, uint32_t chNum,
                    uint32_t clkMode);
void McSPIWordLengthSet(uint32_t baseAddr, uint32_t wordLength, uint32_t chNum);
void McSPICSPolarityConfig(uint32_t baseAddr, uint32_t spiEnPol, uint32_t chNum);
void McSPITxFIFOConfig(uint32_t baseAddr, uint32_t txFifo, uint32_t chNum);
void McSPIRxFIFOConfig(uint32_t baseAddr, uint32_t rxFifo, uint32_t chNum);
void McSPIChannelEnable(uint32_t baseAddr, uint32_t chNum);
void McSPIIntStatusClear(uint32_t baseAddr, uint32_t intFlags);
void McSPIIntEnable(uint32_t baseAddr, uint32_t intFlags);
uint32_t McSPIReceiveData(uint32_t baseAddr, uint32_t chNum);
// Loads the word sent while the master clocks the next one.
void McSPITransmitData(uint32_t baseAddr, uint32_t txData, uint32_t chNum);

// Interrupt registration of the SoC's OS layer.
using OsalIsrFxn = void (*)(uintptr_t* arg);
struct OsalInterruptParams {
    const char* name;         // may be null
    int32_t corepacEventNum;  // event of the interrupt crossbar
    int32_t intVecNum;        // interrupt number at the controller
    OsalIsrFxn isrRoutine;
    uintptr_t* arg;  // passed to isrRoutine
    uint32_t priority;
};
struct OsalInterrupt;
using OsalInterruptHandle = OsalInterrupt*;

void Osal_RegisterInterrupt_initParams(OsalInterruptParams* params);
// Installs and enables the handler; null when the line cannot be taken.
OsalInterruptHandle Osal_RegisterInterrupt(const OsalInterruptParams* params);
