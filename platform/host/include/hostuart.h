// Test hooks of the UART model.
#pragma once

#include <cstdint>

// Receives every byte the firmware puts into a UART's transmit FIFO, instead
// of the Linux side; null gives the UART back to its Linux side.
using HostUartSink = void (*)(uint8_t byte, void* ctx);
void hostUartSetTxSink(uint32_t baseAddr, HostUartSink sink, void* ctx);
