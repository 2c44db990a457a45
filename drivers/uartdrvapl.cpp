// Polled UART byte access (the driver task and its protocol binding come
// with the serial-line drivers).
#include "uartdrvapl.h"

#include "soc_uart.h"

static const uint32_t mUartBase[NUM_OF_UARTS] = {0x44E09000, 0x48022000, 0x48024000, 0x481A6000};

void uartWriteByte(uint32_t uartIndex, uint8_t byte)
{
    const uint32_t base = mUartBase[uartIndex % NUM_OF_UARTS];
    while (UARTTxFIFOFullStatusGet(base) != 0) {
    }
    UARTFIFOCharPut(base, byte);
}

void uartWriteBuffer(uint32_t uartIndex, uint32_t len, const uint8_t* data)
{
    for (uint32_t i = 0; i < len; ++i) {
        uartWriteByte(uartIndex, data[i]);
    }
}

uint8_t uartReadByte(uint32_t uartIndex)
{
    const uint32_t base = mUartBase[uartIndex % NUM_OF_UARTS];
    while (UARTCharsAvail(base) == 0) {
    }
    return UARTFIFOCharGet(base);
}
