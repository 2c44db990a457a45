// RAWoS raw line protocol: byte FIFOs, silence-framed reception, link
// supervision and statistics. Runs in the "rawos" worker task, the UART
// driver's task (byte handlers) and the router task (Send); see rawosapl.h.
#include "rawosapl.h"

#include <cstring>

#include "bdpoolapl.h"
#include "dcprintapl.h"
#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "rawosapl.cpp";

RAWoS::RAWoS(RAWOS_CONFIG_T config)
    : ProtocolBase(config.source, config.recvCallback, EXM_HERE),
      ticksRecvTimeout(config.ticksRecvTimeout),
      ticksInterCharTimeout(config.ticksInterCharTimeout)
{
    InitState();
    createWorkerTask(this, "rawos", ticksTaskPeriod, EXM_HERE);
}

void RAWoS::InitState()
{
    // Everything but the configuration, as after construction.
    InitBase();
    fifoRxData.Clear();
    lenRecvMsg = 0;
    std::memset(bufRecvMsg, 0, sizeof(bufRecvMsg));
    markTicksInterCharTimeout = markTicksRecvTimeout = ti_sysbios_knl_Clock_getTicks();
}

ERROR_CODES_E RAWoS::Send(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    const uint32_t len = bd->Load();
    if (len == 0 || len > LEN_MSG_RAWOS) {
        stats.numOfSendMsgLengthErrors++;
        return EC_FAIL;
    }
    if (len > fifoTxData.Room()) {
        return EC_FAIL;
    }
    const uint8_t* data = bd->BufferPtr();
    ByteFifo<LEN_FIFO_TX_DATA>::Unit message = fifoTxData.BeginUnit();
    for (uint32_t i = 0; i < len; i++) {
        message.Put(data[i]);
    }
    // The driver sees the message only once the load counts all of it.
    fifoTxData.Commit(message);
    stats.numOfSentMessages++;
    Trace("I");
    return EC_SUCCESS;
}

void RAWoS::GetStats(uint8_t* p) { WriteStats(stats, p); }

void RAWoS::RxDataHandler(uint8_t byte)
{
    if (!fifoRxData.PutFromDriver(byte)) {
        stats.numOfRecvDataQueueFullErrors++;
    }
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
    uint16_t count = static_cast<uint16_t>(fifoRxData.Load());
    if (count == 0) {
        // Silence is judged only in a pass that finds nothing new.
        if (lenRecvMsg != 0 && ticksExpired(markTicksInterCharTimeout, ticksInterCharTimeout)) {
            stats.numOfInterCharTimeout++;
            SaveRecvdPacket();
        }
        return;
    }
    while (count != 0) {
        const uint8_t c = fifoRxData.Take();
        markTicksInterCharTimeout = ti_sysbios_knl_Clock_getTicks();
        bufRecvMsg[lenRecvMsg++] = c;
        if (lenRecvMsg == LEN_MSG_RAWOS) {
            stats.numOfMaxFrameLength++;
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
    stats.numOfRecvdMessages++;
    DeliverUnaddressed(lenRecvMsg, bufRecvMsg);
    lenRecvMsg = 0;
}
