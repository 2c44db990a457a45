// The interface between a byte driver (UART, SPI) and a byte protocol, and
// the worker task the protocols share (tick helpers: taskapl.h).
// Drivers call RxDataHandler/TxDataHandler for every byte, from their task or
// interrupt handler, without locks; the byte FIFOs between the two sides are
// RingFifo (fifoapl.h). Protocol objects are never destroyed, hence no
// virtual destructor.
// It lives with the drivers, which call it; the protocols above implement it.
#pragma once

#include <cstdint>
#include <cstring>

#include "bdapl.h"
#include "bdpoolapl.h"
#include "dcprintapl.h"
#include "errcodes.h"
#include "exmapl.h"
#include "fifoapl.h"
#include "kernel.h"
#include "taskapl.h"

class IProtocol {
public:
    virtual void EnableLog() = 0;
    // Copies the BD's data for sending; the caller keeps the BD. A null BD
    // is a programming fault, fatal in every state of every protocol.
    virtual ERROR_CODES_E Send(BD* bd) = 0;
    virtual void ResetStats() = 0;
    // Writes the protocol's statistics record at p (32-bit aligned storage).
    virtual void GetStats(uint8_t* p) = 0;
    // One byte received without line error; O(1), never blocks.
    virtual void RxDataHandler(uint8_t byte) = 0;
    // Oldest byte to send into `byte`, or EC_FAIL (byte untouched) when empty.
    virtual ERROR_CODES_E TxDataHandler(uint8_t& byte) = 0;

protected:
    IProtocol() = default;
    ~IProtocol() = default;
};

// Worker period of BACM, RAWoS and BPPoS.
constexpr uint32_t TIME_PERIOD_WORKER_TASK = 10000;  // microseconds
constexpr uint32_t WORKER_TASK_PRIORITY = 2;
constexpr uint32_t WORKER_TASK_STACK = 4096;

// Entry of a protocol's worker task: one cycle, then the period (arg1, in
// ticks) asleep, for ever. The object is arg0.
template <typename P>
void protocolWorkerTask(UArg arg0, UArg arg1)
{
    P* self = reinterpret_cast<P*>(arg0);
    for (;;) {
        self->WorkerCycle();
        ti_sysbios_knl_Task_sleep(static_cast<uint32_t>(arg1));
    }
}

// Creates the worker task of `protocol` (priority 2, 4096 bytes of stack);
// a refusal of the kernel is fatal at `where`, the caller's EXM_HERE.
template <typename P>
void createWorkerTask(P* protocol, const char* name, uint32_t ticksPeriod, const EXM_WHERE_T& where)
{
    taskCreate({name, WORKER_TASK_PRIORITY, WORKER_TASK_STACK, protocolWorkerTask<P>,
                reinterpret_cast<UArg>(protocol), ticksPeriod},
               where);
}

// What the line protocols hold alike: the source and receive callback of
// their configuration, trace marks after EnableLog, the statistics record
// (STATS opens with linkActivity and counts numOfRecvdMsgLengthErrors), the
// live link state, the worker period and the transmit FIFO that the driver
// drains. Each protocol keeps its framing, its other counters and its task.
template <typename STATS, uint32_t LEN_TX>
class ProtocolBase : public IProtocol {
public:
    static constexpr uint32_t LEN_FIFO_TX_DATA = LEN_TX;

    void EnableLog() override { doLog = 1; }
    // The link state and other live fields stay: they are not in the record.
    void ResetStats() override { stats = STATS(); }
    ERROR_CODES_E TxDataHandler(uint8_t& byte) override
    {
        return fifoTxData.GetFromDriver(byte) ? EC_SUCCESS : EC_FAIL;
    }
#ifdef ZOK2_TEST_HOOKS
    // Test and fuzz builds only: back to the state right after construction
    // (configuration kept, no further task), so that every run starts alike.
    void Restart() { InitState(); }
#endif

protected:
    // A null receive callback is fatal at `where`, the caller's EXM_HERE.
    ProtocolBase(SOURCES_E src, RECV_BD_CALLBACK callback, const EXM_WHERE_T& where)
        : source(src), recvCallback(callback)
    {
        if (recvCallback == nullptr) {
            exmFatalError(EC_ERROR_INVALID_ARGUMENT, where.module, where.file, where.line);
        }
    }
    ~ProtocolBase() = default;

    // Everything but the configuration, as after construction; each
    // protocol's own calls InitBase for the shared part.
    virtual void InitState() = 0;
    void InitBase()
    {
        doLog = 0;
        linkActivity = LINK_DOWN;
        fifoTxData.Clear();
        stats = STATS();
        ticksTaskPeriod = usToTicks(TIME_PERIOD_WORKER_TASK);
    }

    void Trace(const char* mark) const
    {
        if (doLog != 0) {
            dcPrint(mark);
        }
    }

    // Writes `record` at p with the live link state.
    void WriteStats(STATS record, uint8_t* p) const
    {
        record.linkActivity = linkActivity;
        std::memcpy(p, &record, sizeof record);
    }

    // A pool BD stamped with the source for a received message of `len`
    // bytes, or null, counted as a length error, when it cannot hold them.
    BD* RecvBd(uint32_t len)
    {
        BD* bd = BdPool::Get();
        if (bd->Capacity() < len) {
            BdPool::Put(bd);
            ++stats.numOfRecvdMsgLengthErrors;
            return nullptr;
        }
        bd->Source(source);
        return bd;
    }

    // Hands a message of a line without addressing to the receive callback.
    void DeliverUnaddressed(uint32_t len, const uint8_t* data)
    {
        BD* bd = RecvBd(len);
        if (bd == nullptr) {
            return;
        }
        bd->SourceIpAddr(0);
        bd->DestIpAddr(0);
        bd->SourcePort(0);
        bd->DestPort(0);
        bd->Copy(len, data);
        recvCallback(bd);
    }

    const SOURCES_E source;
    const RECV_BD_CALLBACK recvCallback;
    uint16_t doLog;                         // 1 after EnableLog
    volatile LINK_ACTIVITY_E linkActivity;  // written by the worker, read by Send
    uint32_t ticksTaskPeriod;               // worker sleep per pass
    ByteFifo<LEN_TX> fifoTxData;            // emptied by the driver
    STATS stats;                            // the counters; GetStats adds the live fields
};
