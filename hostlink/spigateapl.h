// One host link: creates the link's BPPoS protocol and the SPI slave driver
// that feeds it, and hands every BD the protocol receives to the router
// mailbox. Built once per link at start-up; the link then runs by itself in
// the protocol's worker task and the SPI interrupt. The router sends through
// the gate (router task); the diagnostics pages read the statistics.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "iprotocol.h"
#include "spidrvapl.h"

struct SPIGATE_CONFIG_T {
    SOURCES_E source;                        // SOURCE_SPI1 or SOURCE_SPI2
    uint16_t spiIndex;                       // controller for SpiDrv: 0 or 1
    uint32_t spiBaudRate;                    // SPI clock in Hz
    uint32_t spiClockMode;                   // McSPI clock mode
    uint32_t spiChipSelectPolarity;          // McSPI chip-select polarity
    uint32_t bpposTicksRecvTimeout;          // link receive time-out in ticks
    uint32_t bpposTicksConnectionWindow;     // connection window in ticks
    CONNECTION_CALLBACK connectionCallback;  // link changes; given to the protocol only
};

class SpiGate {
public:
    // Builds the protocol, then the driver, with the scheduler locked so that
    // the worker task starts only once both exist. Their failures are fatal.
    explicit SpiGate(SPIGATE_CONFIG_T config);

    // Receive callback of the protocol (its worker task): posts the BD to
    // the router mailbox (BdMail::PostOrRecycle), or, when the mailbox stays
    // full, returns it to the pool and counts the drop.
    static void RecvMessageHandler(BD* bd);
    // Messages of this link the mailbox refused since the last reset.
    uint32_t GetNumOfMailboxDrops() const;
    // Router task: queues the BD on the link; the protocol's result is
    // dropped (it counts its refusals) and the caller keeps the BD.
    void Send(BD* bd);
    // Writes the protocol's BPPOS_STATS_T at p.
    void GetProtStats(uint8_t* p);
    // Clears the protocol's counters and the mailbox drops.
    void ResetStats();

    const SOURCES_E source;
    const uint16_t spiIndex;
    const uint32_t spiBaudRate;
    const uint32_t spiClockMode;
    const uint32_t spiChipSelectPolarity;
    const uint32_t bpposTicksRecvTimeout;
    const uint32_t bpposTicksConnectionWindow;
    SpiDrv* spiHandle;      // owned for the life of the system
    IProtocol* protHandle;  // the BPPoS object; owned for the life of the system
};
