// Host-link framing protocol: see bpposapl.h.
#include "bpposapl.h"

#include <cstring>

#include "bdpoolapl.h"
#include "crcapl.h"
#include "dcapl.h"
#include "exmapl.h"

static const char _MODULE_[] = "bpposapl.cpp";

// Opening pair, header, closing pair and CRC: the frame around the payload
// when no byte needs doubling.
static const uint32_t LEN_FRAME_OVERHEAD = 2 + BPPoS::LEN_HEADER + 3;
static const uint32_t LEN_FRAME_CLOSING = 3;  // DLE ETX CRC
static const uint32_t LEN_CONNECTION_PACKET = 2;
// Stored after a DLE to end a unit that lost bytes: neither DLE, STX, ETX nor ACK.
static const uint8_t ABORT_MARK = 0x15;
// Stored instead of ABORT_MARK when a text on the wire holds DLE ABORT_MARK,
// so that the decoder tells a bad escape (a format error) from a cut.
static const uint8_t BAD_ESCAPE_MARK = 0x16;

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
    if (createWorkerTask(this, "bppos", ticksTaskPeriod) == nullptr) {
        EXM_FATAL(EC_ERROR_TASK_CREATION);
    }
}

void BPPoS::InitState()
{
    // Everything but the configuration, as after construction.
    doLog = 0;
    linkActivity = LINK_DOWN;
    lastLinkActivity = LINK_DOWN;
    firstFifoRxData = 0;
    lastFifoRxData = 0;
    loadFifoRxData = 0;
    recvDataState = WAIT_DLE;
    discardRx = 0;
    cutState = WAIT_DLE;
    decodeState = WAIT_DLE;
    skipText = 0;
    lenRecvMsg = 0;
    recvCrc = VAL_INITIAL_CRC;
    firstFifoTxData = 0;
    lastFifoTxData = 0;
    loadFifoTxData = 0;
    numOfSentMessages = 0;
    numOfRecvdMessages = 0;
    numOfRecvDataQueueFullErrors = 0;
    numOfPacketFormatErrors = 0;
    numOfCrcErrors = 0;
    numOfRecvdMsgLengthErrors = 0;
    numOfSendMsgLengthErrors = 0;
    numOfSendDataQueueFullErrors = 0;
    const uint32_t now = ti_sysbios_knl_Clock_getTicks();
    markTicksConnectionWindow = now;
    markTicksRecvTimeout = now;
    ticksTaskPeriod = usToTicks(TIME_PERIOD_WORKER_TASK);
    std::memset(fifoRxData, 0, sizeof(fifoRxData));
    std::memset(bufRecvMsg, 0, sizeof(bufRecvMsg));
    std::memset(fifoTxData, 0, sizeof(fifoTxData));
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
        ++numOfSendMsgLengthErrors;
        return EC_FAIL;
    }
    (void)ti_sysbios_knl_Semaphore_pend(semHandleFifoTxData, BIOS_WAIT_FOREVER);  // cannot time out
    const ERROR_CODES_E result = SendInfo(bd);
    ti_sysbios_knl_Semaphore_post(semHandleFifoTxData);
    return result;
}

void BPPoS::ResetStats()
{
    numOfSentMessages = 0;
    numOfRecvdMessages = 0;
    numOfRecvDataQueueFullErrors = 0;
    numOfPacketFormatErrors = 0;
    numOfCrcErrors = 0;
    numOfRecvdMsgLengthErrors = 0;
    numOfSendMsgLengthErrors = 0;
    numOfSendDataQueueFullErrors = 0;
}

void BPPoS::GetStats(uint8_t* p)
{
    BPPOS_STATS_T stats;
    stats.linkActivity = linkActivity;
    stats.numOfSentMessages = numOfSentMessages;
    stats.numOfRecvdMessages = numOfRecvdMessages;
    stats.numOfRecvDataQueueFullErrors = numOfRecvDataQueueFullErrors;
    stats.numOfPacketFormatErrors = numOfPacketFormatErrors;
    stats.numOfCrcErrors = numOfCrcErrors;
    stats.numOfRecvdMsgLengthErrors = numOfRecvdMsgLengthErrors;
    stats.numOfSendMsgLengthErrors = numOfSendMsgLengthErrors;
    stats.numOfSendDataQueueFullErrors = numOfSendDataQueueFullErrors;
    std::memcpy(p, &stats, sizeof stats);
}

void BPPoS::RxDataHandler(uint8_t byte)
{
    const RX_PACKET_STATE_E before = recvDataState;
    if (discardRx != 0 && before == WAIT_DLE) {
        CloseCutUnit();
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
            if (byte == ABORT_MARK) {
                byte = BAD_ESCAPE_MARK;
            }
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
        if (loadFifoRxData == LEN_FIFO_RX_DATA) {
            ++numOfRecvDataQueueFullErrors;
        }
        return;
    }
    if (loadFifoRxData == LEN_FIFO_RX_DATA) {
        // A unit with a byte missing could still meet its CRC by chance and
        // be delivered corrupted: drop the rest of it too, and close it for
        // the decoder once there is room again.
        ++numOfRecvDataQueueFullErrors;
        discardRx = 1;
        cutState = before;
        return;
    }
    StoreRxByte(byte);
}

void BPPoS::StoreRxByte(uint8_t byte)
{
    fifoRxData[lastFifoRxData] = byte;
    lastFifoRxData = (lastFifoRxData + 1) & MASK_FIFO_RX_DATA;
    // The worker cannot run in the middle of an interrupt handler.
    loadFifoRxData = loadFifoRxData + 1;
}

