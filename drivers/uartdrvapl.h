// UART driver: moves bytes by polling between one UART and a byte protocol
// (serial-line protocols, the console). Each UartDrv owns one task
// ("uartdrv", priority 9) that drains the receive FIFO into the protocol,
// counting line errors, then fills the transmit FIFO from the protocol; on
// RS-485/RS-422 it switches the line driver per burst through the RTS bit.
// The free functions work on a UART by index; uartWriteByte is the polled
// writer of the fatal path and needs no task, lock or interrupt.
// Register programming is the SoC UART library's.
#pragma once

#include <cstdint>

#include "errcodes.h"
#include "iprotocol.h"
#include "kernel.h"
#include "sxcrvapl.h"

constexpr uint32_t NUM_OF_UARTS = 4;
constexpr uint32_t DC_UART_INDEX = 0;        // the diagnostics console's UART
constexpr uint32_t TIME_POLL_END_TX = 1000;  // microseconds between end-of-burst polls

// Line-control codes as the library takes them.
constexpr uint32_t UART_WORD_LENGTH_8 = 3;
constexpr uint32_t UART_STOP_BIT_1 = 0;
constexpr uint32_t UART_PARITY_NONE = 0;
constexpr uint32_t UART_PARITY_ODD = 8;
constexpr uint32_t UART_PARITY_EVEN = 24;

struct UART_HWATTRS_T {
    uint32_t baseAddr;      // register base
    uint32_t intNum;        // not used: the driver polls
    uint32_t eventId;       // not used
    uint32_t frequency;     // module clock, Hz
    uint32_t sxcrvDevice;   // transceiver device serving this UART
    uint32_t sxcrvChannel;  // channel of that device
    uint32_t cts;           // auto-CTS setting for RS-232
    uint32_t rts;           // auto-RTS setting for RS-232
};

enum UART_STATES_E : uint8_t {
    UART_CLOSED = 0,
    UART_OPENING = 1,
    UART_OPENED = 2,
};

enum TX_STATES_E : uint8_t {
    TX_STATE_IDLE = 0,
    TX_STATE_STARTED = 1,
    TX_STATE_STOPPING = 2,
};

struct UARTDRV_CONFIG_T {
    uint32_t uartIndex;     // 0..3
    uint32_t standard;      // UART_STANDARD_RS232, _RS485 or _RS422
    uint32_t baudRate;      // bits per second
    uint32_t dataLength;    // word-length code (3 = 8 data bits)
    uint32_t stopBits;      // stop-bit code (0 = one)
    uint32_t parityType;    // parity code (0 none, 8 odd, 24 even)
    IProtocol* protHandle;  // fed by this UART; never null
};

struct UARTDRV_STATS_T {
    uint32_t numOfBytesSent;            // bytes written into the transmit FIFO
    uint32_t numOfBytesRecvd;           // bytes handed to the protocol
    uint32_t numOfBreakDetectedErrors;  // discarded: break
    uint32_t numOfFramingErrors;        // discarded: framing error, no break
    uint32_t numOfParityErrors;         // discarded: parity error only
    uint32_t numOfOverrunErrors;        // discarded: overrun or error without a cause bit
    uint32_t numOfRecvTimeoutErrors;    // nothing raises it: always 0
};

class UartDrv {
public:
    // Opens the UART and starts its task. Index above 3 or a null protocol is
    // fatal (invalid argument); a UART not closed is fatal (UART open); task
    // creation failure is fatal. Called at start-up or with the scheduler locked.
    explicit UartDrv(UARTDRV_CONFIG_T config);

    static void RxTxTask(UArg arg0, UArg arg1);
    // One pass of the task: receive everything waiting, then transmit.
    // Public so that tests can run the driver cycle by cycle.
    void Cycle();

    // Writes UARTDRV_STATS_T at p (storage aligned for 32-bit words).
    void GetStats(uint8_t* p);
    void ResetStats();

private:
    void Receive();
    void Transmit();
    void TransmitBurst();

    const uint32_t baseAddr;
    IProtocol* const protHandle;
    uint32_t standard;
    TX_STATES_E txState;  // burst state, RS-485/RS-422 only
    uint32_t ticksRxTxTaskPeriod;
    UARTDRV_STATS_T stats;
};

// Opens a UART: transceiver standard, FIFOs, bit rate, frame, flow control.
// Index above 3 is fatal; a standard other than RS-232/485/422 is fatal.
void uartOpen(uint32_t uartIndex, uint32_t standard, uint32_t baudRate, uint32_t dataLength,
              uint32_t stopBits, uint32_t parityType);
// True when the transceiver channel wired to the UART can take `standard`
// (RS-232, RS-485 or RS-422); false for an index above 3.
bool uartStandardAvailable(uint32_t uartIndex, uint32_t standard);
// Disables an opened UART; does nothing on one that is not open.
void uartClose(uint32_t uartIndex);
#ifdef ZOK2_TEST_HOOKS
// Test and fuzz builds only, after a kernel and peripheral reset: every UART
// closed and both transceivers forgotten, as at power-up.
void uartRestart();
#endif
// Spins until a byte has arrived and returns it.
uint8_t uartReadByte(uint32_t uartIndex);
// Puts one byte into the transmit FIFO, spinning while it is full; gives up
// without writing if the UART is not open while it waits. Never sleeps, so it
// works with interrupts disabled. An index above 3 drops the byte: this is
// the fatal path's writer and must not raise another fatal error.
void uartWriteByte(uint32_t uartIndex, uint8_t byte);
void uartWriteBuffer(uint32_t uartIndex, uint32_t len, const uint8_t* data);
