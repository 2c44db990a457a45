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
    : source(config.source),
      recvCallback(config.recvCallback),
      connectionCallback(config.connectionCallback),
      ticksRecvTimeout(config.ticksRecvTimeout),
      ticksConnectionWindow(config.ticksConnectionWindow),
      semHandleFifoTxData(nullptr)
{
    if (recvCallback == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
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
    doLog = 0;
    linkActivity = LINK_DOWN;
    lastLinkActivity = LINK_DOWN;
    fifoRxData.Clear();
    recvDataState = WAIT_DLE;
    discardRx = 0;
    decodeState = WAIT_DLE;
    skipText = 0;
    lenRecvMsg = 0;
    recvCrc = VAL_INITIAL_CRC;
    fifoTxData.Clear();
    stats = BPPOS_STATS_T();
    const uint32_t now = ti_sysbios_knl_Clock_getTicks();
    markTicksConnectionWindow = now;
    markTicksRecvTimeout = now;
    ticksTaskPeriod = usToTicks(TIME_PERIOD_WORKER_TASK);
    std::memset(bufRecvMsg, 0, sizeof(bufRecvMsg));
}

#ifdef ZOK2_TEST_HOOKS
void BPPoS::Restart() { InitState(); }
#endif

void BPPoS::EnableLog() { doLog = 1; }

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

void BPPoS::ResetStats()
{
    // The link state lives outside the record.
    stats = BPPOS_STATS_T();
}

void BPPoS::GetStats(uint8_t* p)
{
    BPPOS_STATS_T record = stats;
    record.linkActivity = linkActivity;
    std::memcpy(p, &record, sizeof record);
}

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

ERROR_CODES_E BPPoS::TxDataHandler(uint8_t& byte)
{
    return fifoTxData.GetFromDriver(byte) ? EC_SUCCESS : EC_FAIL;
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
            skipText = 0;
            lenRecvMsg = 0;
            decodeState = WAIT_DLE;
        }
        DecodeByte(fifoRxData.Take());
    }
}

void BPPoS::DecodeByte(uint8_t byte)
{
    switch (decodeState) {
    case WAIT_DLE:
        if (byte == DLE) {
            decodeState = WAIT_STX;
        }
        break;
    case WAIT_STX:
        if (byte == DLE) {
            break;
        }
        if (byte == STX) {
            StartFrame();
        } else {
            if (byte == ACK) {
                ConnectionReceived();
            }
            decodeState = WAIT_DLE;
        }
        break;
    case WAIT_TEXT_DLE:
        if (byte == DLE) {
            decodeState = WAIT_ETX_DLE;
        } else if (skipText != 0) {
            // The rest of an abandoned text: passed over, pairs and all.
        } else if (lenRecvMsg == LEN_DECODE_BUF) {
            AbandonText();
        } else {
            bufRecvMsg[lenRecvMsg++] = byte;
            recvCrc = Crc::ByteCalc8bitsCrc(recvCrc, byte);
        }
        break;
    case WAIT_ETX_DLE:
        if (byte == DLE) {
            if (skipText != 0) {
                decodeState = WAIT_TEXT_DLE;
            } else if (lenRecvMsg == LEN_DECODE_BUF) {
                AbandonText();
            } else {
                // Both bytes of the pair went on the wire, so both count.
                recvCrc = Crc::ByteCalc8bitsCrc(recvCrc, DLE);
                recvCrc = Crc::ByteCalc8bitsCrc(recvCrc, DLE);
                bufRecvMsg[lenRecvMsg++] = DLE;
                decodeState = WAIT_TEXT_DLE;
            }
        } else if (byte == ETX) {
            recvCrc = Crc::ByteCalc8bitsCrc(recvCrc, DLE);
            recvCrc = Crc::ByteCalc8bitsCrc(recvCrc, ETX);
            decodeState = WAIT_CRC;
        } else if (byte == STX) {
            // Cut short on the wire; a new frame starts here. An abandoned
            // text was counted when it was abandoned.
            if (skipText == 0) {
                ++stats.numOfPacketFormatErrors;
            }
            StartFrame();
        } else if (byte == ACK) {
            if (skipText == 0) {
                ++stats.numOfPacketFormatErrors;
            }
            skipText = 0;
            ConnectionReceived();
            decodeState = WAIT_DLE;
        } else if (skipText == 0) {
            AbandonText();
        } else {
            decodeState = WAIT_TEXT_DLE;
        }
        break;
    case WAIT_CRC:
        if (skipText != 0) {
            skipText = 0;  // the CRC of an abandoned text
        } else if (byte == recvCrc) {
            FrameReceived();
        } else {
            ++stats.numOfCrcErrors;
        }
        decodeState = WAIT_DLE;
        break;
    default:
        EXM_FATAL(EC_ERROR_INVALID_SWITCH);
    }
}

void BPPoS::StartFrame()
{
    recvCrc = VAL_INITIAL_CRC;
    lenRecvMsg = 0;
    skipText = 0;
    decodeState = WAIT_TEXT_DLE;
}

void BPPoS::AbandonText()
{
    // The rest of the text is still read pair by pair up to its DLE ETX and
    // CRC, so that nothing in it is taken for the start of a unit.
    ++stats.numOfPacketFormatErrors;
    skipText = 1;
    decodeState = WAIT_TEXT_DLE;
}

void BPPoS::ConnectionReceived()
{
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkActivity = LINK_UP;
    Log("c");
}

void BPPoS::FrameReceived()
{
    if (lenRecvMsg < LEN_HEADER) {
        ++stats.numOfRecvdMsgLengthErrors;
        return;
    }
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkActivity = LINK_UP;
    ++stats.numOfRecvdMessages;
    Log("i");

    BD* bd = BdPool::Get();
    const uint32_t payload = static_cast<uint32_t>(lenRecvMsg - LEN_HEADER);
    if (payload > bd->Capacity()) {
        BdPool::Put(bd);
        ++stats.numOfRecvdMsgLengthErrors;
        return;
    }
    // Header fields keep their wire order: the BD holds network byte order.
    uint16_t port;
    uint32_t addr;
    bd->Source(source);
    std::memcpy(&port, &bufRecvMsg[IN_HEADER_DEST_PORT], sizeof port);
    bd->DestPort(port);
    std::memcpy(&addr, &bufRecvMsg[IN_HEADER_DEST_ADDR], sizeof addr);
    bd->DestIpAddr(addr);
    std::memcpy(&port, &bufRecvMsg[IN_HEADER_SOURCE_PORT], sizeof port);
    bd->SourcePort(port);
    std::memcpy(&addr, &bufRecvMsg[IN_HEADER_SOURCE_ADDR], sizeof addr);
    bd->SourceIpAddr(addr);
    bd->Copy(payload, &bufRecvMsg[IN_TEXT]);
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
    Log("I");
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
    Log("C");
}

void BPPoS::Log(const char* mark) const
{
    if (doLog != 0) {
        dcPrint(mark);
    }
}
