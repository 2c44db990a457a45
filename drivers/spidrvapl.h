// SPI slave driver of one McSPI controller towards the host processor.
// All its work runs in the controller's receive interrupt, one 8-bit word at
// a time: the received byte goes to the protocol, and the protocol's next
// byte (or the fill byte SYN when it has none) goes out with the next word.
// Owns no buffers and no task; the protocol owns the FIFOs.
#pragma once

#include <cstdint>

#include "iprotocol.h"

struct SPIDRV_CONFIG_T {
    uint16_t spiIndex;            // controller row: 0 or 1
    uint32_t baudRate;            // SPI clock in Hz
    uint32_t clockMode;           // polarity and phase, McSPI encoding
    uint32_t chipSelectPolarity;  // McSPI encoding
    IProtocol* protHandle;        // must not be null
};

struct SPI_HWATTRS_T {
    uint32_t baseAddr;   // register base
    uint32_t intNum;     // interrupt number at the controller
    uint32_t eventId;    // crossbar event
    uint32_t frequency;  // functional clock in Hz
};

enum SPI_STATES_E : uint8_t {
    SPI_CLOSED = 0,
    SPI_OPENING = 1,
    SPI_OPENED = 2,
};

class SpiDrv {
public:
    static constexpr uint16_t NUM_OF_MCSPIS = 2;
    static constexpr uint8_t SYN = 0x16;  // sent when the protocol has nothing

    // Opens and starts the controller; the interrupt may fire once this
    // returns. Fatal: index above 1 or null protocol
    // (EC_ERROR_INVALID_ARGUMENT), a controller opened before
    // (EC_ERROR_SPI_OPEN), registration refused (EC_ERROR_REGISTER_ISR).
    // Start-up only, with the scheduler locked.
    explicit SpiDrv(SPIDRV_CONFIG_T config);
#ifdef ZOK2_TEST_HOOKS
    // Test and fuzz builds only, after a kernel and peripheral reset: both
    // controllers closed, as at power-up.
    static void Restart();
#endif

    // Interrupt handler; arg is the SpiDrv it was registered with.
    static void RxTxIsr(uintptr_t* arg);

private:
    const uint32_t baseAddr;
    IProtocol* const protHandle;
};
