// Polled UART byte access by UART index.
// uartWriteByte never sleeps and needs no task or interrupt, so the fatal
// error path can use it with interrupts disabled.
#pragma once

#include <cstdint>

constexpr uint32_t NUM_OF_UARTS = 4;
constexpr uint32_t DC_UART_INDEX = 0;  // the diagnostics console's UART

// Waits while the transmit FIFO is full (returns without writing if the UART
// is not open meanwhile), then puts the byte into it.
void uartWriteByte(uint32_t uartIndex, uint8_t byte);
void uartWriteBuffer(uint32_t uartIndex, uint32_t len, const uint8_t* data);
// Waits until a byte is received and returns it.
uint8_t uartReadByte(uint32_t uartIndex);
