// BAC-M link protocol: byte FIFOs, message queue, receive state machine,
// turn-taking handshake with repeats, link supervision and statistics.
// Runs in the "bacm" worker task, the UART driver's task (byte handlers) and
// the router task (Send); see bacmapl.h for the contracts.
#include "bacmapl.h"

#include <cstring>

#include "bdpoolapl.h"
#include "crcapl.h"
#include "dcprintapl.h"
#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "bacmapl.cpp";

namespace {
constexpr uint32_t LEN_SHORT_PACKET = 3;   // address, DLE, type: ACK and NACK
constexpr uint32_t LEN_INFO_OVERHEAD = 7;  // address, DLE STX, DLE ETX, two CRC bytes
constexpr uint16_t MASTER_VALUE = 1;
constexpr uint8_t CRC_HIGH_SHIFT = 8;
constexpr uint8_t BYTE_MASK = 0xFF;

// The room a text needs on the line in the worst case, every byte a DLE.
constexpr uint32_t worstInfoLength(uint32_t len) { return 2 * len + LEN_INFO_OVERHEAD; }
}  // namespace

BACM::BACM(BACM_CONFIG_T config)
    : ProtocolBase(config.source, config.recvCallback, EXM_HERE),
      master(config.master),
      physicalAddr(config.physicalAddr),
      ticksRecvTimeout(config.ticksRecvTimeout),
      ticksAckWindow(config.ticksAckWindow)
{
    InitState();
    createWorkerTask(this, "bacm", ticksTaskPeriod, EXM_HERE);
}

void BACM::InitState()
{
    // Everything but the configuration, as after construction.
    InitBase();
    fifoRxData.Clear();
    addressed = 0;
    recvText.Clear();
    fifoTxMsg.Clear();
    lastPacketSent = SENT_NOTHING;
    numReTx = 0;
    txFirstAck = 0;
    BufReTxMsg = {};
    markTicksAckWindow = markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkState = (master == MASTER_VALUE) ? SEND_ACK : WAIT_PACKET;
}

ERROR_CODES_E BACM::Send(BD* bd)
{
    // First, so that the programming fault shows whatever the link state.
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    if (linkActivity != LINK_UP) {
        return EC_FAIL;
    }
    if (fifoTxMsg.Room() == 0) {
        stats.numOfSendMsgQueueFullErrors++;
        return EC_FAIL;
    }
    const uint32_t len = bd->Load();
    if (len == 0 || len > LEN_MSG_BACM) {
        stats.numOfSendMsgLengthErrors++;
        return EC_FAIL;
    }
    // Filled in place: the worker sees the entry only once it is committed.
    RingFifo<STR_FIFO_MSG_T, LEN_FIFO_TX_MSG>::Unit unit = fifoTxMsg.BeginUnit();
    STR_FIFO_MSG_T& entry = unit.Next();
    std::memcpy(entry.buffer, bd->BufferPtr(), len);
    entry.load = len;
    fifoTxMsg.Commit(unit);
    return EC_SUCCESS;
}

void BACM::GetStats(uint8_t* p)
{
    BACM_STATS_T record = stats;
    record.loadSendMsgQueue = fifoTxMsg.Load();
    WriteStats(record, p);
}

void BACM::RxDataHandler(uint8_t byte)
{
    if (!fifoRxData.PutFromDriver(byte)) {
        stats.numOfRecvDataQueueFullErrors++;
    }
}

void BACM::WorkerCycle()
{
    DecodePacket();
    switch (linkState) {
    case WAIT_PACKET:
        if (ticksExpired(markTicksRecvTimeout, ticksRecvTimeout)) {
            ReSendPackets();
        }
        break;
    case RECEIVED_NACK:
        ReSendPackets();
        linkState = WAIT_PACKET;
        break;
    case SEND_ACK:
        SendAck();
        linkState = WAIT_PACKET;
        break;
    case SEND_NACK:
        numReTx = 0;
        SendNack();
        linkState = WAIT_PACKET;
        break;
    case RECEIVED_ACK:
    case RECEIVED_INFO:
        linkActivity = LINK_UP;
        numReTx = 0;
        TakeTurn();
        break;
    default:
        EXM_FATAL(EC_ERROR_INVALID_SWITCH);
    }
}

