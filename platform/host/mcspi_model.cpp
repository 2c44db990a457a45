// McSPI controller models of the two host links, and the OS layer's
// interrupt registration on top of the simulated interrupt controller.
// The register calls run in firmware context (the driver's constructor and
// its receive interrupt). A master (socket thread or test) hands the model
// words; the model clocks them in one at a time, each one word time of the
// programmed SPI clock after the one before, in simulated time: a word that
// comes due sets the receive-full flag and raises the line, and the
// handler's clearing of that flag completes it, so the next may shift. The
// socket side lives in mcspi_socket.cpp; nothing here makes OS calls.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>

#include "hostboard.h"
#include "hostcapture.h"
#include "hostinternal.h"
#include "hostkernel.h"
#include "hostmcspi.h"
#include "kernel.h"
#include "mcspi_internal.h"
#include "modelinternal.h"
#include "soc_mcspi.h"

struct OsalInterrupt {
    OsalIsrFxn fxn;
    uintptr_t* arg;
};

namespace {

// The SoC's controllers behind host links 1 and 2, and their interrupt lines.
constexpr uint32_t UNIT_BASE[MCSPI_NUM_UNITS] = {SOC_MCSPI2_BASE, SOC_MCSPI4_BASE};
constexpr uint32_t UNIT_IRQ[MCSPI_NUM_UNITS] = {SOC_MCSPI2_INT, SOC_MCSPI4_INT};
constexpr uint32_t UNIT_ALARM[MCSPI_NUM_UNITS] = {ALARM_MCSPI0, ALARM_MCSPI1};
constexpr uint32_t BITS_PER_WORD = 8;
constexpr uint32_t DEFAULT_CLOCK_HZ = 9216000;  // before the firmware programs one
constexpr uint64_t NS_PER_S = 1000000000;
constexpr uint64_t NS_PER_TICK = 1000000;
// Words taken from the master ahead of the bus: this many ticks of bus time
// (within the bounds), so that the bus stays busy between the socket
// side's wake-ups while a faster master waits in its socket.
constexpr uint64_t AHEAD_TICKS = 4;
constexpr uint32_t MIN_AHEAD_WORDS = 64;
constexpr uint32_t MAX_AHEAD_WORDS = 16384;
constexpr uint64_t NO_ALARM = UINT64_MAX;

struct Word {
    uint8_t value;
    uint64_t dueNs;  // when the master begins to shift it
};

struct Unit {
    std::mutex m;
    HostMcspiState st;
    // Data registers: the handler reads and writes them without m, since a
    // word's hand-over to and from the master already goes through m.
    std::atomic<uint32_t> rx{0};        // received word register
    std::atomic<uint32_t> tx{0};        // transmit register
    std::atomic<bool> txLoaded{false};  // the handler left a word since the last exchange
    // The master's words not yet shifted, and the answers of those that
    // were, written under m by the master's side and by the handler's clear.
    std::deque<Word> words;
    std::deque<uint8_t> replies;
    bool inWord = false;         // a word waits for its handler (receive-full set)
    uint64_t busNs = 0;          // when the last word handed over has been shifted
    bool wantsRoom = false;      // the socket side waits for room
    bool repliesKicked = false;  // the socket side was woken for answers it has not taken
    uint64_t alarmTick = NO_ALARM;
    bool listening = false;
    std::string endpoint;
    // A firmware context clocks an exchange in itself (hostMcspiClockSync):
    // until it ends only the CPU thread touches the unit, so the handler's
    // clears skip the lock. Written under m by the CPU thread only.
    bool syncMaster = false;
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

uint64_t wordNsLocked(const Unit& u)
{
    const uint32_t hz = u.st.outClockHz != 0 ? u.st.outClockHz : DEFAULT_CLOCK_HZ;
    return static_cast<uint64_t>(BITS_PER_WORD) * NS_PER_S / hz;
}

uint32_t aheadWordsLocked(const Unit& u)
{
    const uint64_t words = AHEAD_TICKS * NS_PER_TICK / std::max<uint64_t>(wordNsLocked(u), 1);
    return static_cast<uint32_t>(std::clamp<uint64_t>(words, MIN_AHEAD_WORDS, MAX_AHEAD_WORDS));
}

uint64_t nowNs() { return modelNowNs(ModelClock::Kernel); }

void alarmFired(void* ctx);

// Shifts the words that are due while no handler is pending: the transmit
// register goes out as the new word comes in. A controller that is not
// live answers fill and loses the word. Then sets the alarm for the next
// word and wakes the socket side when it has answers or room. True when
// the line is to be raised (after letting go of m).
// The words exchanged in one pump, both ways, for the runner's capture.
struct CaptureBatch {
    static constexpr size_t MAX = 256;
    uint8_t in[MAX];
    uint8_t out[MAX];
    size_t n = 0;
    uint64_t endNs = 0;  // the last word's end on the bus
};

void captureFlush(CaptureBatch& b, uint32_t index)
{
    if (b.n != 0) {
        hostCaptureHostLink(index + 1, b.in, b.out, b.n, b.endNs);
        b.n = 0;
    }
}

void captureWord(CaptureBatch& b, uint32_t index, uint8_t in, uint8_t out, uint64_t endNs)
{
    b.in[b.n] = in;
    b.out[b.n] = out;
    b.endNs = endNs;
    if (++b.n == CaptureBatch::MAX) {
        captureFlush(b, index);
    }
}

bool pumpLocked(Unit& u, uint32_t index, uint64_t now)
{
    HostScope host;
    bool raise = false;
    const bool capturing = hostCaptureOn();
    CaptureBatch batch;
    while (!u.inWord && !u.words.empty() && u.words.front().dueNs <= now) {
        const uint8_t value = u.words.front().value;
        // Unpaced words (test hooks) shift when they are taken.
        const uint64_t dueNs = u.words.front().dueNs;
        const uint64_t endNs = dueNs != 0 ? dueNs + wordNsLocked(u) : now;
        u.words.pop_front();
        if (!liveLocked(u)) {
            u.replies.push_back(MCSPI_FILL_WORD);
            ++u.st.wordsDropped;
            if (capturing) {
                captureWord(batch, index, value, MCSPI_FILL_WORD, endNs);
            }
            continue;
        }
        // Relaxed: the handler sees them after the line's raise, which goes
        // through the kernel's lock (a fenced store per word costs more here
        // than the rest of the word).
        const bool loaded = u.txLoaded.load(std::memory_order_relaxed);
        const uint32_t tx = u.tx.load(std::memory_order_relaxed);
        u.replies.push_back(loaded ? static_cast<uint8_t>(tx) : MCSPI_FILL_WORD);
        u.txLoaded.store(false, std::memory_order_relaxed);
        u.rx.store(value, std::memory_order_relaxed);
        u.st.status |= MCSPI_INT_RX_FULL_CH0;
        u.inWord = true;
        raise = true;
        if (capturing) {
            captureWord(batch, index, value, u.replies.back(), endNs);
        }
    }
    if (capturing) {
        captureFlush(batch, index);
    }
    if (!u.inWord && !u.words.empty()) {
        const uint64_t due = (u.words.front().dueNs + NS_PER_TICK - 1) / NS_PER_TICK;
        if (due != u.alarmTick) {
            u.alarmTick = due;
            hostAlarmSet(UNIT_ALARM[index], due, alarmFired,
                         reinterpret_cast<void*>(uintptr_t{index}));
        }
    }
    // Answers once the words due now are through (or a batch's worth has
    // gathered); room once half the words taken ahead have shifted.
    const bool answers = !u.replies.empty() && !u.repliesKicked &&
                         (!u.inWord || u.replies.size() >= aheadWordsLocked(u) / 2);
    const bool room = u.wantsRoom && u.words.size() <= aheadWordsLocked(u) / 2;
    if (answers || room) {
        u.repliesKicked = u.repliesKicked || answers;
        u.wantsRoom = u.wantsRoom && !room;
        mcspiSocketKick(index);
    }
    return raise;
}

void alarmFired(void* ctx)
{
    const auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ctx));
    Unit& u = units()[index];
    bool raise;
    {
        std::lock_guard<std::mutex> lk(u.m);
        u.alarmTick = NO_ALARM;
        raise = pumpLocked(u, index, nowNs());
    }
    if (raise) {
        hostIrqRaise(UNIT_IRQ[index]);
    }
}

