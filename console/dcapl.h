// Diagnostics console print functions, usable from any task.
// Output is queued into the console protocol's transmit FIFO under the
// console's output semaphore; the console UART driver task sends it.
#pragma once

#include <cstdint>

// Starts the console: UART 0 driver, console protocol and task, CPU load meter.
void dcInit();
// Prints a text, at most 256 characters of it.
void dcPrint(const char* text);
// Prints with the console's own formatter (%d %u %x %X %c %s %lu ..., widths, pads).
void dcPrintf(const char* format, ...);
// Same as dcPrintf for callers that pass two separately built argument sets.
void dcPrintf2(const char* format, ...);