void BACM::TakeTurn()
{
    if (txFirstAck == 0) {
        // The first turn after the link came up only passes the turn, so
        // that both sides have restarted before any message moves.
        SendAck();
        linkState = WAIT_PACKET;
        txFirstAck = 1;
    } else if (fifoTxMsg.Load() != 0) {
        SendInfo();
        linkState = WAIT_PACKET;
    } else if (ticksExpired(markTicksAckWindow, ticksAckWindow)) {
        SendAck();
        linkState = WAIT_PACKET;
    }
    // Otherwise the turn is kept, so that a message queued within the
    // window still goes out in this turn.
}

uint8_t BACM::RecvAddress() const
{
    // A master hears its slave, which sets the slave bit; a slave hears the
    // master's plain address. Neither takes its own echo for the peer.
    return (master == MASTER_VALUE) ? static_cast<uint8_t>(physicalAddr | SLAVE_MASK)
                                    : physicalAddr;
}

uint8_t BACM::SendAddress() const
{
    return (master == MASTER_VALUE) ? physicalAddr
                                    : static_cast<uint8_t>(physicalAddr | SLAVE_MASK);
}

void BACM::DecodePacket()
{
    uint32_t count = fifoRxData.Load();
    while (count != 0) {
        if (fifoRxData.CutBeforeFront()) {
            PassOverCut();
        }
        DecodeByte(fifoRxData.Take());
        count--;
    }
}

void BACM::PassOverCut()
{
    // Bytes were lost to the full FIFO just before this one. A text being
    // received is dropped whole and answered like a CRC error, so that the
    // sender repeats it. What follows may be the inside of a text whose
    // start was lost: it is passed over like an abandoned text, up to its
    // end or to the next opening pair. The loss is counted only where the
    // bytes were dropped.
    if (recvText.PassOver()) {
        linkState = SEND_NACK;
    }
    addressed = 0;
}

void BACM::CheckPacketType(uint8_t c)
{
    if (c == ACK) {
        markTicksAckWindow = ti_sysbios_knl_Clock_getTicks();
        linkState = RECEIVED_ACK;
        Trace("a");
    } else if (c == NAK) {
        linkState = RECEIVED_NACK;
        Trace("n");
    }
}

void BACM::DecodeByte(uint8_t c)
{
    if (recvText.Idle()) {
        // Between packets: the peer's address, repeated or not, then the
        // DLE that opens the packet.
        if (addressed == 0 || c != DLE) {
            addressed = c == RecvAddress() ? 1 : 0;
            return;
        }
        addressed = 0;
    }
    switch (recvText.Take(c)) {
    case DLE_FRAME:
        FrameCheck();
        break;
    case DLE_CUT:
        // Answered like a CRC error, so that the sender repeats the frame.
        stats.numOfPacketFormatErrors++;
        linkState = SEND_NACK;
        break;
    case DLE_RESTART:
        stats.numOfPacketFormatErrors++;
        break;
    case DLE_PACKET_CUT:
        // Most likely a frame cut short and followed by an ACK or NACK
        // packet: the packet keeps its meaning, the frame is dropped.
        stats.numOfPacketFormatErrors++;
        CheckPacketType(c);
        break;
    case DLE_PACKET:
        CheckPacketType(c);
        break;
    default:
        break;
    }
}

void BACM::FrameCheck()
{
    if (!recvText.CrcGood()) {
        stats.numOfCrcErrors++;
        linkState = SEND_NACK;
        return;
    }
    if (recvText.Length() == 0) {
        stats.numOfRecvdMsgLengthErrors++;
        linkState = SEND_NACK;
        return;
    }
    markTicksAckWindow = ti_sysbios_knl_Clock_getTicks();
    linkState = RECEIVED_INFO;
    Trace("i");
    stats.numOfRecvdMessages++;
    DeliverUnaddressed(recvText.Length(), recvText.Text());
}

