// Diagnostics console start-up and the print channel; see dcapl.h.
// Printing runs in the calling task under the print lock.
#include "dcapl.h"

#include "cpuloadapl.h"
#include "dcchannelapl.h"
#include "dcmenuapl.h"
#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "dcapl.cpp";

static const uint32_t DC_BAUD_RATE = 115200;

static Console* protHandle = nullptr;
static UartDrv* uartHandle = nullptr;
static ti_sysbios_knl_Semaphore_Handle semHandlePrint = nullptr;

static void printText(const char* text)
{
    (void)ti_sysbios_knl_Semaphore_pend(semHandlePrint, BIOS_WAIT_FOREVER);
    // A full FIFO loses the rest of the text; printing never waits for room.
    (void)protHandle->Send(MAX_LEN_STRING_CONSOLE, reinterpret_cast<const uint8_t*>(text));
    ti_sysbios_knl_Semaphore_post(semHandlePrint);
}

static void printFormat(const char* format, va_list args)
{
    (void)ti_sysbios_knl_Semaphore_pend(semHandlePrint, BIOS_WAIT_FOREVER);
    protHandle->Send(format, args);
    ti_sysbios_knl_Semaphore_post(semHandlePrint);
}

static const DC_PRINT_CHANNEL_T PRINT_CHANNEL = {printText, printFormat};

// For the fatal handler, once no task runs: the transmit FIFO's next byte.
static bool takePendingByte(uint8_t& byte) { return protHandle->TxDataHandler(byte) == EC_SUCCESS; }

void dcInit()
{
    ti_sysbios_hal_Seconds_set(0);
    CpuLoad::Init();
    semHandlePrint = ti_sysbios_knl_Semaphore_create(1, ti_sysbios_knl_Semaphore_Mode_BINARY);
    if (semHandlePrint == nullptr) {
        EXM_FATAL(EC_ERROR_SEMAPHORE_CREATION);
    }
    CONSOLE_CONFIG_T consoleConfig;
    consoleConfig.recvCallback = dcHandleKey;
    protHandle = new Console(consoleConfig);
    dcSetPrintChannel(&PRINT_CHANNEL);
    exmSetPendingOutput(takePendingByte);

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

Console* dcConsole() { return protHandle; }

UartDrv* dcUartDrv() { return uartHandle; }

void dcHandleKey(uint8_t key) { mPages.Worker(static_cast<char>(key)); }
