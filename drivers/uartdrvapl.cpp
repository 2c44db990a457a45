// UART driver: opening the UARTs, the polling task that moves bytes between a
// UART and its protocol, and the polled byte writer. Task context ("uartdrv",
// priority 9) except uartWriteByte, which runs anywhere; see uartdrvapl.h.
#include "uartdrvapl.h"

#include <cstring>

#include "exmapl.h"
#include "soc_uart.h"
#include "taskapl.h"

static const char _MODULE_[] = "uartdrvapl.cpp";

// FIFO trigger granularity and level 1, both FIFOs cleared, no DMA.
static const uint32_t UART_FIFO_CONFIG = 0x04404070u;
static const uint32_t UART_OVERSAMPLING_16X = 0;
static const uint32_t UART_MIR_OVERSAMPLING = 42;
static const uint32_t UART_OPER_MODE_16X = 0;
static const uint32_t UART_OPER_MODE_DISABLED = 7;
static const uint32_t UART_INT_ALL = 7;
static const uint32_t UART_INT2_ALL = 2;
static const uint32_t UART_CONTROL_OFF = 0;
// Above this bit rate the task polls every 2 ms, else every 8 ms.
static const uint32_t UART_FAST_BAUD_LIMIT = 19200;
static const uint32_t TIME_PERIOD_FAST = 2000;  // microseconds
static const uint32_t TIME_PERIOD_SLOW = 8000;  // microseconds
static const int UARTDRV_TASK_PRIORITY = 9;
static const uint32_t UARTDRV_TASK_STACK = 8192;

static const UART_HWATTRS_T mUartHwAttrs[NUM_OF_UARTS] = {
    {SOC_UART0_BASE, SOC_UART0_INT, SOC_UART0_EVENT, SOC_UART_CLOCK_HZ, 0, 1, 0, 0},
    {SOC_UART1_BASE, SOC_UART1_INT, SOC_UART1_EVENT, SOC_UART_CLOCK_HZ, 1, 0, 0, 0},
    {SOC_UART2_BASE, SOC_UART2_INT, SOC_UART2_EVENT, SOC_UART_CLOCK_HZ, 0, 0, 0, 0},
    {SOC_UART3_BASE, SOC_UART3_INT, SOC_UART3_EVENT, SOC_UART_CLOCK_HZ, 1, 1, 0, 0},
};

// Read by uartWriteByte from any context; a byte-wide store is atomic.
static volatile UART_STATES_E mUartState[NUM_OF_UARTS] = {UART_CLOSED, UART_CLOSED, UART_CLOSED,
                                                          UART_CLOSED};
// Shared by the two UARTs wired to each device; created on first use.
static SerialTransceiver* mSerialTransceive[NUM_OF_SXCRVS] = {nullptr, nullptr};

