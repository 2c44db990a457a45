// Host-link framing protocol: see bpposapl.h.
#include "bpposapl.h"

#include <cstring>

#include "bdpoolapl.h"
#include "crcapl.h"
#include "dcprintapl.h"
#include "exmapl.h"

static const char _MODULE_[] = "bpposapl.cpp";

// Opening pair, header, closing pair and CRC: the frame around the payload
// when no byte needs doubling.
static const uint32_t LEN_FRAME_OVERHEAD = 2 + BPPoS::LEN_HEADER + 3;
static const uint32_t LEN_FRAME_CLOSING = 3;  // DLE ETX CRC
static const uint32_t LEN_CONNECTION_PACKET = 2;

BPPoS::BPPoS(BPPOS_CONFIG_T config)
    : ProtocolBase(config.source, config.recvCallback, EXM_HERE),
      connectionCallback(config.connectionCallback),
      ticksRecvTimeout(config.ticksRecvTimeout),
      ticksConnectionWindow(config.ticksConnectionWindow),
      semHandleFifoTxData(nullptr)
{
    semHandleFifoTxData = ti_sysbios_knl_Semaphore_create(1, ti_sysbios_knl_Semaphore_Mode_BINARY);
    if (semHandleFifoTxData == nullptr) {
        EXM_FATAL(EC_ERROR_SEMAPHORE_CREATION);
    }
    InitState();
    createWorkerTask(this, "bppos", ticksTaskPeriod, EXM_HERE);
}

void BPPoS::InitState()
{
    // Everything but the configuration, as after construction.
    InitBase();
    lastLinkActivity = LINK_DOWN;
    fifoRxData.Clear();
    recvDataState = WAIT_DLE;
    discardRx = 0;
    recvText.Clear();
    const uint32_t now = ti_sysbios_knl_Clock_getTicks();
    markTicksConnectionWindow = now;
    markTicksRecvTimeout = now;
}

ERROR_CODES_E BPPoS::Send(BD* bd)
{
    // Checked before the link state so that a null BD is caught in every state.
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    if (linkActivity != LINK_UP) {
        return EC_FAIL;
    }
    const uint32_t load = bd->Load();
    if (load == 0 || load > LEN_MSG_BPPOS) {
        ++stats.numOfSendMsgLengthErrors;
        return EC_FAIL;
    }
    (void)ti_sysbios_knl_Semaphore_pend(semHandleFifoTxData, BIOS_WAIT_FOREVER);  // cannot time out
    const ERROR_CODES_E result = SendInfo(bd);
    ti_sysbios_knl_Semaphore_post(semHandleFifoTxData);
    return result;
}

void BPPoS::GetStats(uint8_t* p) { WriteStats(stats, p); }

void BPPoS::RxDataHandler(uint8_t byte)
{
    if (discardRx != 0 && recvDataState == WAIT_DLE) {
        // The cut unit is over; the FIFO marks the next byte it stores.
        discardRx = 0;
    }
    bool store = true;
    switch (recvDataState) {
    case WAIT_DLE:
        store = byte == DLE;
        if (store) {
            recvDataState = WAIT_STX;
        }
        break;
    case WAIT_STX:
        if (byte == DLE) {
            store = false;  // repeated DLEs collapse into one
        } else if (byte == STX) {
            recvDataState = WAIT_TEXT_DLE;
        } else if (byte == ACK) {
            recvDataState = WAIT_DLE;
        } else {
            store = false;
            recvDataState = WAIT_DLE;
        }
        break;
    case WAIT_TEXT_DLE:
        if (byte == DLE) {
            recvDataState = WAIT_ETX_DLE;
        }
        break;
    case WAIT_ETX_DLE:
        if (byte == ETX) {
            recvDataState = WAIT_CRC;
        } else if (byte == ACK) {
            recvDataState = WAIT_DLE;
        } else {
            // A bad escape is stored so that the decoder abandons the frame,
            // and the rest of the text still goes through as text: hunted
            // from outside, a doubled DLE in it followed by STX would open a
            // unit made of the sender's data.
            recvDataState = WAIT_TEXT_DLE;
        }
        break;
    case WAIT_CRC:
        recvDataState = WAIT_DLE;
        break;
    default:
        EXM_FATAL(EC_ERROR_INVALID_SWITCH);
    }
    if (!store) {
        return;
    }
    if (discardRx != 0) {
        // The rest of a unit that lost a byte; only a byte that finds the
        // FIFO full counts as such.
        if (fifoRxData.Room() == 0) {
            ++stats.numOfRecvDataQueueFullErrors;
        }
        return;
    }
    if (!fifoRxData.PutFromDriver(byte)) {
        // A unit with a byte missing could still meet its CRC by chance and
        // be delivered corrupted: drop the rest of it too. The FIFO tells the
        // decoder of the cut with the next byte it stores.
        ++stats.numOfRecvDataQueueFullErrors;
        discardRx = 1;
    }
}

