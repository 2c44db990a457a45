// Console protocol: the byte channel of the diagnostics console on UART 0.
// Two byte FIFOs between the UART driver task (priority 9, the only reader of
// the transmit FIFO and writer of the receive FIFO) and the rest of the
// system, the console task ("console", priority 1) that hands each received
// key to the callback, and the console's own printf-style formatter.
// Writers of the transmit FIFO are serialised by the print lock of dcapl;
// this class takes no lock itself. No framing, statistics or logging.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "errcodes.h"
#include "iprotocol.h"
#include "kernel.h"

using RECV_BYTE_CALLBACK = void (*)(uint8_t key);

// One conversion of the formatter, as read after its '%'.
struct CONSOLE_CONVERSION_T {
    char pad;        // '0' after a 0 flag, else ' '
    uint32_t width;  // 0 when none is given
    char letter;     // d u x X p c s %; any other letter prints '?'
};

struct CONSOLE_CONFIG_T {
    RECV_BYTE_CALLBACK recvCallback;  // called in the console task per received byte
};

class Console final : public IProtocol {
public:
    static constexpr uint32_t LEN_FIFO_RX_DATA = 1024;
    static constexpr uint32_t MASK_FIFO_RX_DATA = ByteFifo<LEN_FIFO_RX_DATA>::MASK;
    static constexpr uint32_t LEN_FIFO_TX_DATA = 8192;
    static constexpr uint32_t MASK_FIFO_TX_DATA = ByteFifo<LEN_FIFO_TX_DATA>::MASK;
    // Room of the number field of the formatter, in characters.
    static constexpr uint32_t LEN_NUMBER_FIELD = 16;

    // A null callback is fatal (invalid argument); a receive semaphore or
    // console task that cannot be created is fatal too.
    explicit Console(CONSOLE_CONFIG_T config);

    void EnableLog() override;
    // Queues the BD's bytes as console output; a null BD is fatal.
    ERROR_CODES_E Send(BD* bd) override;
    void ResetStats() override;
    void GetStats(uint8_t* p) override;
    // Driver task: stores a key, or drops it silently when 1024 are pending.
    void RxDataHandler(uint8_t c) override;
    ERROR_CODES_E TxDataHandler(uint8_t& out) override;

    // One byte of output; a line feed goes out as CR LF. EC_FAIL when the
    // transmit FIFO is full (a CR may then be stored without its LF).
    ERROR_CODES_E Send(uint8_t c);
    // Up to `length` bytes, stopping early at a 0 byte. EC_FAIL at the first
    // refused byte, the bytes before it stay queued. Null data is fatal.
    ERROR_CODES_E Send(uint32_t length, const uint8_t* data);
    // The formatter: %d %u %x %X %p %c %s %%, one flag of 0 - # +, a width.
    // %p takes a whole pointer (64 bits on a 64-bit host).
    void Send(const char* format, va_list args);
    // Builds a number field of at most LEN_NUMBER_FIELD characters into
    // `buffer` (room for LEN_NUMBER_FIELD) and returns its length. The value
    // is pointer wide, so that %p fits; the board's word is 32 bits.
    static uint32_t ConvertVal(uintptr_t value, uint32_t base, uint32_t negative, uint32_t width,
                               char pad, char* buffer);

    static void WorkerTask(UArg arg0, UArg arg1);
    // One pass of the console task: every key received so far to the
    // callback, in order. The task takes one key per semaphore count; a test
    // or fuzz harness runs passes directly.
    void WorkerCycle();

private:
    bool TakeKey();
    void SendSpaces(uint32_t count);
    void SendConversion(const CONSOLE_CONVERSION_T& conversion, va_list* args);

    const RECV_BYTE_CALLBACK recvCallback;
    ByteFifo<LEN_FIFO_RX_DATA> fifoRxData;              // UART driver task to console task
    ByteFifo<LEN_FIFO_TX_DATA> fifoTxData;              // printing tasks to UART driver task
    ti_sysbios_knl_Semaphore_Handle semHandleRecvData;  // one count per received byte
};
