// RAWoS: raw bytes on a serial line, received messages cut by silence. The
// UART driver's task feeds and drains the byte FIFOs through the IProtocol
// handlers; the router task puts messages on the line with Send, unchanged;
// the "rawos" worker task (priority 2) ends a received message after the
// inter-character silence or at 1468 bytes and delivers it in a fresh BD to
// the receive callback (which then owns it). No addressing, checksum or
// acknowledgement: the line's users own their framing.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "errcodes.h"
#include "iprotocol.h"

constexpr uint32_t LEN_MSG_RAWOS = 1468;  // largest message both ways: a BD's capacity

struct RAWOS_CONFIG_T {
    SOURCES_E source;                // stamped into every received BD
    RECV_BD_CALLBACK recvCallback;   // must not be null
    uint32_t ticksRecvTimeout;       // no message for longer: link down
    uint32_t ticksInterCharTimeout;  // silence for longer ends a message
};

struct RAWOS_STATS_T {
    uint32_t linkActivity;                  // 0 = down, 1 = up
    uint32_t numOfSentMessages;             // messages accepted by Send
    uint32_t numOfRecvdMessages;            // messages ended, by silence or length
    uint32_t numOfInterCharTimeout;         // ended by silence
    uint32_t numOfMaxFrameLength;           // ended at 1468 bytes
    uint32_t numOfRecvDataQueueFullErrors;  // bytes dropped: receive FIFO full
    uint32_t numOfRecvdMsgLengthErrors;     // messages larger than the BD taken
    uint32_t numOfSendMsgLengthErrors;      // Send with 0 or more than 1468 bytes
};

class RAWoS final : public ProtocolBase<RAWOS_STATS_T, 8192> {
public:
    static constexpr uint32_t LEN_FIFO_RX_DATA = 8192;
    static constexpr uint32_t MASK_FIFO_RX_DATA = ByteFifo<LEN_FIFO_RX_DATA>::MASK;
    static constexpr uint32_t MASK_FIFO_TX_DATA = ByteFifo<LEN_FIFO_TX_DATA>::MASK;

    // Creates the "rawos" worker task. A null receive callback is fatal
    // (EC_ERROR_INVALID_ARGUMENT), so is a task that cannot be created
    // (EC_ERROR_TASK_CREATION). Called at configuration time.
    explicit RAWoS(RAWOS_CONFIG_T config);

    // EnableLog: from now on prints trace marks, "I" message accepted by
    // Send, "i" message received. ResetStats clears the counters; the link
    // state stays.
    // Router task. Copies the whole message into the transmit FIFO, whatever
    // the link state. EC_FAIL with 0 or more than 1468 bytes (counted) or
    // when the FIFO lacks room for all of it (not counted, nothing written).
    // A null BD is fatal (EC_ERROR_INVALID_ARGUMENT), whatever the state.
    ERROR_CODES_E Send(BD* bd) override;
    // Writes RAWOS_STATS_T at p (32-bit aligned).
    void GetStats(uint8_t* p) override;
    // UART driver task: byte FIFO producer and consumer, O(1), no lock.
    void RxDataHandler(uint8_t byte) override;

    // One pass of the worker task: take every byte present, end a message
    // on length or silence, supervise the link. The task runs it every 10
    // ticks; tests run it directly under a controllable clock.
    void WorkerCycle();

private:
    void InitState() override;
    void DecodePacket();
    void SaveRecvdPacket();

    const uint32_t ticksRecvTimeout;
    const uint32_t ticksInterCharTimeout;
    uint32_t markTicksInterCharTimeout;  // last byte taken from the receive FIFO
    uint32_t markTicksRecvTimeout;       // last message ended

    ByteFifo<LEN_FIFO_RX_DATA> fifoRxData;  // UART driver task to worker

    uint16_t lenRecvMsg;  // bytes of the message being received
    uint8_t bufRecvMsg[LEN_MSG_RAWOS];
};