void BACM::SendShortPacket(uint8_t type)
{
    ByteFifo<LEN_FIFO_TX_DATA>::Unit packet = fifoTxData.BeginUnit();
    packet.Put(SendAddress());
    packet.Put(DLE);
    packet.Put(type);
    // The driver sees the packet only once the load counts all of it.
    fifoTxData.Commit(packet);
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
}

void BACM::SendAck()
{
    if (fifoTxData.Room() < LEN_SHORT_PACKET) {
        return;
    }
    SendShortPacket(ACK);
    lastPacketSent = SENT_ACK;
    Trace("A");
    txFirstAck = 1;
}

void BACM::SendNack()
{
    if (fifoTxData.Room() < LEN_SHORT_PACKET) {
        return;
    }
    SendShortPacket(NAK);
    lastPacketSent = SENT_NACK;
    Trace("N");
}

void BACM::EncodeInfoPacket(uint32_t len, const uint8_t* text)
{
    ByteFifo<LEN_FIFO_TX_DATA>::Unit packet = fifoTxData.BeginUnit();
    uint16_t crc = VAL_INITIAL_CRC;
    packet.Put(SendAddress());
    packet.Put(DLE);
    packet.Put(STX);
    for (uint32_t i = 0; i < len; i++) {
        packet.Put(text[i]);
        crc = Crc::ByteCalc16bitsCrc(crc, text[i]);
        if (text[i] == DLE) {
            packet.Put(DLE);
            crc = Crc::ByteCalc16bitsCrc(crc, DLE);
        }
    }
    packet.Put(DLE);
    crc = Crc::ByteCalc16bitsCrc(crc, DLE);
    packet.Put(ETX);
    crc = Crc::ByteCalc16bitsCrc(crc, ETX);
    packet.Put(static_cast<uint8_t>(crc >> CRC_HIGH_SHIFT));
    packet.Put(static_cast<uint8_t>(crc & BYTE_MASK));
    fifoTxData.Commit(packet);
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    stats.numOfSentMessages++;
}

void BACM::SendInfo()
{
    STR_FIFO_MSG_T& entry = fifoTxMsg.Front();
    if (fifoTxData.Room() < worstInfoLength(entry.load)) {
        return;
    }
    EncodeInfoPacket(entry.load, entry.buffer);
    std::memcpy(BufReTxMsg.buffer, entry.buffer, entry.load);
    BufReTxMsg.load = entry.load;
    entry.load = 0;
    fifoTxMsg.Release();
    lastPacketSent = SENT_INFO;
    Trace("I");
}

void BACM::ReSendInfo()
{
    if (fifoTxData.Room() < worstInfoLength(BufReTxMsg.load)) {
        return;
    }
    EncodeInfoPacket(BufReTxMsg.load, BufReTxMsg.buffer);
    lastPacketSent = SENT_INFO;
    Trace("R");
    stats.numTotalReTxMsg++;
}

void BACM::ReSendPackets()
{
    if (numReTx < MAX_RETX) {
        numReTx++;
        switch (lastPacketSent) {
        case SENT_NOTHING:
            markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
            break;
        case SENT_ACK:
            SendAck();
            break;
        case SENT_NACK:
            SendNack();
            break;
        case SENT_INFO:
            ReSendInfo();
            break;
        default:
            EXM_FATAL(EC_ERROR_INVALID_SWITCH);
        }
        return;
    }
    // Given up: start the handshake again. Queued messages, the FIFOs and
    // the receive state stay for when the peer answers again.
    linkActivity = LINK_DOWN;
    lastPacketSent = SENT_NOTHING;
    txFirstAck = 0;
    numReTx = 0;
    markTicksAckWindow = markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkState = (master == MASTER_VALUE) ? SEND_ACK : WAIT_PACKET;
}
