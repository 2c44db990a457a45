// McSPI controller models of the two host links, and the OS layer's
// interrupt registration on top of the simulated interrupt controller.
// The register calls run in firmware context (the driver's constructor and
// its receive interrupt). A master (socket thread or test) hands the model a
// batch of words; the model clocks them in one at a time: each sets the
// receive-full flag and raises the line, and the handler's clearing of that
// flag completes the word and starts the next. The socket side lives in
// mcspi_socket.cpp; nothing here makes OS calls.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>

#include "hostboard.h"
#include "hostinternal.h"
#include "hostkernel.h"
#include "hostmcspi.h"
#include "kernel.h"
#include "mcspi_internal.h"
#include "soc_mcspi.h"

struct OsalInterrupt {
    OsalIsrFxn fxn;
    uintptr_t* arg;
};

namespace {

// The SoC's controllers behind host links 1 and 2, and their interrupt lines.
constexpr uint32_t UNIT_BASE[MCSPI_NUM_UNITS] = {SOC_MCSPI2_BASE, SOC_MCSPI4_BASE};
constexpr uint32_t UNIT_IRQ[MCSPI_NUM_UNITS] = {SOC_MCSPI2_INT, SOC_MCSPI4_INT};

struct Unit {
    std::mutex m;
    std::condition_variable idle;  // a batch finished
    HostMcspiState st;
    // Data registers: the handler reads and writes them without m, since a
    // word's hand-over to and from the master already goes through m.
    std::atomic<uint32_t> rx{0};        // received word register
    std::atomic<uint32_t> tx{0};        // transmit register
    std::atomic<bool> txLoaded{false};  // the handler left a word since the last exchange
    // The batch being clocked; written under m, by the master to start it
    // and by the handler's flag clear to advance it.
    const uint8_t* in = nullptr;
    uint8_t* out = nullptr;
    uint32_t n = 0;
    uint32_t pos = 0;
    bool active = false;
    bool listening = false;
    std::string endpoint;
};

Unit* units()
{
    static Unit* u = new Unit[MCSPI_NUM_UNITS];  // never destroyed: I/O threads may outlive exit
    return u;
}

std::atomic<bool> gSockets{true};

// The controller of a base address; any other address is a bus fault.
uint32_t unitIndex(uint32_t base)
{
    for (uint32_t i = 0; i < MCSPI_NUM_UNITS; ++i) {
        if (UNIT_BASE[i] == base) {
            return i;
        }
    }
    hostBusFault("McSPI call at 0x%08X: no host-link McSPI controller there", base);
}

Unit* unitAt(uint32_t base) { return &units()[unitIndex(base)]; }

uint32_t checkedIndex(uint32_t index)
{
    if (index >= MCSPI_NUM_UNITS) {
        hostBusFault("McSPI controller %u does not exist (0 to %u)", index, MCSPI_NUM_UNITS - 1);
    }
    return index;
}

bool liveLocked(const Unit& u)
{
    return u.st.channelEnabled && (u.st.intEnable & MCSPI_INT_RX_FULL_CH0) != 0;
}

// Shifts one word: the transmit register goes out as the new word comes in.
void beginWordLocked(Unit& u)
{
    u.out[u.pos] = u.txLoaded ? static_cast<uint8_t>(u.tx.load()) : MCSPI_FILL_WORD;
    u.txLoaded = false;
    u.rx = u.in[u.pos];
    u.st.status |= MCSPI_INT_RX_FULL_CH0;
}

// Starts a batch; false (out all fill) when the controller is not live.
bool startBatch(uint32_t index, const uint8_t* in, uint8_t* out, uint32_t n)
{
    Unit& u = units()[index];
    std::unique_lock<std::mutex> lk(u.m);
    u.idle.wait(lk, [&] { return !u.active; });  // one master at a time
    if (!liveLocked(u)) {
        std::fill(out, out + n, MCSPI_FILL_WORD);
        u.st.wordsDropped += n;
        return false;
    }
    u.in = in;
    u.out = out;
    u.n = n;
    u.pos = 0;
    u.active = true;
    beginWordLocked(u);
    return true;
}

void abandonBatchLocked(Unit& u)
{
    u.active = false;
    u.in = nullptr;
    u.out = nullptr;
    u.st.status &= ~MCSPI_INT_RX_FULL_CH0;
    u.idle.notify_all();
}

// Opens the controller's socket as the board configuration says; false
// (after a message) when it cannot.
bool listen(uint32_t index)
{
    HostScope host;
    const HostBoardConfig& cfg = hostBoardConfig();
    std::string endpoint;
    std::string error;
    if (!mcspiSocketStart(index, cfg.spi[index], cfg.runDir, endpoint, error)) {
        std::fprintf(stderr, "zok2gw: host link %u: %s\n", index + 1, error.c_str());
        return false;
    }
    Unit& u = units()[index];
    std::lock_guard<std::mutex> lk(u.m);
    u.endpoint = endpoint;
    return true;
}

// A live controller takes masters from its socket: the runner's, opened at
// attachment, or one opened now when sockets are on.
void goLive(uint32_t index)
{
    Unit& u = units()[index];
    bool open = false;
    {
        std::lock_guard<std::mutex> lk(u.m);
        if (!u.listening) {
            if (!gSockets) {
                return;
            }
            u.listening = true;
            open = true;
        }
    }
    if (!open || listen(index)) {
        mcspiSocketAccept(index);
    }
}

void osalTrampoline(UArg arg)
{
    const OsalInterrupt* intr = reinterpret_cast<const OsalInterrupt*>(arg);
    intr->fxn(intr->arg);
}

}  // namespace

