// Diagnostics console start-up and print functions. Any task may print:
// each call holds the print lock for its whole message, so messages never
// interleave; output is queued into the console's transmit FIFO and never
// waits for the UART (a full FIFO loses the rest of the message). Before
// dcInit has created the console, dcPrint and dcPrintf drop their output.
// The fatal error line does not come through here (see exmapl.h).
#pragma once

#include <cstdint>

#include "consoleapl.h"
#include "uartdrvapl.h"

constexpr uint32_t MAX_LEN_STRING_CONSOLE = 256;  // dcPrint sends at most this many characters
constexpr uint8_t ESC = 27;                       // key code used by the page menu
constexpr uint32_t LEN_EMAC_STATS = 144;          // bytes of the MAC statistics record

// Starts the console: seconds counter, CPU load meter, print lock, console
// protocol and task, UART 0 driver at 115200 8N1. Once, before the kernel.
void dcInit();
// Prints at most MAX_LEN_STRING_CONSOLE characters of a text (null is fatal).
void dcPrint(const char* text);
// Prints with the console's formatter (see Console::Send(format, args)).
void dcPrintf(const char* format, ...);
// As dcPrintf, returning 1: the print function handed to the network stack.
int dcPrintf2(const char* format, ...);
// The console's receive callback: one key, in the console task.
void RecvCallback(uint8_t key);

// The console object and its UART driver; null until dcInit has created them.
Console* dcConsole();
UartDrv* dcUartDrv();
// Buffer of the MAC statistics page, word aligned.
extern uint32_t mEmacStats[LEN_EMAC_STATS / sizeof(uint32_t)];
