// Shared internals of the peripheral models and their Linux-side files
// (not part of any API).
#pragma once

#include <cstddef>
#include <cstdint>

#include "soc_uart.h"

// Model time in nanoseconds: the kernel's tick clock (tests, repeatable) or
// the host's monotonic clock (runner, keeps running after a halt).
enum class ModelClock : uint8_t { Kernel, Monotonic };
uint64_t modelNowNs(ModelClock clock);

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
    ALARM_UART0 = 3 /* ..6 */
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

void uartModelSetClock(ModelClock clock);
// Marks a UART as attached to a Linux side: bytes that leave are kept for it.
void uartModelSetAttached(uint32_t index, bool attached);
// Takes bytes that left on the line; `busyNs` gets the time until the
// transmitter is empty (0 when idle).
size_t uartModelTakeLine(uint32_t index, uint8_t* out, size_t max, uint64_t* busyNs);
// A byte that arrived from the Linux side, with line status error bits.
void uartModelLineIn(uint32_t index, uint8_t byte, uint32_t errors);
// Current line settings; true when they changed since the last call.
bool uartModelSettings(uint32_t index, UartLineSettings* out);
// Wakes the Linux side of a UART (transmitter started, settings changed).
void uartHostKick(uint32_t index);

// The RTC model counts on this clock from now on.
void hostRtcSetClock(ModelClock clock);