// McSPI library

void McSPIReset(uint32_t baseAddr)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    // A soft reset returns the channel to its power-on configuration.
    const HostMcspiState old = u->st;
    u->st = HostMcspiState();
    u->st.resets = old.resets + 1;
    u->st.wordsClocked = old.wordsClocked;
    u->st.wordsDropped = old.wordsDropped;
    u->txLoaded = false;
}

void MCSPISysConfigSetup(uint32_t baseAddr, uint32_t clockActivity, uint32_t sidleMode,
                         uint32_t wakeUp, uint32_t autoIdle)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.clockActivity = clockActivity;
    u->st.idleMode = sidleMode;
    u->st.wakeUp = wakeUp;
    u->st.autoIdle = autoIdle;
}

void McSPICSEnable(uint32_t baseAddr)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.csEnabled = true;
}

void McSPISlaveModeEnable(uint32_t baseAddr)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.slave = true;
}

void MCSPISingleChModeEnable(uint32_t baseAddr)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.singleChannel = true;
}

void McSPIClkConfig(uint32_t baseAddr, uint32_t spiInClk, uint32_t spiOutClk, uint32_t,
                    uint32_t clkMode)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.inClockHz = spiInClk;
    // The divider cannot make the clock faster than its input.
    u->st.outClockHz = std::min(spiOutClk, spiInClk);
    u->st.clockMode = clkMode;
}

void McSPIWordLengthSet(uint32_t baseAddr, uint32_t wordLength, uint32_t)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.wordLength = wordLength;
}

void McSPICSPolarityConfig(uint32_t baseAddr, uint32_t spiEnPol, uint32_t)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.csPolarity = spiEnPol;
}

void McSPITxFIFOConfig(uint32_t baseAddr, uint32_t txFifo, uint32_t)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.txFifo = txFifo;
}

void McSPIRxFIFOConfig(uint32_t baseAddr, uint32_t rxFifo, uint32_t)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.rxFifo = rxFifo;
}

void McSPIChannelEnable(uint32_t baseAddr, uint32_t)
{
    const uint32_t index = unitIndex(baseAddr);
    {
        std::lock_guard<std::mutex> lk(units()[index].m);
        units()[index].st.channelEnabled = true;
    }
    goLive(index);
}

void McSPIIntEnable(uint32_t baseAddr, uint32_t intFlags)
{
    Unit* u = unitAt(baseAddr);
    std::lock_guard<std::mutex> lk(u->m);
    u->st.intEnable |= intFlags;
}

void McSPIIntStatusClear(uint32_t baseAddr, uint32_t intFlags)
{
    const uint32_t index = unitIndex(baseAddr);
    Unit& u = units()[index];
    bool raise = false;
    {
        std::lock_guard<std::mutex> lk(u.m);
        u.st.status &= ~intFlags;
        if ((intFlags & MCSPI_INT_RX_FULL_CH0) != 0 && u.active) {
            // The handler is done with this word: the next one may shift.
            ++u.st.wordsClocked;
            if (++u.pos < u.n) {
                beginWordLocked(u);
                raise = true;
            } else {
                u.active = false;
                u.in = nullptr;
                u.out = nullptr;
                u.idle.notify_all();
            }
        }
    }
    if (raise) {
        hostIrqRaise(UNIT_IRQ[index]);
    }
}

uint32_t McSPIReceiveData(uint32_t baseAddr, uint32_t)
{
    return unitAt(baseAddr)->rx.load(std::memory_order_relaxed);
}

void McSPITransmitData(uint32_t baseAddr, uint32_t txData, uint32_t)
{
    Unit* u = unitAt(baseAddr);
    u->tx.store(txData & 0xFFu, std::memory_order_relaxed);
    u->txLoaded.store(true, std::memory_order_relaxed);
}

// Interrupt registration

void Osal_RegisterInterrupt_initParams(OsalInterruptParams* params)
{
    params->name = nullptr;
    params->corepacEventNum = -1;
    params->intVecNum = -1;
    params->isrRoutine = nullptr;
    params->arg = nullptr;
    params->priority = 0;
}

