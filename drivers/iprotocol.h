// The interface between a byte driver (UART, SPI) and a byte protocol, and
// the worker task the protocols share (tick helpers: taskapl.h).
// Drivers call RxDataHandler/TxDataHandler for every byte, from their task or
// interrupt handler, without locks; the byte FIFOs between the two sides are
// RingFifo (fifoapl.h). Protocol objects are never destroyed, hence no
// virtual destructor.
// It lives with the drivers, which call it; the protocols above implement it.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "errcodes.h"
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