void BPPoS::WorkerCycle()
{
    DecodePacket();
    if (linkActivity == LINK_UP && ticksExpired(markTicksRecvTimeout, ticksRecvTimeout)) {
        linkActivity = LINK_DOWN;
    }
    if (connectionCallback != nullptr && linkActivity != lastLinkActivity) {
        lastLinkActivity = linkActivity;
        connectionCallback(source, lastLinkActivity);
    }
    if (ticksExpired(markTicksConnectionWindow, ticksConnectionWindow)) {
        // Never wait for a sender: a busy FIFO means a frame is going out,
        // and the packet is tried again next pass.
        if (ti_sysbios_knl_Semaphore_pend(semHandleFifoTxData, BIOS_NO_WAIT)) {
            SendConnection();
            ti_sysbios_knl_Semaphore_post(semHandleFifoTxData);
        }
    }
}

void BPPoS::DecodePacket()
{
    // Only the bytes present now: one pass stays bounded by the FIFO size.
    uint32_t count = fifoRxData.Load();
    while (count-- > 0) {
        if (fifoRxData.CutBeforeFront()) {
            // Bytes were lost here: whatever unit was open is dropped whole,
            // and the pre-filter dropped the rest of it, so a unit starts
            // here. The loss is counted where the bytes were dropped.
            recvText.Reset();
        }
        DecodeByte(fifoRxData.Take());
    }
}

void BPPoS::DecodeByte(uint8_t byte)
{
    switch (recvText.Take(byte)) {
    case DLE_FRAME:
        if (recvText.CrcGood()) {
            FrameReceived();
        } else {
            ++stats.numOfCrcErrors;
        }
        break;
    case DLE_CUT:
    case DLE_RESTART:
        ++stats.numOfPacketFormatErrors;
        break;
    case DLE_PACKET_CUT:
        ++stats.numOfPacketFormatErrors;
        ConnectionReceived();  // the only packet type that cuts a text
        break;
    case DLE_PACKET:
        if (byte == ACK) {
            ConnectionReceived();
        }
        break;
    default:
        break;
    }
}

void BPPoS::ConnectionReceived()
{
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkActivity = LINK_UP;
    Trace("c");
}

void BPPoS::FrameReceived()
{
    const uint32_t lenText = recvText.Length();
    if (lenText < LEN_HEADER) {
        ++stats.numOfRecvdMsgLengthErrors;
        return;
    }
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkActivity = LINK_UP;
    ++stats.numOfRecvdMessages;
    Trace("i");

    BD* bd = RecvBd(lenText - LEN_HEADER);
    if (bd == nullptr) {
        return;
    }
    // Header fields keep their wire order: the BD holds network byte order.
    const uint8_t* bufRecvMsg = recvText.Text();
    uint16_t port;
    uint32_t addr;
    std::memcpy(&port, &bufRecvMsg[IN_HEADER_DEST_PORT], sizeof port);
    bd->DestPort(port);
    std::memcpy(&addr, &bufRecvMsg[IN_HEADER_DEST_ADDR], sizeof addr);
    bd->DestIpAddr(addr);
    std::memcpy(&port, &bufRecvMsg[IN_HEADER_SOURCE_PORT], sizeof port);
    bd->SourcePort(port);
    std::memcpy(&addr, &bufRecvMsg[IN_HEADER_SOURCE_ADDR], sizeof addr);
    bd->SourceIpAddr(addr);
    bd->Copy(lenText - LEN_HEADER, &bufRecvMsg[IN_TEXT]);
    recvCallback(bd);
}

