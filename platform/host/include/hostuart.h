// UART model: the four SoC UARTs with 64-byte FIFOs, line status, divisor and
// line control, the RTS modem-control bit, and bytes that move at the
// programmed bit rate in both directions. Tests drive the line side through
// these hooks; the runner attaches each UART to a terminal, PTY or tty
// (hostUartAttachAll). Indices are 0 to 3 (UART 0 is the console); a base
// address or index of no UART is a bus fault.
// The model's time is the kernel's tick clock (simulated time), in tests and
// in the runner, so a sleeping driver task sees the line move and a late
// host changes only when things happen, not what the firmware sees.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Receives every byte the firmware puts into a UART's transmit FIFO at once,
// bypassing FIFO and line timing; null gives the UART back to its line.
using HostUartSink = void (*)(uint8_t byte, void* ctx);
void hostUartSetTxSink(uint32_t baseAddr, HostUartSink sink, void* ctx);

// All UARTs to their power-on state (UART 0 as the boot loader leaves it:
// enabled at 115200 8N1; the others disabled), no sinks.
void hostUartReset();
// Bytes that have left on the line (up to `max`), oldest first; removes them.
size_t hostUartTakeTx(uint32_t index, uint8_t* out, size_t max);
// How many bytes that left may wait to be taken; beyond, the character in
// the shift register stays there (the transmitter busy) until some are
// taken. Until the next reset; a large default.
void hostUartSetLineOutLimit(uint32_t index, size_t bytes);
// How many characters the line-in queue takes now: what a Linux side reads
// from its descriptor at most (a few ticks of line time).
size_t hostUartLineInRoom(uint32_t index);
// Bytes arriving on the line from now on, one character time after another;
// `errors` (line status bits BI/FE/PE) marks each of them.
void hostUartLineIn(uint32_t index, const uint8_t* data, size_t len, uint32_t errors = 0);
// One byte straight into the receive FIFO with its error bits; a full FIFO
// loses it and raises the overrun flag, as the hardware does.
void hostUartRxFifoPut(uint32_t index, uint8_t byte, uint32_t errors = 0);
// One UART as a test sees it.
struct HostUartState {
    uint32_t mode = 0;           // operating mode: 0 = UART 16x, 7 = disabled
    uint32_t bitRate = 0;        // from the divisor; 0 while the divisor is 0
    uint32_t frameBits = 0;      // bits per character from the line control
    uint32_t lineControl = 0;    // line control register (frame format)
    bool rtsBit = false;         // RTS modem-control bit (set: RS-485/RS-422 driver off)
    uint32_t rtsClears = 0;      // how often the firmware cleared the RTS bit
    uint32_t rtsSets = 0;        // and set it
    uint32_t undrivenBytes = 0;  // bytes cut off the line because RTS was set while they
                                 // left (a line driver released too early)
    uint32_t txLost = 0;         // bytes written into a full transmit FIFO
    uint32_t rxFifoLevel = 0;
    uint32_t txFifoLevel = 0;      // not counting the byte in the shift register
    bool transmitterEmpty = true;  // FIFO and shift register both empty
};
HostUartState hostUartState(uint32_t index);

// Runner: attaches every UART to its Linux side as the board configuration
// says ("tty" = the terminal, "pty" = a new PTY linked as runDir/<name>, or a
// tty device path) and reports each attachment on standard error. Its
// reader and writer are held back by the descriptor, never dropped: input
// is read as the line takes it, output is written as the descriptor takes
// it. Returns false (after a message) on failure.
bool hostUartAttachAll();

// The Linux side's decoder (uart_host.cpp), here for its test. Input of a
// tty whose errors are marked (PARMRK): 0xFF 0xFF is a 0xFF byte,
// 0xFF 0x00 0x00 a break, 0xFF 0x00 x the byte x with a parity error (when
// parity is on) or a framing error, which the tty does not tell apart.
class ParmrkDecoder {
public:
    // Takes one input byte; true when it completes a received character.
    bool Feed(uint8_t in, uint8_t& byte, uint32_t& errors);
    bool parityOn = false;

private:
    uint8_t state = 0;  // 0 plain, 1 after 0xFF, 2 after 0xFF 0x00
};
