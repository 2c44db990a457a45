// Minimal UART model: the console UART's transmitted bytes go to standard
// output (or a test sink); other UARTs discard. Receive side always empty.
#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "hostuart.h"
#include "soc_uart.h"

namespace {
constexpr uint32_t CONSOLE_UART_BASE = 0x44E09000;
std::mutex gLock;
uint32_t gSinkBase = 0;
HostUartSink gSink = nullptr;
void* gSinkCtx = nullptr;
}  // namespace

void hostUartSetTxSink(uint32_t baseAddr, HostUartSink sink, void* ctx)
{
    std::lock_guard<std::mutex> lock(gLock);
    gSinkBase = baseAddr;
    gSink = sink;
    gSinkCtx = ctx;
}

void UARTModuleReset(uint32_t) {}
uint32_t UARTFIFOConfig(uint32_t, uint32_t) { return 0; }
uint32_t UARTDivisorValCompute(uint32_t moduleClk, uint32_t baudRate, uint32_t, uint32_t)
{
    return baudRate != 0 ? moduleClk / (16 * baudRate) : 0;
}
uint32_t UARTDivisorLatchWrite(uint32_t, uint32_t) { return 0; }
void UARTLineCharacConfig(uint32_t, uint32_t, uint32_t) {}
void UARTDivisorLatchDisable(uint32_t) {}
void UARTLoopbackModeControl(uint32_t, uint32_t) {}
void UARTBreakCtl(uint32_t, uint32_t) {}
void UARTXONAnyFeatureControl(uint32_t, uint32_t) {}
void UARTAutoRTSAutoCTSControl(uint32_t, uint32_t, uint32_t) {}
void UARTModemControlSet(uint32_t, uint32_t) {}
void UARTModemControlClear(uint32_t, uint32_t) {}
uint32_t UARTOperatingModeSelect(uint32_t, uint32_t) { return 0; }
void UARTIntDisable(uint32_t, uint32_t) {}
void UARTInt2Disable(uint32_t, uint32_t) {}
uint32_t UARTCharsAvail(uint32_t) { return 0; }
uint32_t UARTReadStatus(uint32_t) { return 0; }
uint8_t UARTFIFOCharGet(uint32_t) { return 0; }
uint32_t UARTTxFIFOFullStatusGet(uint32_t) { return 0; }
uint32_t UARTIsTransmitterEmpty(uint32_t) { return 1; }

void UARTFIFOCharPut(uint32_t baseAddr, uint8_t byteTx)
{
    std::unique_lock<std::mutex> lock(gLock);
    if (gSink != nullptr && gSinkBase == baseAddr) {
        HostUartSink sink = gSink;
        void* ctx = gSinkCtx;
        lock.unlock();
        sink(byteTx, ctx);
        return;
    }
    if (baseAddr == CONSOLE_UART_BASE) {
        ssize_t n = ::write(STDOUT_FILENO, &byteTx, 1);
        (void)n;  // a closed terminal loses console output, as a cut cable would
    }
}
