// SoC UART library: the calls the UART driver makes, each on the UART's
// register base address. Values are those of the UART's registers (line
// control codes, line status bits, modem control bits). Also the SoC's
// facts about its four UARTs, which drivers, models and tests all read here.
#pragma once

#include <cstdint>

constexpr uint32_t SOC_NUM_UARTS = 4;
constexpr uint32_t SOC_UART0_BASE = 0x44E09000u;
constexpr uint32_t SOC_UART1_BASE = 0x48022000u;
constexpr uint32_t SOC_UART2_BASE = 0x48024000u;
constexpr uint32_t SOC_UART3_BASE = 0x481A6000u;
// Interrupt lines at the interrupt controller, and crossbar events (0: none).
constexpr uint32_t SOC_UART0_INT = 104;
constexpr uint32_t SOC_UART1_INT = 105;
constexpr uint32_t SOC_UART2_INT = 106;
constexpr uint32_t SOC_UART3_INT = 102;
constexpr uint32_t SOC_UART0_EVENT = 0;
constexpr uint32_t SOC_UART1_EVENT = 0;
constexpr uint32_t SOC_UART2_EVENT = 69;
constexpr uint32_t SOC_UART3_EVENT = 0;
// Functional clock of every UART, from which the divisor sets the bit rate.
constexpr uint32_t SOC_UART_CLOCK_HZ = 48000000u;

// Line status bits read by the driver.
constexpr uint32_t UART_LSR_RX_FIFO_E = 0x80;    // error somewhere in the receive FIFO
constexpr uint32_t UART_LSR_RX_BI = 0x10;        // break
constexpr uint32_t UART_LSR_RX_FE = 0x08;        // framing error
constexpr uint32_t UART_LSR_RX_PE = 0x04;        // parity error
constexpr uint32_t UART_LSR_RX_OE = 0x02;        // overrun
constexpr uint32_t UART_LSR_RX_FIFO_STS = 0x01;  // a byte is waiting
// Modem control bit that drives RTS (RS-485/RS-422 line driver control).
constexpr uint32_t UART_MCR_RTS = 0x02;

void UARTModuleReset(uint32_t baseAddr);
uint32_t UARTFIFOConfig(uint32_t baseAddr, uint32_t fifoConfig);
uint32_t UARTDivisorValCompute(uint32_t moduleClk, uint32_t baudRate, uint32_t modeFlag,
                               uint32_t mirOverSampRate);
uint32_t UARTDivisorLatchWrite(uint32_t baseAddr, uint32_t divisorValue);
void UARTLineCharacConfig(uint32_t baseAddr, uint32_t wLenStbFlag, uint32_t parityFlag);
void UARTDivisorLatchDisable(uint32_t baseAddr);
void UARTLoopbackModeControl(uint32_t baseAddr, uint32_t controlFlag);
void UARTBreakCtl(uint32_t baseAddr, uint32_t breakState);
void UARTXONAnyFeatureControl(uint32_t baseAddr, uint32_t controlFlag);
void UARTAutoRTSAutoCTSControl(uint32_t baseAddr, uint32_t autoCtsControl, uint32_t autoRtsControl);
void UARTModemControlSet(uint32_t baseAddr, uint32_t modeFlag);
void UARTModemControlClear(uint32_t baseAddr, uint32_t modeFlag);
uint32_t UARTOperatingModeSelect(uint32_t baseAddr, uint32_t modeFlag);
void UARTIntDisable(uint32_t baseAddr, uint32_t intFlag);
void UARTInt2Disable(uint32_t baseAddr, uint32_t intFlag);
uint32_t UARTCharsAvail(uint32_t baseAddr);
uint32_t UARTReadStatus(uint32_t baseAddr);
uint8_t UARTFIFOCharGet(uint32_t baseAddr);
void UARTFIFOCharPut(uint32_t baseAddr, uint8_t byteTx);
uint32_t UARTTxFIFOFullStatusGet(uint32_t baseAddr);
uint32_t UARTIsTransmitterEmpty(uint32_t baseAddr);
