// Framing protocol of one host link: DLE-framed, byte-stuffed info frames
// with a 12-byte addressing header and CRC-8, the two-byte connection packet
// that keeps the link alive, and the supervision of the link.
// RxDataHandler/TxDataHandler run in the SPI receive interrupt; the "bppos"
// worker task decodes, supervises and sends connection packets; Send runs in
// the router task. Owns both byte FIFOs; the BDs it decodes go to the
// receive callback, which owns them from then on.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "crcapl.h"
#include "dletext.h"
#include "errcodes.h"
#include "iprotocol.h"
#include "kernel.h"

// State of the interrupt's pre-filter; 3, 5, 6, 7 and above 8 are invalid.
enum RX_PACKET_STATE_E : uint8_t {
    WAIT_DLE = 0,       // the DLE that opens a unit
    WAIT_STX = 1,       // the byte after the opening DLE
    WAIT_TEXT_DLE = 2,  // text bytes; a DLE starts an escape
    WAIT_ETX_DLE = 4,   // the byte after a DLE inside the text
    WAIT_CRC = 8,       // the CRC byte
};

struct BPPOS_CONFIG_T {
    SOURCES_E source;                        // stamped into every received BD
    RECV_BD_CALLBACK recvCallback;           // gets each received BD; must not be null
    CONNECTION_CALLBACK connectionCallback;  // link changes; may be null
    uint32_t ticksRecvTimeout;               // receive silence before the link goes down
    uint32_t ticksConnectionWindow;          // transmit silence before a connection packet
};

// Nine 32-bit words, in this order, as GetStats writes them.
struct BPPOS_STATS_T {
    uint32_t linkActivity;                  // 0 = LINK_DOWN, 1 = LINK_UP
    uint32_t numOfSentMessages;             // info frames queued for sending
    uint32_t numOfRecvdMessages;            // frames with a correct CRC and a full header
    uint32_t numOfRecvDataQueueFullErrors;  // bytes dropped on a full receive FIFO
    uint32_t numOfPacketFormatErrors;       // over-long texts and bad escapes (once per text)
    uint32_t numOfCrcErrors;                // frames with a wrong CRC byte
    uint32_t numOfRecvdMsgLengthErrors;     // good CRC but short header or too big for a BD
    uint32_t numOfSendMsgLengthErrors;      // Send with load 0 or above LEN_MSG_BPPOS, link up
    uint32_t numOfSendDataQueueFullErrors;  // frames refused or abandoned on a full transmit FIFO
};

class BPPoS final : public ProtocolBase<BPPOS_STATS_T, 8192> {
public:
    static constexpr uint8_t DLE = 0x10;
    static constexpr uint8_t STX = 0x02;
    static constexpr uint8_t ETX = 0x03;
    static constexpr uint8_t ACK = 0x06;
    static constexpr uint8_t VAL_INITIAL_CRC = 0xFF;
    static constexpr uint16_t LEN_MSG_BPPOS = 1468;
    static constexpr uint32_t LEN_FIFO_RX_DATA = 8192;
    static constexpr uint32_t MASK_FIFO_RX_DATA = ByteFifo<LEN_FIFO_RX_DATA>::MASK;
    static constexpr uint32_t MASK_FIFO_TX_DATA = ByteFifo<LEN_FIFO_TX_DATA>::MASK;
    static constexpr uint16_t LEN_HEADER = 12;
    static constexpr uint16_t LEN_DECODE_BUF = LEN_HEADER + LEN_MSG_BPPOS;
    static constexpr uint16_t IN_HEADER_DEST_PORT = 0;
    static constexpr uint16_t IN_HEADER_DEST_ADDR = 2;
    static constexpr uint16_t IN_HEADER_SOURCE_PORT = 6;
    static constexpr uint16_t IN_HEADER_SOURCE_ADDR = 8;
    static constexpr uint16_t IN_TEXT = 12;

    // Creates the worker task ("bppos", priority 2); a null recvCallback
    // (EC_ERROR_INVALID_ARGUMENT) or a task that cannot be created
    // (EC_ERROR_TASK_CREATION) is fatal. Start-up only.
    explicit BPPoS(BPPOS_CONFIG_T config);

    // Router task. Queues the BD's data as one info frame, whole or not at
    // all; the BD is only read. EC_FAIL when the link is down (not counted),
    // for a load of 0 or above LEN_MSG_BPPOS, or when the transmit FIFO has
    // no room. A null BD is fatal (EC_ERROR_INVALID_ARGUMENT) in every link
    // state. May wait for
    // the transmit FIFO semaphore.
    ERROR_CODES_E Send(BD* bd) override;
    // Writes a BPPOS_STATS_T at p.
    void GetStats(uint8_t* p) override;
    // Interrupt only: stores the bytes of units, drops those between them.
    // A unit that loses a byte to a full FIFO is dropped whole; it shows in
    // numOfRecvDataQueueFullErrors only, by the bytes that found the FIFO
    // full (the rest of it is dropped uncounted), and never as a format error.
    // The FIFO marks the cut beside the next byte it stores, so the decoder
    // drops the open unit there and never reads a stored byte as a cut.
    void RxDataHandler(uint8_t byte) override;
    // TxDataHandler, interrupt only: next byte to clock out, or EC_FAIL when
    // nothing is queued.

    // One pass of the worker task: decode the bytes received so far, then
    // supervise the link and send a connection packet when one is due.
    // Public so that a test can run passes under a controllable clock.
    void WorkerCycle();

private:
    // The frame text: CRC-8, header and payload, the connection packet.
    struct FRAMING_T {
        static uint8_t CrcStep(uint8_t crc, uint8_t b) { return Crc::ByteCalc8bitsCrc(crc, b); }
        static constexpr uint8_t CRC_INITIAL = VAL_INITIAL_CRC;
        static constexpr uint32_t LEN_MAX = LEN_DECODE_BUF;
        static bool IsPacket(uint8_t type) { return type == ACK; }
    };

    void InitState() override;
    void DecodePacket();
    void DecodeByte(uint8_t byte);
    void FrameReceived();
    void ConnectionReceived();
    ERROR_CODES_E SendInfo(BD* bd);
    void SendConnection();

    const CONNECTION_CALLBACK connectionCallback;
    const uint32_t ticksRecvTimeout;
    const uint32_t ticksConnectionWindow;
    LINK_ACTIVITY_E lastLinkActivity;             // last state reported to connectionCallback
    volatile uint32_t markTicksConnectionWindow;  // last frame or packet queued
    uint32_t markTicksRecvTimeout;                // last valid frame or packet received

    ByteFifoWithCuts<LEN_FIFO_RX_DATA>
        fifoRxData;  // filled by the interrupt, emptied by the worker

    RX_PACKET_STATE_E recvDataState;  // interrupt pre-filter
    uint8_t discardRx;                // 1: a unit lost a byte; its rest is not stored
    DleText<FRAMING_T> recvText;      // worker decoder

    ti_sysbios_knl_Semaphore_Handle semHandleFifoTxData;  // serialises the two senders
};
