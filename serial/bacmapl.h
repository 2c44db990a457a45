// BAC-M: the addressed, acknowledged, turn-taking link protocol of a serial
// line. The UART driver's task feeds and drains the byte FIFOs through the
// IProtocol handlers; the router task queues messages with Send; the "bacm"
// worker task (priority 2) decodes received packets, delivers each valid
// message in a fresh BD to the receive callback (which then owns it), and
// takes its turns: one INFO, ACK or NACK per turn, repeats on time-out or
// NACK, link down after two unanswered repeats. A damaged frame (bad CRC,
// bad escape, text too long or empty) is answered with a NACK; the rest of
// an abandoned text is passed over up to its end, never decoded as frames. Framing beyond the
// packets, UART settings and the routing of delivered BDs belong to others.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "crcapl.h"
#include "dletext.h"
#include "errcodes.h"
#include "iprotocol.h"

constexpr uint32_t LEN_MSG_BACM = 248;  // largest INFO text

struct STR_FIFO_MSG_T {
    uint32_t load;  // bytes held, 0 to LEN_MSG_BACM
    uint8_t buffer[LEN_MSG_BACM];
};

struct BACM_CONFIG_T {
    SOURCES_E source;               // stamped into every received BD
    RECV_BD_CALLBACK recvCallback;  // must not be null
    uint16_t master;                // 1 = master; anything else = slave
    // The link's address byte: a master sends it as it is and hears its
    // slave with SLAVE_MASK set; a slave sends it with SLAVE_MASK set and
    // hears exactly this value, all eight bits compared.
    uint8_t physicalAddr;
    uint32_t ticksRecvTimeout;  // wait for an answer before repeating
    uint32_t ticksAckWindow;    // how long the turn is kept for a message to send
};

struct BACM_STATS_T {
    uint32_t linkActivity;                  // 0 = down, 1 = up
    uint32_t numOfSentMessages;             // INFO frames queued to the line, repeats included
    uint32_t numOfRecvdMessages;            // valid INFO frames with a text
    uint32_t numOfRecvDataQueueFullErrors;  // bytes dropped: receive FIFO full
    uint32_t numOfPacketFormatErrors;       // texts over 248 bytes, bad escapes
    uint32_t numOfCrcErrors;
    uint32_t numOfRecvdMsgLengthErrors;    // empty texts; texts larger than the BD
    uint32_t numOfSendMsgLengthErrors;     // Send with 0 or more than 248 bytes
    uint32_t numOfSendMsgQueueFullErrors;  // Send with 16 messages queued
    uint32_t numTotalReTxMsg;              // INFO frames sent again
    uint32_t loadSendMsgQueue;             // messages queued now (not a counter)
};

class BACM final : public ProtocolBase<BACM_STATS_T, 1024> {
public:
    // Scoped to the class: the host-link protocol uses the same names.
    static constexpr uint8_t STX = 0x02;
    static constexpr uint8_t ETX = 0x03;
    static constexpr uint8_t ACK = 0x06;
    static constexpr uint8_t DLE = 0x10;
    static constexpr uint8_t NAK = 0x15;
    static constexpr uint16_t VAL_INITIAL_CRC = 0;
    static constexpr uint32_t MAX_RETX = 2;      // repeats of one packet before the link is down
    static constexpr uint8_t SLAVE_MASK = 0x80;  // set in the address byte of every slave packet

    // What the worker does next.
    enum LINK_STATES_E : uint8_t {
        WAIT_PACKET = 0,    // a packet was sent (or none is due): waiting for the peer
        RECEIVED_NACK = 1,  // the peer asks for the last packet again
        SEND_ACK = 2,       // master start: an ACK is due
        SEND_NACK = 3,      // a bad frame arrived: a NACK is due
        RECEIVED_ACK = 4,   // this side has the turn
        RECEIVED_INFO = 5,  // this side has the turn
    };

    // The packet a repeat sends again.
    enum LAST_PACKET_SENT_E : uint8_t {
        SENT_NOTHING = 0,
        SENT_ACK = 1,
        SENT_NACK = 2,
        SENT_INFO = 3,
    };