// Queues words from the master: paced ones one word time after another
// from their arrival or the end of the last, unpaced ones (test hooks) due
// at once.
void submit(uint32_t index, const uint8_t* in, uint32_t n, bool paced)
{
    Unit& u = units()[index];
    bool raise;
    {
        std::lock_guard<std::mutex> lk(u.m);
        HostScope host;
        // A host thread leaves the clock to the CPU: words that are not due
        // by the tick it stands at come with their alarm.
        const uint64_t now = hostClockTicksHeld() * NS_PER_TICK;
        const uint64_t arrival = std::max(now, hostClockArrivalTick() * NS_PER_TICK);
        const uint64_t wordNs = wordNsLocked(u);
        for (uint32_t i = 0; i < n; ++i) {
            const uint64_t start = paced ? std::max(u.busNs, arrival) : 0;
            if (paced) {
                u.busNs = start + wordNs;
            }
            u.words.push_back(Word{in[i], start});
        }
        raise = pumpLocked(u, index, now);
    }
    if (raise) {
        hostIrqRaise(UNIT_IRQ[index]);
    }
}

void abandonLocked(Unit& u)
{
    u.words.clear();
    u.replies.clear();
    if (u.inWord) {
        u.inWord = false;
        u.st.status &= ~MCSPI_INT_RX_FULL_CH0;
    }
    u.wantsRoom = false;
    u.repliesKicked = false;
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
        std::unique_lock<std::mutex> lk(u.m, std::defer_lock);
        if (!u.syncMaster) {
            lk.lock();
        }
        u.st.status &= ~intFlags;
        if ((intFlags & MCSPI_INT_RX_FULL_CH0) != 0 && u.inWord) {
            // The handler is done with this word: the next one may shift,
            // if due by the tick the safe point before the handler left the
            // clock at (a later one comes with the next tick's alarm). Read
            // per word, the moving clock costs more than the word itself.
            ++u.st.wordsClocked;
            u.inWord = false;
            raise = pumpLocked(u, index, hostClockTicksHeld() * NS_PER_TICK);
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

uint32_t mcspiModelRoom(uint32_t index)
{
    Unit& u = units()[checkedIndex(index)];
    std::lock_guard<std::mutex> lk(u.m);
    const uint32_t ahead = aheadWordsLocked(u);
    const auto queued = static_cast<uint32_t>(u.words.size());
    if (queued >= ahead) {
        u.wantsRoom = true;
        return 0;
    }
    return ahead - queued;
}

void mcspiModelSubmit(uint32_t index, const uint8_t* in, uint32_t n)
{
    submit(checkedIndex(index), in, n, true);
}

uint32_t mcspiModelTakeReplies(uint32_t index, uint8_t* out, uint32_t max)
{
    Unit& u = units()[checkedIndex(index)];
    std::lock_guard<std::mutex> lk(u.m);
    uint32_t n = 0;
    while (n < max && !u.replies.empty()) {
        out[n++] = u.replies.front();
        u.replies.pop_front();
    }
    u.repliesKicked = false;
    return n;
}

void mcspiModelAbandon(uint32_t index)
{
    Unit& u = units()[checkedIndex(index)];
    std::lock_guard<std::mutex> lk(u.m);
    abandonLocked(u);
}

// Test hooks

void hostMcspiReset(bool sockets)
{
    gSockets = sockets;
    for (uint32_t i = 0; i < MCSPI_NUM_UNITS; ++i) {
        mcspiSocketStop(i);
        Unit& u = units()[i];
        hostAlarmCancel(UNIT_ALARM[i]);
        std::lock_guard<std::mutex> lk(u.m);
        abandonLocked(u);
        u.busNs = 0;
        u.alarmTick = NO_ALARM;
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
    Unit& u = units()[checkedIndex(index)];
    if (n == 0) return true;
    {
        std::lock_guard<std::mutex> lk(u.m);
        if (!liveLocked(u)) {
            std::fill(out, out + n, MCSPI_FILL_WORD);
            u.st.wordsDropped += n;
            return false;
        }
        abandonLocked(u);  // nobody else plays the master here
        u.syncMaster = true;
    }
    submit(index, in, n, false);
    // The caller is the firmware context: its next safe point takes the
    // interrupt, and the handler's clears shift the whole batch there.
    ti_sysbios_hal_Hwi_restore(ti_sysbios_hal_Hwi_disable());
    std::lock_guard<std::mutex> lk(u.m);
    u.syncMaster = false;
    const bool done = !u.inWord && u.words.empty() && u.replies.size() == n;
    for (uint32_t i = 0; i < n; ++i) {
        out[i] = i < u.replies.size() ? u.replies[i] : MCSPI_FILL_WORD;
    }
    abandonLocked(u);
    return done;
}

void hostMcspiMasterSend(uint32_t index, const uint8_t* in, uint32_t n)
{
    mcspiModelSubmit(index, in, n);
}

uint32_t hostMcspiMasterRoom(uint32_t index) { return mcspiModelRoom(index); }

uint32_t hostMcspiMasterTake(uint32_t index, uint8_t* out, uint32_t max)
{
    return mcspiModelTakeReplies(index, out, max);
}

std::string hostMcspiEndpoint(uint32_t index)
{
    std::lock_guard<std::mutex> lk(units()[checkedIndex(index)].m);
    return units()[index].endpoint;
}
