// Diagnostics console start-up and the print entry points; see dcapl.h.
// Printing runs in the calling task under the print lock.
#include "dcapl.h"

#include <cstdarg>

#include "cpuloadapl.h"
#include "dcmenuapl.h"
#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "dcapl.cpp";

static const uint32_t DC_BAUD_RATE = 115200;

static Console* protHandle = nullptr;
static UartDrv* uartHandle = nullptr;
static ti_sysbios_knl_Semaphore_Handle semHandlePrint = nullptr;
uint32_t mEmacStats[LEN_EMAC_STATS / sizeof(uint32_t)];

void dcInit()
{
    for (uint32_t& word : mEmacStats) {
        word = 0;
    }
    ti_sysbios_hal_Seconds_set(0);
    CpuLoad::Init();
    semHandlePrint = ti_sysbios_knl_Semaphore_create(1, ti_sysbios_knl_Semaphore_Mode_BINARY);
    if (semHandlePrint == nullptr) {
        EXM_FATAL(EC_ERROR_SEMAPHORE_CREATION);
    }
    CONSOLE_CONFIG_T consoleConfig;
    consoleConfig.recvCallback = RecvCallback;
    protHandle = new Console(consoleConfig);

    UARTDRV_CONFIG_T uartConfig;
    uartConfig.uartIndex = DC_UART_INDEX;
    uartConfig.standard = UART_STANDARD_RS232;
    uartConfig.baudRate = DC_BAUD_RATE;
    uartConfig.dataLength = UART_WORD_LENGTH_8;
    uartConfig.stopBits = UART_STOP_BIT_1;
    uartConfig.parityType = UART_PARITY_NONE;
    uartConfig.protHandle = protHandle;
    uartHandle = new UartDrv(uartConfig);
}

void dcPrint(const char* text)
{
    if (protHandle == nullptr) {
        return;
    }
    (void)ti_sysbios_knl_Semaphore_pend(semHandlePrint, BIOS_WAIT_FOREVER);
    // A full FIFO loses the rest of the text; printing never waits for room.
    (void)protHandle->Send(MAX_LEN_STRING_CONSOLE, reinterpret_cast<const uint8_t*>(text));
    ti_sysbios_knl_Semaphore_post(semHandlePrint);
}

void dcPrintf(const char* format, ...)
{
    if (protHandle == nullptr) {
        return;
    }
    va_list args;
    va_start(args, format);
    (void)ti_sysbios_knl_Semaphore_pend(semHandlePrint, BIOS_WAIT_FOREVER);
    protHandle->Send(format, args);
    ti_sysbios_knl_Semaphore_post(semHandlePrint);
    va_end(args);
}

int dcPrintf2(const char* format, ...)
{
    // Its only caller runs after start-up; the test merely keeps an early
    // call from using a print lock that does not exist yet.
    if (protHandle == nullptr) {
        return 1;
    }
    va_list args;
    va_start(args, format);
    (void)ti_sysbios_knl_Semaphore_pend(semHandlePrint, BIOS_WAIT_FOREVER);
    protHandle->Send(format, args);
    ti_sysbios_knl_Semaphore_post(semHandlePrint);
    va_end(args);
    return 1;
}

Console* dcConsole() { return protHandle; }

UartDrv* dcUartDrv() { return uartHandle; }

void RecvCallback(uint8_t key)
{
    mPages.Worker(static_cast<char>(key));
}
