// RAWoS raw line protocol: byte FIFOs, silence-framed reception, link
// supervision and statistics. Runs in the "rawos" worker task, the UART
// driver's task (byte handlers) and the router task (Send); see rawosapl.h.
#include "rawosapl.h"

#include <cstring>

#include "bdpoolapl.h"
#include "dcapl.h"
#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "rawosapl.cpp";

RAWoS::RAWoS(RAWOS_CONFIG_T config)
    : TIME_PERIOD_WORKER_TASK(::TIME_PERIOD_WORKER_TASK),
      source(config.source),
      recvCallback(config.recvCallback),
      ticksRecvTimeout(config.ticksRecvTimeout),
      ticksInterCharTimeout(config.ticksInterCharTimeout)
{
    if (recvCallback == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    InitState();
    if (createWorkerTask(this, "rawos", ticksTaskPeriod) == nullptr) {
        EXM_FATAL(EC_ERROR_TASK_CREATION);
    }
}

void RAWoS::InitState()
{
    // Everything but the configuration, as after construction.
    doLog = 0;
    linkActivity = LINK_DOWN;
    std::memset(fifoRxData, 0, sizeof(fifoRxData));
    firstFifoRxData = 0;
    lastFifoRxData = 0;
    loadFifoRxData = 0;
    lenRecvMsg = 0;
    std::memset(bufRecvMsg, 0, sizeof(bufRecvMsg));
    std::memset(fifoTxData, 0, sizeof(fifoTxData));
    firstFifoTxData = 0;
    lastFifoTxData = 0;
    loadFifoTxData = 0;
    numOfSentMessages = 0;
    numOfRecvdMessages = 0;
    numOfInterCharTimeout = 0;
    numOfMaxFrameLength = 0;
    numOfRecvDataQueueFullErrors = 0;
    numOfRecvdMsgLengthErrors = 0;
    numOfSendMsgLengthErrors = 0;
    markTicksInterCharTimeout = markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    ticksTaskPeriod = usToTicks(TIME_PERIOD_WORKER_TASK);
}

#ifdef ZOK2_TEST_HOOKS
void RAWoS::Restart() { InitState(); }
#endif

void RAWoS::EnableLog() { doLog = 1; }

ERROR_CODES_E RAWoS::Send(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    const uint32_t len = bd->Load();
    if (len == 0 || len > LEN_MSG_RAWOS) {
        numOfSendMsgLengthErrors++;
        return EC_FAIL;
    }
    if (len > LEN_FIFO_TX_DATA - loadFifoTxData) {
        return EC_FAIL;
    }
    const uint8_t* data = bd->BufferPtr();
    for (uint32_t i = 0; i < len; i++) {
        fifoTxData[lastFifoTxData] = data[i];
        lastFifoTxData = (lastFifoTxData + 1) & MASK_FIFO_TX_DATA;
    }
    // The driver sees the message only once the load counts all of it.
    fifoLoadAdd(loadFifoTxData, static_cast<int32_t>(len));
    numOfSentMessages++;
    Trace("I");
    return EC_SUCCESS;
}

void RAWoS::ResetStats()
{
    numOfSentMessages = 0;
    numOfRecvdMessages = 0;
    numOfInterCharTimeout = 0;
    numOfMaxFrameLength = 0;
    numOfRecvDataQueueFullErrors = 0;
    numOfRecvdMsgLengthErrors = 0;
    numOfSendMsgLengthErrors = 0;
}

void RAWoS::GetStats(uint8_t* p)
{
    RAWOS_STATS_T stats;
    stats.linkActivity = linkActivity;
    stats.numOfSentMessages = numOfSentMessages;
    stats.numOfRecvdMessages = numOfRecvdMessages;
    stats.numOfInterCharTimeout = numOfInterCharTimeout;
    stats.numOfMaxFrameLength = numOfMaxFrameLength;
    stats.numOfRecvDataQueueFullErrors = numOfRecvDataQueueFullErrors;
    stats.numOfRecvdMsgLengthErrors = numOfRecvdMsgLengthErrors;
    stats.numOfSendMsgLengthErrors = numOfSendMsgLengthErrors;
    std::memcpy(p, &stats, sizeof(stats));
}

void RAWoS::RxDataHandler(uint8_t byte)
{
    if (loadFifoRxData >= LEN_FIFO_RX_DATA) {
        numOfRecvDataQueueFullErrors++;
        return;
    }
    fifoRxData[lastFifoRxData] = byte;
    loadFifoRxData = loadFifoRxData + 1;
    lastFifoRxData = (lastFifoRxData + 1) & MASK_FIFO_RX_DATA;
}

ERROR_CODES_E RAWoS::TxDataHandler(uint8_t& byte)
{
    if (loadFifoTxData == 0) {
        return EC_FAIL;
    }
    byte = fifoTxData[firstFifoTxData];
    firstFifoTxData = (firstFifoTxData + 1) & MASK_FIFO_TX_DATA;
    loadFifoTxData = loadFifoTxData - 1;
    return EC_SUCCESS;
}

void RAWoS::WorkerCycle()
{
    DecodePacket();
    if (linkActivity == LINK_UP && ticksExpired(markTicksRecvTimeout, ticksRecvTimeout)) {
        linkActivity = LINK_DOWN;
    }
}

void RAWoS::DecodePacket()
{
    // The FIFO holds at most 8192 bytes, so the count fits 16 bits.
    uint16_t count = static_cast<uint16_t>(loadFifoRxData);
    if (count == 0) {
        // Silence is judged only in a pass that finds nothing new.
        if (lenRecvMsg != 0 && ticksExpired(markTicksInterCharTimeout, ticksInterCharTimeout)) {
            numOfInterCharTimeout++;
            SaveRecvdPacket();
        }
        return;
    }
    while (count != 0) {
        const uint8_t c = fifoRxData[firstFifoRxData];
        firstFifoRxData = (firstFifoRxData + 1) & MASK_FIFO_RX_DATA;
        fifoLoadAdd(loadFifoRxData, -1);
        markTicksInterCharTimeout = ti_sysbios_knl_Clock_getTicks();
        bufRecvMsg[lenRecvMsg++] = c;
        if (lenRecvMsg == LEN_MSG_RAWOS) {
            numOfMaxFrameLength++;
            SaveRecvdPacket();
        }
        count--;
    }
}

void RAWoS::SaveRecvdPacket()
{
    markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
    linkActivity = LINK_UP;
    Trace("i");
    numOfRecvdMessages++;
    BD* bd = BdPool::Get();
    if (bd->Capacity() < lenRecvMsg) {
        BdPool::Put(bd);
        numOfRecvdMsgLengthErrors++;
    } else {
        bd->Source(source);
        bd->SourceIpAddr(0);
        bd->DestIpAddr(0);
        bd->SourcePort(0);
        bd->DestPort(0);
        bd->Copy(lenRecvMsg, bufRecvMsg);
        recvCallback(bd);
    }
    lenRecvMsg = 0;
}

void RAWoS::Trace(const char* mark) const
{
    if (doLog != 0) {
        dcPrint(mark);
    }
}