    static constexpr uint32_t LEN_FIFO_TX_MSG = 16;
    static constexpr uint32_t MASK_FIFO_TX_MSG = RingFifo<STR_FIFO_MSG_T, LEN_FIFO_TX_MSG>::MASK;
    static constexpr uint32_t MASK_FIFO_TX_DATA = ByteFifo<LEN_FIFO_TX_DATA>::MASK;
    static constexpr uint32_t LEN_FIFO_RX_DATA = 1024;
    static constexpr uint32_t MASK_FIFO_RX_DATA = ByteFifo<LEN_FIFO_RX_DATA>::MASK;

    // Creates the "bacm" worker task. A null receive callback is fatal
    // (EC_ERROR_INVALID_ARGUMENT), so is a task that cannot be created
    // (EC_ERROR_TASK_CREATION). Called at configuration time.
    explicit BACM(BACM_CONFIG_T config);

    // EnableLog: from now on prints one-letter trace marks: A/N/I/R for ACK,
    // NACK, INFO and INFO repeat sent; a/n/i for ACK, NACK and valid INFO
    // received. ResetStats clears the counters; link state and queues stay.
    // Router task. Queues a copy of the BD's data for a later turn. EC_FAIL
    // while the link is down (not counted), with 16 messages queued, or with
    // 0 or more than 248 bytes (both counted). A null BD is fatal
    // (EC_ERROR_INVALID_ARGUMENT) in every link state and queue load.
    ERROR_CODES_E Send(BD* bd) override;
    // Writes BACM_STATS_T at p (32-bit aligned).
    void GetStats(uint8_t* p) override;
    // UART driver task: byte FIFO producer and consumer, O(1), no lock.
    // A byte that finds the receive FIFO full counts in
    // numOfRecvDataQueueFullErrors; the decoder learns of the cut from the
    // FIFO and drops the frame that lost it whole (NACKed, no other counter).
    void RxDataHandler(uint8_t byte) override;

    // One pass of the worker task: decode every byte present, then act on
    // the link state and time-outs. The task runs it every 10 ticks; tests
    // run it directly under a controllable clock.
    void WorkerCycle();

private:
    // The INFO text: CRC-16, at most 248 bytes; ACK and NACK stand alone.
    struct FRAMING_T {
        static uint16_t CrcStep(uint16_t crc, uint8_t b) { return Crc::ByteCalc16bitsCrc(crc, b); }
        static constexpr uint16_t CRC_INITIAL = VAL_INITIAL_CRC;
        static constexpr uint32_t LEN_MAX = LEN_MSG_BACM;
        static bool IsPacket(uint8_t type) { return type == ACK || type == NAK; }
    };

    void InitState() override;
    void DecodePacket();
    void DecodeByte(uint8_t c);
    void CheckPacketType(uint8_t c);
    void PassOverCut();
    void FrameCheck();
    uint8_t RecvAddress() const;
    uint8_t SendAddress() const;
    void SendAck();
    void SendNack();
    void SendShortPacket(uint8_t type);
    void EncodeInfoPacket(uint32_t len, const uint8_t* text);
    void SendInfo();
    void ReSendInfo();
    void ReSendPackets();
    void TakeTurn();

    const uint16_t master;
    const uint8_t physicalAddr;
    const uint32_t ticksRecvTimeout;
    const uint32_t ticksAckWindow;
    uint32_t markTicksAckWindow;    // last ACK or valid INFO received
    uint32_t markTicksRecvTimeout;  // last packet sent
    LINK_STATES_E linkState;

    ByteFifoWithCuts<LEN_FIFO_RX_DATA> fifoRxData;  // UART driver task to worker

    uint8_t addressed;            // 1: between packets, the peer's address came last
    DleText<FRAMING_T> recvText;  // the text being received, without the doubled DLE

    RingFifo<STR_FIFO_MSG_T, LEN_FIFO_TX_MSG> fifoTxMsg;  // Send (router task) to worker

    LAST_PACKET_SENT_E lastPacketSent;
    uint32_t numReTx;           // repeats of the current packet, 0 to MAX_RETX
    uint32_t txFirstAck;        // 0 until an ACK went out since the link went down
    STR_FIFO_MSG_T BufReTxMsg;  // last INFO text, for a repeat
};