ERROR_CODES_E BPPoS::SendInfo(BD* bd)
{
    const uint32_t load = bd->Load();
    if (fifoTxData.Room() < load + LEN_FRAME_OVERHEAD) {
        ++stats.numOfSendDataQueueFullErrors;  // the frame is lost: counted as below
        return EC_FAIL;
    }
    uint8_t header[LEN_HEADER];
    const uint16_t destPort = bd->DestPort();
    const uint32_t destAddr = bd->DestIpAddr();
    const uint16_t sourcePort = bd->SourcePort();
    const uint32_t sourceAddr = bd->SourceIpAddr();
    std::memcpy(&header[IN_HEADER_DEST_PORT], &destPort, sizeof destPort);
    std::memcpy(&header[IN_HEADER_DEST_ADDR], &destAddr, sizeof destAddr);
    std::memcpy(&header[IN_HEADER_SOURCE_PORT], &sourcePort, sizeof sourcePort);
    std::memcpy(&header[IN_HEADER_SOURCE_ADDR], &sourceAddr, sizeof sourceAddr);
    const uint8_t* payload = bd->BufferPtr();

    // Bytes go behind the write index but stay invisible to the interrupt
    // until the commit at the end: a frame is queued whole or not at all.
    ByteFifo<LEN_FIFO_TX_DATA>::Unit frame = fifoTxData.BeginUnit();
    uint8_t crc = VAL_INITIAL_CRC;
    frame.Put(DLE);
    frame.Put(STX);
    const uint32_t lenText = LEN_HEADER + load;
    for (uint32_t i = 0; i < lenText; ++i) {
        const uint8_t b = i < LEN_HEADER ? header[i] : payload[i - LEN_HEADER];
        if (b != DLE) {
            frame.Put(b);
            crc = Crc::ByteCalc8bitsCrc(crc, b);
            continue;
        }
        // The room check at the start assumed one byte per text byte; each
        // doubled DLE needs one more, and the rest must still fit.
        const uint32_t needed = frame.Count() + (lenText - i) + LEN_FRAME_CLOSING + 1;
        if (fifoTxData.Room() < needed) {
            ++stats.numOfSendDataQueueFullErrors;
            return EC_FAIL;
        }
        frame.Put(DLE);
        frame.Put(DLE);
        crc = Crc::ByteCalc8bitsCrc(crc, DLE);
        crc = Crc::ByteCalc8bitsCrc(crc, DLE);
    }
    frame.Put(DLE);
    crc = Crc::ByteCalc8bitsCrc(crc, DLE);
    frame.Put(ETX);
    crc = Crc::ByteCalc8bitsCrc(crc, ETX);
    frame.Put(crc);
    fifoTxData.Commit(frame);
    markTicksConnectionWindow = ti_sysbios_knl_Clock_getTicks();
    ++stats.numOfSentMessages;
    Trace("I");
    return EC_SUCCESS;
}

void BPPoS::SendConnection()
{
    if (fifoTxData.Room() < LEN_CONNECTION_PACKET) {
        return;
    }
    ByteFifo<LEN_FIFO_TX_DATA>::Unit packet = fifoTxData.BeginUnit();
    packet.Put(DLE);
    packet.Put(ACK);
    fifoTxData.Commit(packet);
    markTicksConnectionWindow = ti_sysbios_knl_Clock_getTicks();
    Trace("C");
}
