// The print calls of the diagnostics console, for every module of every
// layer. Output goes to the channel the console installs at start-up (see
// dcchannelapl.h); before that it is dropped. Each call is one message:
// messages of different tasks never interleave. Printing never waits for the
// UART: when the console's transmit FIFO is full the rest is lost.
#pragma once

#include <cstdint>

constexpr uint32_t MAX_LEN_STRING_CONSOLE = 256;  // dcPrint sends at most this many characters

// Prints at most MAX_LEN_STRING_CONSOLE characters of a text (null is fatal).
void dcPrint(const char* text);
// Prints with the console's formatter: %d %u %x %X %p %c %s %%, one flag of
// 0 - # +, a width.
void dcPrintf(const char* format, ...);
// As dcPrintf, returning 1: the print function handed to the network stack.
int dcPrintf2(const char* format, ...);
