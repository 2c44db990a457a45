// Shared internals of the peripheral models and their Linux-side files
// (not part of any API).
#pragma once

#include <cstddef>
#include <cstdint>

#include "soc_uart.h"

// Model time in nanoseconds: the kernel's tick clock (simulated time: every
// line model) or the host's monotonic clock (the RTC in the runner, which
// shows the host's time).
enum class ModelClock : uint8_t { Kernel, Monotonic };
uint64_t modelNowNs(ModelClock clock);
// A firmware context polls a model in a loop that only time ends (a full
// transmit FIFO) with interrupts off: on virtual time the busy CPU spends
// the time up to `ns` (model time), as the board's would; otherwise the
// clock moves by itself.
void modelBusyWaitUntil(uint64_t ns);

// The watchdog model counts on this clock from now on.
void hostWdtSetClock(ModelClock clock);
// The watchdog model calls fn on the simulated CPU's thread when the counter
// expires (an alarm on the kernel clock, so also after a halt).
void hostWdtOnExpiry(void (*fn)());

// Alarm ids of the peripheral models (hostAlarmSet).
enum HostAlarmId : uint32_t {
    ALARM_WDT = 0,
    ALARM_MCSPI0 = 1,
    ALARM_MCSPI1 = 2,
    ALARM_UART0 = 3,   /* ..6 */
    ALARM_CAPTURE = 7  // the capture's serial cutters: a silence ends a unit
};

// UART model <-> its Linux side (uart_host.cpp).
constexpr uint32_t HOST_NUM_UARTS = SOC_NUM_UARTS;

struct UartLineSettings {
    uint32_t bitRate;   // 0 while the UART does not run
    uint32_t dataBits;  // 5..8
    bool parity;
    bool oddParity;
    uint32_t stopBits;  // 1 or 2
    bool rtsBit;        // modem-control RTS bit
};

// Marks a UART as attached to a Linux side: bytes that leave are kept for it
// (a small amount; beyond, the shift register holds), and it is woken
// (uartHostKick) when bytes left or the line-in queue has room again.
void uartModelSetAttached(uint32_t index, bool attached);
// Takes bytes that left on the line.
size_t uartModelTakeLine(uint32_t index, uint8_t* out, size_t max);
// How many characters the line-in queue takes now; the Linux side reads no
// more from its descriptor. At 0 it is woken once there is room.
size_t uartModelLineInRoom(uint32_t index);
// A byte that arrived from the Linux side, with line status error bits: it
// lands one character time after the one before.
void uartModelLineIn(uint32_t index, uint8_t byte, uint32_t errors);
// Current line settings; true when they changed since the last call.
bool uartModelSettings(uint32_t index, UartLineSettings* out);
// Wakes the Linux side of a UART (transmitter started, settings changed).
void uartHostKick(uint32_t index);

// The RTC model counts on this clock from now on.
void hostRtcSetClock(ModelClock clock);