static uint32_t checkedIndex(uint32_t uartIndex)
{
    if (uartIndex >= NUM_OF_UARTS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    return uartIndex;
}

static IProtocol* checkedProtocol(IProtocol* prot)
{
    if (prot == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    return prot;
}

static bool isDriverSwitched(uint32_t standard)
{
    return standard == UART_STANDARD_RS485 || standard == UART_STANDARD_RS422;
}

UartDrv::UartDrv(UARTDRV_CONFIG_T config)
    : baseAddr(mUartHwAttrs[checkedIndex(config.uartIndex)].baseAddr),
      protHandle(checkedProtocol(config.protHandle)),
      standard(config.standard),
      txState(TX_STATE_IDLE),
      ticksRxTxTaskPeriod(0),
      stats()
{
    if (mUartState[config.uartIndex] != UART_CLOSED) {
        EXM_FATAL(EC_ERROR_UART_OPEN);
    }
    uartOpen(config.uartIndex, config.standard, config.baudRate, config.dataLength, config.stopBits,
             config.parityType);
    ticksRxTxTaskPeriod = config.baudRate > UART_FAST_BAUD_LIMIT ? usToTicks(TIME_PERIOD_FAST)
                                                                 : usToTicks(TIME_PERIOD_SLOW);

    taskCreate({"uartdrv", UARTDRV_TASK_PRIORITY, UARTDRV_TASK_STACK, &UartDrv::RxTxTask,
                reinterpret_cast<UArg>(this), 0},
               EXM_HERE);
}

void UartDrv::RxTxTask(UArg arg0, UArg /*arg1*/)
{
    UartDrv* const self = reinterpret_cast<UartDrv*>(arg0);
    for (;;) {
        self->Cycle();
        ti_sysbios_knl_Task_sleep(self->ticksRxTxTaskPeriod);
    }
}

void UartDrv::Cycle()
{
    Receive();
    // Received data goes first: a byte that arrived meanwhile waits for the
    // next cycle and so does the transmitter.
    if (UARTCharsAvail(baseAddr) == 0) {
        Transmit();
    }
}

void UartDrv::Receive()
{
    while (UARTCharsAvail(baseAddr) != 0) {
        const uint32_t status = UARTReadStatus(baseAddr);
        const uint8_t byte = UARTFIFOCharGet(baseAddr);
        if ((status & (UART_LSR_RX_FIFO_E | UART_LSR_RX_OE)) == 0) {
            protHandle->RxDataHandler(byte);
            ++stats.numOfBytesRecvd;
        } else if ((status & UART_LSR_RX_BI) != 0) {
            ++stats.numOfBreakDetectedErrors;
        } else if ((status & UART_LSR_RX_FE) != 0) {
            ++stats.numOfFramingErrors;
        } else if ((status & UART_LSR_RX_PE) != 0) {
            ++stats.numOfParityErrors;
        } else {
            ++stats.numOfOverrunErrors;
        }
    }
}

void UartDrv::Transmit()
{
    if (standard == UART_STANDARD_RS232) {
        uint8_t byte = 0;
        while (UARTTxFIFOFullStatusGet(baseAddr) == 0) {
            if (protHandle->TxDataHandler(byte) == EC_FAIL) {
                break;
            }
            UARTFIFOCharPut(baseAddr, byte);
            ++stats.numOfBytesSent;
        }
    } else if (isDriverSwitched(standard)) {
        TransmitBurst();
    } else {
        EXM_FATAL(EC_ERROR_INVALID_SWITCH);
    }
}

void UartDrv::TransmitBurst()
{
    uint8_t byte = 0;
    if (txState == TX_STATE_IDLE) {
        if (UARTTxFIFOFullStatusGet(baseAddr) != 0 || protHandle->TxDataHandler(byte) == EC_FAIL) {
            return;
        }
        // Line driver on before the first bit leaves.
        UARTModemControlClear(baseAddr, UART_MCR_RTS);
        UARTFIFOCharPut(baseAddr, byte);
        ++stats.numOfBytesSent;
        txState = TX_STATE_STARTED;
    }
    if (txState == TX_STATE_STARTED) {
        while (UARTTxFIFOFullStatusGet(baseAddr) == 0) {
            if (protHandle->TxDataHandler(byte) == EC_FAIL) {
                txState = TX_STATE_STOPPING;
                break;
            }
            UARTFIFOCharPut(baseAddr, byte);
            ++stats.numOfBytesSent;
        }
    }
    if (txState == TX_STATE_STOPPING) {
        // The line stays driven until the shift register has sent the last
        // stop bit; releasing it earlier would cut the last byte.
        while (UARTIsTransmitterEmpty(baseAddr) == 0) {
            ti_sysbios_knl_Task_sleep(usToTicks(TIME_POLL_END_TX));
        }
        UARTModemControlSet(baseAddr, UART_MCR_RTS);
        txState = TX_STATE_IDLE;
    }
}

void UartDrv::GetStats(uint8_t* p) { std::memcpy(p, &stats, sizeof stats); }

void UartDrv::ResetStats() { stats = UARTDRV_STATS_T(); }

void uartOpen(uint32_t uartIndex, uint32_t standard, uint32_t baudRate, uint32_t dataLength,
              uint32_t stopBits, uint32_t parityType)
{
    const UART_HWATTRS_T& hw = mUartHwAttrs[checkedIndex(uartIndex)];
    mUartState[uartIndex] = UART_OPENING;
    UARTModuleReset(hw.baseAddr);

    if (mSerialTransceive[hw.sxcrvDevice] == nullptr) {
        mSerialTransceive[hw.sxcrvDevice] = new SerialTransceiver(hw.sxcrvDevice);
    }
    mSerialTransceive[hw.sxcrvDevice]->SetStandard(hw.sxcrvChannel, standard);

    UARTFIFOConfig(hw.baseAddr, UART_FIFO_CONFIG);
    const uint32_t divisor =
        UARTDivisorValCompute(hw.frequency, baudRate, UART_OVERSAMPLING_16X, UART_MIR_OVERSAMPLING);
    UARTDivisorLatchWrite(hw.baseAddr, divisor);
    UARTLineCharacConfig(hw.baseAddr, dataLength | stopBits, parityType);
    UARTDivisorLatchDisable(hw.baseAddr);
    UARTLoopbackModeControl(hw.baseAddr, UART_CONTROL_OFF);
    UARTBreakCtl(hw.baseAddr, UART_CONTROL_OFF);
    UARTXONAnyFeatureControl(hw.baseAddr, UART_CONTROL_OFF);

    if (standard == UART_STANDARD_RS232) {
        UARTAutoRTSAutoCTSControl(hw.baseAddr, hw.cts, hw.rts);
    } else if (isDriverSwitched(standard)) {
        UARTAutoRTSAutoCTSControl(hw.baseAddr, UART_CONTROL_OFF, UART_CONTROL_OFF);
        // RTS bit set: line driver off, the line belongs to the receiver.
        UARTModemControlSet(hw.baseAddr, UART_MCR_RTS);
    } else {
        EXM_FATAL(EC_ERROR_INVALID_SWITCH);
    }

    UARTOperatingModeSelect(hw.baseAddr, UART_OPER_MODE_16X);
    mUartState[uartIndex] = UART_OPENED;
}

void uartClose(uint32_t uartIndex)
{
    const uint32_t base = mUartHwAttrs[checkedIndex(uartIndex)].baseAddr;
    if (mUartState[uartIndex] != UART_OPENED) {
        return;
    }
    UARTIntDisable(base, UART_INT_ALL);
    UARTInt2Disable(base, UART_INT2_ALL);
    UARTOperatingModeSelect(base, UART_OPER_MODE_DISABLED);
    mUartState[uartIndex] = UART_CLOSED;
}

#ifdef ZOK2_TEST_HOOKS
void uartRestart()
{
    for (uint32_t i = 0; i < NUM_OF_UARTS; ++i) {
        mUartState[i] = UART_CLOSED;
    }
    for (uint32_t i = 0; i < NUM_OF_SXCRVS; ++i) {
        mSerialTransceive[i] = nullptr;
    }
}
#endif

uint8_t uartReadByte(uint32_t uartIndex)
{
    const uint32_t base = mUartHwAttrs[checkedIndex(uartIndex)].baseAddr;
    while (UARTCharsAvail(base) == 0) {}
    return UARTFIFOCharGet(base);
}

void uartWriteByte(uint32_t uartIndex, uint8_t byte)
{
    if (uartIndex >= NUM_OF_UARTS) {
        return;
    }
    const uint32_t base = mUartHwAttrs[uartIndex].baseAddr;
    while (UARTTxFIFOFullStatusGet(base) != 0) {
        if (mUartState[uartIndex] != UART_OPENED) {
            return;
        }
    }
    UARTFIFOCharPut(base, byte);
}

void uartWriteBuffer(uint32_t uartIndex, uint32_t len, const uint8_t* data)
{
    for (uint32_t i = 0; i < len; ++i) {
        uartWriteByte(uartIndex, data[i]);
    }
}

bool uartStandardAvailable(uint32_t uartIndex, uint32_t standard)
{
    if (uartIndex >= NUM_OF_UARTS || standard == UART_STANDARD_NONE) {
        return false;
    }
    const UART_HWATTRS_T& hw = mUartHwAttrs[uartIndex];
    return SerialTransceiver::ChannelOffers(hw.sxcrvChannel, standard);
}
