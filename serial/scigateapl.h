// One configured serial line: binds a UART driver to the line's protocol
// (BAC-M or RAWoS) and hands every message the protocol receives to the
// router mailbox. Built by the configuration handler in the router task and
// never destroyed; the line then runs in the protocol's and the driver's
// tasks. The router sends through protHandle; the diagnostics pages read the
// configuration and the statistics of both layers.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "iprotocol.h"
#include "uartdrvapl.h"

constexpr uint32_t SCI_PROT_TYPE_BACM = 0;
constexpr uint32_t SCI_PROT_TYPE_RAWOS = 1;

struct SCIGATE_CONFIG_T {
    SOURCES_E source;                // SOURCE_SCI1, SOURCE_SCI2 or SOURCE_SCI3
    uint16_t uartIndex;              // UART 0..3
    uint32_t uartStandard;           // UART_STANDARD_RS232, _RS485 or _RS422
    uint32_t uartBaudRate;           // bits per second
    uint32_t uartWordLength;         // word-length code of the UART driver
    uint32_t uartStopBits;           // stop-bit code of the UART driver
    uint32_t uartParity;             // parity code of the UART driver
    uint32_t protType;               // SCI_PROT_TYPE_BACM or SCI_PROT_TYPE_RAWOS
    uint16_t bacmMaster;             // BAC-M only: 1 = master, other = slave
    uint32_t protTicksRecvTimeout;   // receive time-out in ticks, either protocol
    uint32_t bacmTicksAckWindow;     // BAC-M only: acknowledgement window in ticks
    uint8_t bacmPhysicalAddr;        // BAC-M only: the link's address byte
    uint32_t rawosInterCharTimeout;  // RAWoS only: silence ending a message, in ticks
};

class SciGate {
public:
    // Builds the protocol, then the driver (which opens the UART and sets
    // the transceiver), with the scheduler locked so that no new task runs
    // before the gate is complete. A protType other than BAC-M or RAWoS is
    // fatal (EC_ERROR_INVALID_ARGUMENT); so are the layers' own faults.
    explicit SciGate(SCIGATE_CONFIG_T config);

    // Receive callback of the protocol (its worker task): posts the BD to
    // the router mailbox (BdMail::PostOrRecycle), or, when the mailbox stays
    // full, returns it to the pool and counts the drop.
    static void RecvMessageHandler(BD* bd);
    // Messages of this line the mailbox refused since the last reset.
    uint32_t GetNumOfMailboxDrops() const;

    uint32_t GetProtType() const { return protType; }
    // Copies every field but source into cfg.
    void GetConfig(SCIGATE_CONFIG_T& cfg) const;
    // Writes the driver's UARTDRV_STATS_T at p (32-bit aligned).
    void GetUartStats(uint8_t* p);
    // Writes BACM_STATS_T or RAWOS_STATS_T at p, by protType (32-bit aligned).
    void GetProtStats(uint8_t* p);
    // Clears the protocol's counters, then the driver's, and the mailbox drops.
    void ResetStats();
    // Queues the BD's data on the line; the protocol counts its refusals and
    // the caller keeps the BD.
    void Send(BD* bd);

    const SOURCES_E source;
    const uint16_t uartIndex;
    const uint32_t uartStandard;
    const uint32_t uartBaudRate;
    const uint32_t uartWordLength;
    const uint32_t uartStopBits;
    const uint32_t uartParity;
    const uint32_t protType;
    const uint16_t bacmMaster;
    const uint32_t protTicksRecvTimeout;
    const uint32_t bacmTicksAckWindow;
    const uint8_t bacmPhysicalAddr;
    const uint32_t rawosInterCharTimeout;
    UartDrv* uartHandle;    // owned for the life of the system
    IProtocol* protHandle;  // BACM or RAWoS; owned for the life of the system
};