OsalInterruptHandle Osal_RegisterInterrupt(const OsalInterruptParams* params)
{
    if (params == nullptr || params->isrRoutine == nullptr) {
        return nullptr;
    }
    if (params->intVecNum < 0) {
        hostBusFault("interrupt line %d out of range", static_cast<int>(params->intVecNum));
    }
    OsalInterrupt* intr;
    {
        HostScope host;
        intr = new OsalInterrupt{params->isrRoutine, params->arg};  // lives as long as the line
    }
    const uint32_t line = static_cast<uint32_t>(params->intVecNum);
    if (ti_sysbios_hal_Hwi_create(line, osalTrampoline, reinterpret_cast<UArg>(intr)) == nullptr) {
        HostScope host;
        delete intr;
        return nullptr;
    }
    ti_sysbios_hal_Hwi_enableInterrupt(line);
    return intr;
}

// Between model and socket side

McspiExchange mcspiModelExchange(uint32_t index, const uint8_t* in, uint8_t* out, uint32_t n,
                                 uint32_t timeoutMs, const std::atomic<bool>* giveUp)
{
    checkedIndex(index);
    if (n == 0) {
        return McspiExchange::Done;
    }
    if (!startBatch(index, in, out, n)) {
        return McspiExchange::NotLive;
    }
    hostIrqRaise(UNIT_IRQ[index]);
    Unit& u = units()[index];
    std::unique_lock<std::mutex> lk(u.m);
    const auto doneOrGivenUp = [&] { return !u.active || (giveUp != nullptr && giveUp->load()); };
    while (!u.idle.wait_for(lk, std::chrono::milliseconds(timeoutMs), doneOrGivenUp)) {
        // A firmware that still runs is only slow (a busy host): the batch
        // waits, as the bus would; a hung one meets the watchdog. One that
        // halted or stopped answers nobody.
        if (giveUp == nullptr || hostFirmwareHalted() || !hostKernelRunning()) {
            break;
        }
    }
    if (u.active) {
        abandonBatchLocked(u);
        return McspiExchange::Stalled;
    }
    return McspiExchange::Done;
}

void mcspiModelWake(uint32_t index)
{
    Unit& u = units()[checkedIndex(index)];
    std::lock_guard<std::mutex> lk(u.m);
    u.idle.notify_all();
}

uint32_t mcspiModelClockHz(uint32_t index)
{
    std::lock_guard<std::mutex> lk(units()[checkedIndex(index)].m);
    return units()[index].st.outClockHz;
}

// Test hooks

void hostMcspiReset(bool sockets)
{
    gSockets = sockets;
    for (uint32_t i = 0; i < MCSPI_NUM_UNITS; ++i) {
        mcspiSocketStop(i);
        Unit& u = units()[i];
        std::lock_guard<std::mutex> lk(u.m);
        abandonBatchLocked(u);
        u.st = HostMcspiState();
        u.rx = 0;
        u.tx = 0;
        u.txLoaded = false;
        u.listening = false;
        u.endpoint.clear();
    }
}

bool hostMcspiAttachAll()
{
    for (uint32_t i = 0; i < MCSPI_NUM_UNITS; ++i) {
        {
            std::lock_guard<std::mutex> lk(units()[i].m);
            units()[i].listening = true;
        }
        if (!listen(i)) {
            return false;
        }
    }
    return true;
}

HostMcspiState hostMcspiState(uint32_t index)
{
    std::lock_guard<std::mutex> lk(units()[checkedIndex(index)].m);
    return units()[index].st;
}

bool hostMcspiClockSync(uint32_t index, const uint8_t* in, uint8_t* out, uint32_t n)
{
    checkedIndex(index);
    if (n == 0) return true;
    if (!startBatch(index, in, out, n)) {
        return false;
    }
    hostIrqRaise(UNIT_IRQ[index]);
    // The caller is the firmware context: its next safe point takes the
    // interrupt, and the handler's re-raises run the whole batch there.
    ti_sysbios_hal_Hwi_restore(ti_sysbios_hal_Hwi_disable());
    Unit& u = units()[index];
    std::lock_guard<std::mutex> lk(u.m);
    if (u.active) {
        abandonBatchLocked(u);
        return false;
    }
    return true;
}

bool hostMcspiClock(uint32_t index, const uint8_t* in, uint8_t* out, uint32_t n, uint32_t timeoutMs)
{
    return mcspiModelExchange(index, in, out, n, timeoutMs, nullptr) == McspiExchange::Done;
}

std::string hostMcspiEndpoint(uint32_t index)
{
    std::lock_guard<std::mutex> lk(units()[checkedIndex(index)].m);
    return units()[index].endpoint;
}
