// Diagnostics console start-up: the console protocol on UART 0 and the print
// channel behind dcPrint, dcPrintf and dcPrintf2 (declared in dcprintapl.h,
// which every module may include). Each print holds the print lock for its
// whole message, so messages never interleave; output is queued into the
// console's transmit FIFO and never waits for the UART. The fatal error line
// does not come through here (see exmapl.h).
#pragma once

#include <cstdint>

#include "consoleapl.h"
#include "dcprintapl.h"
#include "uartdrvapl.h"

// Starts the console: seconds counter, CPU load meter, print lock, console
// protocol and task, print channel, UART 0 driver at 115200 8N1. Once,
// before the kernel.
void dcInit();
// Handles one key typed on the console, in the console task.
void dcHandleKey(uint8_t key);

// The console object and its UART driver; null until dcInit has created them.
Console* dcConsole();
UartDrv* dcUartDrv();