void BPPoS::CloseCutUnit()
{
    // The decoder stopped in the state the pre-filter had before the lost
    // byte. A byte it refuses after a DLE (in a text, a DLE and that byte)
    // ends the unit there as a format error; after a closing DLE ETX it is
    // taken as the CRC, which only a complete text can match.
    const uint32_t lenMark = cutState == WAIT_TEXT_DLE ? 2 : (cutState == WAIT_DLE ? 0 : 1);
    if (LEN_FIFO_RX_DATA - loadFifoRxData < lenMark) {
        return;  // still full: the next unit goes the same way
    }
    if (lenMark == 2) {
        StoreRxByte(DLE);
    }
    if (lenMark != 0) {
        StoreRxByte(ABORT_MARK);
    }
    discardRx = 0;
}

ERROR_CODES_E BPPoS::TxDataHandler(uint8_t& byte)
{
    if (loadFifoTxData == 0) {
        return EC_FAIL;
    }
    byte = fifoTxData[firstFifoTxData];
    firstFifoTxData = (firstFifoTxData + 1) & MASK_FIFO_TX_DATA;
    loadFifoTxData = loadFifoTxData - 1;
    return EC_SUCCESS;
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
    uint32_t count = loadFifoRxData;
    while (count-- > 0) {
        const uint8_t byte = fifoRxData[firstFifoRxData];
        firstFifoRxData = (firstFifoRxData + 1) & MASK_FIFO_RX_DATA;
        fifoLoadAdd(loadFifoRxData, -1);
        DecodeByte(byte);
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
            AbandonText(true);
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
                AbandonText(true);
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
                ++numOfPacketFormatErrors;
            }
            StartFrame();
        } else if (byte == ACK) {
            if (skipText == 0) {
                ++numOfPacketFormatErrors;
            }
            skipText = 0;
            ConnectionReceived();
            decodeState = WAIT_DLE;
        } else if (skipText == 0) {
            // The pre-filter's mark of a cut unit is no format error: its
            // lost bytes are counted where they were dropped.
            AbandonText(byte != ABORT_MARK);
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
            ++numOfCrcErrors;
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

void BPPoS::AbandonText(bool formatError)
{
    // The rest of the text is still read pair by pair up to its DLE ETX and
    // CRC, so that nothing in it is taken for the start of a unit.
    if (formatError) {
        ++numOfPacketFormatErrors;
    }
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
        ++numOfRecvdMsgLengthErrors;
        return;
    }
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkActivity = LINK_UP;
    ++numOfRecvdMessages;
    Log("i");

    BD* bd = BdPool::Get();
    const uint32_t payload = static_cast<uint32_t>(lenRecvMsg - LEN_HEADER);
    if (payload > bd->Capacity()) {
        BdPool::Put(bd);
        ++numOfRecvdMsgLengthErrors;
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
    if (LEN_FIFO_TX_DATA - loadFifoTxData < load + LEN_FRAME_OVERHEAD) {
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
    // until the load grows at the end: a frame is queued whole or not at all.
    uint32_t index = lastFifoTxData;
    uint32_t written = 0;
    uint8_t crc = VAL_INITIAL_CRC;
    auto put = [&](uint8_t b) {
        fifoTxData[index] = b;
        index = (index + 1) & MASK_FIFO_TX_DATA;
        ++written;
    };
    put(DLE);
    put(STX);
    const uint32_t lenText = LEN_HEADER + load;
    for (uint32_t i = 0; i < lenText; ++i) {
        const uint8_t b = i < LEN_HEADER ? header[i] : payload[i - LEN_HEADER];
        if (b != DLE) {
            put(b);
            crc = Crc::ByteCalc8bitsCrc(crc, b);
            continue;
        }
        // The room check at the start assumed one byte per text byte; each
        // doubled DLE needs one more, and the rest must still fit.
        const uint32_t needed = written + (lenText - i) + LEN_FRAME_CLOSING + 1;
        if (LEN_FIFO_TX_DATA - loadFifoTxData < needed) {
            ++numOfSendDataQueueFullErrors;
            return EC_FAIL;
        }
        put(DLE);
        put(DLE);
        crc = Crc::ByteCalc8bitsCrc(crc, DLE);
        crc = Crc::ByteCalc8bitsCrc(crc, DLE);
    }
    put(DLE);
    crc = Crc::ByteCalc8bitsCrc(crc, DLE);
    put(ETX);
    crc = Crc::ByteCalc8bitsCrc(crc, ETX);
    put(crc);

    lastFifoTxData = index;
    fifoLoadAdd(loadFifoTxData, static_cast<int32_t>(written));
    markTicksConnectionWindow = ti_sysbios_knl_Clock_getTicks();
    ++numOfSentMessages;
    Log("I");
    return EC_SUCCESS;
}

void BPPoS::SendConnection()
{
    if (LEN_FIFO_TX_DATA - loadFifoTxData < LEN_CONNECTION_PACKET) {
        return;
    }
    fifoTxData[lastFifoTxData] = DLE;
    fifoTxData[(lastFifoTxData + 1) & MASK_FIFO_TX_DATA] = ACK;
    lastFifoTxData = (lastFifoTxData + LEN_CONNECTION_PACKET) & MASK_FIFO_TX_DATA;
    fifoLoadAdd(loadFifoTxData, LEN_CONNECTION_PACKET);
    markTicksConnectionWindow = ti_sysbios_knl_Clock_getTicks();
    Log("C");
}

void BPPoS::Log(const char* mark) const
{
    if (doLog != 0) {
        dcPrint(mark);
    }
}
