// UART model: the SoC UART library calls on four UARTs, with 64-byte FIFOs,
// line status, divisor, line control and the RTS bit. Characters leave and
// arrive one character time apart at the programmed bit rate; the model
// advances lazily to "now" on every call, so status reads are exact between
// the Linux side's wake-ups. Firmware calls come from the CPU holder; the
// Linux side and the test hooks use other threads, hence one lock.
#include <deque>
#include <mutex>
#include <vector>

#include "hostinternal.h"
#include "hostrtc.h"
#include "hostuart.h"
#include "hostwdt.h"
#include "modelinternal.h"
#include "soc_uart.h"

namespace {

constexpr uint32_t BASES[HOST_NUM_UARTS] = {0x44E09000u, 0x48022000u, 0x48024000u, 0x481A6000u};
constexpr size_t FIFO_DEPTH = 64;
constexpr uint64_t MODULE_CLOCK_HZ = 48000000;
constexpr uint64_t NS_PER_S = 1000000000ull;
constexpr uint32_t OVERSAMPLING_16X = 16;
constexpr uint32_t OVERSAMPLING_13X = 13;
constexpr uint32_t MODE_16X = 0;
constexpr uint32_t MODE_13X = 3;
constexpr uint32_t MODE_DISABLED = 7;
constexpr uint32_t LCR_WLEN_MASK = 0x03;
constexpr uint32_t LCR_STOP2 = 0x04;
constexpr uint32_t LCR_PARITY_EN = 0x08;
constexpr uint32_t LCR_PARITY_EVEN = 0x10;
constexpr uint32_t LCR_FRAME_MASK = 0x3F;
constexpr uint32_t MIN_DATA_BITS = 5;
constexpr uint32_t LSR_TX_FIFO_EMPTY = 0x20;
constexpr uint32_t LSR_TX_SR_EMPTY = 0x40;
constexpr uint32_t LSR_CHAR_ERRORS = UART_LSR_RX_BI | UART_LSR_RX_FE | UART_LSR_RX_PE;
// What the boot loader leaves on the console UART: 115200 bit/s, 8N1.
constexpr uint32_t BOOT_DIVISOR = 26;
constexpr uint32_t BOOT_LCR = 0x03;
constexpr size_t MAX_KEPT_LINE_BYTES = 1u << 20;  // bytes nobody took are dropped beyond this

struct RxChar {
    uint8_t byte;
    uint8_t errors;
};

struct LineChar {
    uint8_t byte;
    uint8_t errors;
    uint64_t landNs;  // end of its stop bit: when it enters the receive FIFO
};

struct Uart {
    uint32_t mode = MODE_DISABLED;
    uint32_t divisor = 0;
    uint32_t lcr = 0;
    uint32_t mcr = 0;
    uint32_t ier = 0;
    bool loopback = false;
    bool breakOn = false;
    uint32_t autoCts = 0;
    uint32_t autoRts = 0;
    // Transmitter: FIFO, then the shift register on the line.
    std::deque<uint8_t> txFifo;
    bool shiftBusy = false;
    uint8_t shiftByte = 0;
    bool shiftDriven = true;  // RTS bit stayed clear while it left
    uint64_t shiftEndNs = 0;
    std::vector<uint8_t> lineOut;  // left on the line, not yet taken
    // Receiver: characters on their way over the line, then the FIFO.
    std::deque<LineChar> lineIn;
    uint64_t lastLandNs = 0;
    std::deque<RxChar> rxFifo;
    bool overrun = false;
    // Observations for tests.
    uint32_t rtsClears = 0;
    uint32_t rtsSets = 0;
    uint32_t undriven = 0;
    uint32_t txLost = 0;
    bool attached = false;
    bool settingsChanged = true;
    HostUartSink sink = nullptr;
    void* sinkCtx = nullptr;
};

std::mutex gLock;
ModelClock gClock = ModelClock::Kernel;
Uart* gUarts = nullptr;

void powerOn(Uart& u, uint32_t index)
{
    const bool attached = u.attached;
    u = Uart{};
    u.attached = attached;
    if (index == 0) {
        u.mode = MODE_16X;
        u.divisor = BOOT_DIVISOR;
        u.lcr = BOOT_LCR;
    }
}

Uart* uarts()
{
    if (gUarts == nullptr) {
        HostScope host;
        gUarts = new Uart[HOST_NUM_UARTS];  // never destroyed: I/O threads may outlive exit
        for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
            powerOn(gUarts[i], i);
        }
    }
    return gUarts;
}

int indexOf(uint32_t baseAddr)
{
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        if (BASES[i] == baseAddr) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

bool running(const Uart& u)
{
    return (u.mode == MODE_16X || u.mode == MODE_13X) && u.divisor != 0;
}

uint32_t frameBits(const Uart& u)
{
    const uint32_t data = MIN_DATA_BITS + (u.lcr & LCR_WLEN_MASK);
    const uint32_t parity = (u.lcr & LCR_PARITY_EN) != 0 ? 1 : 0;
    const uint32_t stop = (u.lcr & LCR_STOP2) != 0 ? 2 : 1;
    return 1 + data + parity + stop;
}

uint32_t oversampling(const Uart& u) { return u.mode == MODE_13X ? OVERSAMPLING_13X : OVERSAMPLING_16X; }

uint64_t charNs(const Uart& u)
{
    return static_cast<uint64_t>(frameBits(u)) * NS_PER_S * oversampling(u) * u.divisor /
           MODULE_CLOCK_HZ;
}

void keepLineOut(Uart& u, uint8_t byte)
{
    HostScope host;
    if (u.lineOut.size() < MAX_KEPT_LINE_BYTES) {
        u.lineOut.push_back(byte);
    }
}

void landRx(Uart& u, uint8_t byte, uint8_t errors)
{
    HostScope host;
    if (u.rxFifo.size() >= FIFO_DEPTH) {
        u.overrun = true;  // the character is lost
        return;
    }
    u.rxFifo.push_back(RxChar{byte, errors});
}

void loadShift(Uart& u, uint64_t startNs)
{
    u.shiftByte = u.txFifo.front();
    u.txFifo.pop_front();
    u.shiftBusy = true;
    u.shiftDriven = (u.mcr & UART_MCR_RTS) == 0;
    u.shiftEndNs = startNs + charNs(u);
}

// Moves the line up to `now`: characters finish leaving, arrive, land.
void advance(Uart& u, uint64_t now)
{
    while (u.shiftBusy && u.shiftEndNs <= now) {
        const uint64_t end = u.shiftEndNs;
        u.shiftBusy = false;
        if (u.loopback) {
            landRx(u, u.shiftByte, 0);
        } else if (u.shiftDriven) {
            keepLineOut(u, u.shiftByte);
        } else {
            ++u.undriven;  // the line driver was off: nothing reached the line
        }
        if (!u.txFifo.empty() && running(u)) {
            loadShift(u, end);
        }
    }
    if (!u.shiftBusy && !u.txFifo.empty() && running(u)) {
        loadShift(u, now);
    }
    while (!u.lineIn.empty() && u.lineIn.front().landNs <= now) {
        landRx(u, u.lineIn.front().byte, u.lineIn.front().errors);
        u.lineIn.pop_front();
    }
}

uint64_t nowNs() { return modelNowNs(gClock); }

// The UART of a base address, brought up to now; null for an unknown base.
Uart* at(uint32_t baseAddr)
{
    const int i = indexOf(baseAddr);
    if (i < 0) {
        return nullptr;
    }
    Uart* u = &uarts()[i];
    advance(*u, nowNs());
    return u;
}

Uart* atIndex(uint32_t index)
{
    if (index >= HOST_NUM_UARTS) {
        return nullptr;
    }
    Uart* u = &uarts()[index];
    advance(*u, nowNs());
    return u;
}

void settingsChanged(Uart& u, uint32_t baseAddr)
{
    u.settingsChanged = true;
    if (u.attached) {
        uartHostKick(static_cast<uint32_t>(indexOf(baseAddr)));
    }
}

// Every binary that can print a fatal line links this file: pulling the
// register models in with it keeps the watchdog, RTC and control-module
// registers present wherever the firmware may program them.
[[maybe_unused]] bool (*volatile gWatchdogLinked)() = hostWdtRunning;
[[maybe_unused]] void (*volatile gRtcCtrlLinked)() = hostRtcCtrlReset;

}  // namespace

// ---- SoC UART library ---------------------------------------------------------

void UARTModuleReset(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    HostScope host;
    const int i = indexOf(baseAddr);
    if (i < 0) {
        return;
    }
    Uart& u = uarts()[i];
    const HostUartSink sink = u.sink;
    void* ctx = u.sinkCtx;
    const bool attached = u.attached;
    std::vector<uint8_t> pending;
    pending.swap(u.lineOut);  // what already left on the line stays sent
    u = Uart{};
    u.attached = attached;
    u.sink = sink;
    u.sinkCtx = ctx;
    u.lineOut.swap(pending);
    settingsChanged(u, baseAddr);
}

uint32_t UARTFIFOConfig(uint32_t baseAddr, uint32_t fifoConfig)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u != nullptr) {
        // The driver's configuration word clears both FIFOs.
        u->txFifo.clear();
        u->rxFifo.clear();
        u->overrun = false;
    }
    return fifoConfig & 0xFFu;
}

uint32_t UARTDivisorValCompute(uint32_t moduleClk, uint32_t baudRate, uint32_t modeFlag,
                               uint32_t /*mirOverSampRate*/)
{
    const uint32_t over = modeFlag == MODE_13X ? OVERSAMPLING_13X : OVERSAMPLING_16X;
    return baudRate != 0 ? (moduleClk + over * baudRate / 2) / (over * baudRate) : 0;
}

uint32_t UARTDivisorLatchWrite(uint32_t baseAddr, uint32_t divisorValue)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr) {
        return 0;
    }
    const uint32_t old = u->divisor;
    u->divisor = divisorValue & 0x3FFFu;
    settingsChanged(*u, baseAddr);
    return old;
}

void UARTLineCharacConfig(uint32_t baseAddr, uint32_t wLenStbFlag, uint32_t parityFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u != nullptr) {
        u->lcr = (wLenStbFlag | parityFlag) & LCR_FRAME_MASK;
        settingsChanged(*u, baseAddr);
    }
}

void UARTDivisorLatchDisable(uint32_t /*baseAddr*/) {}

void UARTLoopbackModeControl(uint32_t baseAddr, uint32_t controlFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u != nullptr) {
        u->loopback = controlFlag != 0;
    }
}

void UARTBreakCtl(uint32_t baseAddr, uint32_t breakState)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u != nullptr) {
        u->breakOn = breakState != 0;
    }
}

void UARTXONAnyFeatureControl(uint32_t /*baseAddr*/, uint32_t /*controlFlag*/) {}

void UARTAutoRTSAutoCTSControl(uint32_t baseAddr, uint32_t autoCtsControl, uint32_t autoRtsControl)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u != nullptr) {
        u->autoCts = autoCtsControl;
        u->autoRts = autoRtsControl;
    }
}

void UARTModemControlSet(uint32_t baseAddr, uint32_t modeFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr) {
        return;
    }
    if ((modeFlag & UART_MCR_RTS) != 0) {
        ++u->rtsSets;
        // The character in the shift register is cut off the line.
        u->shiftDriven = false;
    }
    u->mcr |= modeFlag;
    settingsChanged(*u, baseAddr);
}

void UARTModemControlClear(uint32_t baseAddr, uint32_t modeFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr) {
        return;
    }
    if ((modeFlag & UART_MCR_RTS) != 0) {
        ++u->rtsClears;
    }
    u->mcr &= ~modeFlag;
    settingsChanged(*u, baseAddr);
}

uint32_t UARTOperatingModeSelect(uint32_t baseAddr, uint32_t modeFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr) {
        return 0;
    }
    const uint32_t old = u->mode;
    u->mode = modeFlag & 0x7u;
    advance(*u, nowNs());
    settingsChanged(*u, baseAddr);
    return old;
}

void UARTIntDisable(uint32_t baseAddr, uint32_t intFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u != nullptr) {
        u->ier &= ~intFlag;
    }
}

void UARTInt2Disable(uint32_t /*baseAddr*/, uint32_t /*intFlag*/) {}

uint32_t UARTCharsAvail(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    return u != nullptr && !u->rxFifo.empty() ? 1 : 0;
}

uint32_t UARTReadStatus(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr) {
        return 0;
    }
    uint32_t lsr = 0;
    if (!u->rxFifo.empty()) {
        lsr |= UART_LSR_RX_FIFO_STS | (u->rxFifo.front().errors & LSR_CHAR_ERRORS);
        for (const RxChar& c : u->rxFifo) {
            if ((c.errors & LSR_CHAR_ERRORS) != 0) {
                lsr |= UART_LSR_RX_FIFO_E;
            }
        }
    }
    if (u->overrun) {
        lsr |= UART_LSR_RX_OE;
        u->overrun = false;  // cleared by reading the status
    }
    if (u->txFifo.empty()) {
        lsr |= LSR_TX_FIFO_EMPTY;
        if (!u->shiftBusy) {
            lsr |= LSR_TX_SR_EMPTY;
        }
    }
    return lsr;
}

uint8_t UARTFIFOCharGet(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr || u->rxFifo.empty()) {
        return 0;
    }
    const uint8_t byte = u->rxFifo.front().byte;
    u->rxFifo.pop_front();
    return byte;
}

void UARTFIFOCharPut(uint32_t baseAddr, uint8_t byteTx)
{
    std::unique_lock<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr) {
        return;
    }
    if (u->sink != nullptr) {
        const HostUartSink sink = u->sink;
        void* ctx = u->sinkCtx;
        lock.unlock();
        sink(byteTx, ctx);
        return;
    }
    if (u->txFifo.size() >= FIFO_DEPTH) {
        ++u->txLost;
        return;
    }
    const bool wasIdle = !u->shiftBusy;
    {
        HostScope host;
        u->txFifo.push_back(byteTx);
    }
    advance(*u, nowNs());
    if (wasIdle && u->attached) {
        uartHostKick(static_cast<uint32_t>(indexOf(baseAddr)));
    }
}

uint32_t UARTTxFIFOFullStatusGet(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    return u != nullptr && u->sink == nullptr && u->txFifo.size() >= FIFO_DEPTH ? 1 : 0;
}

uint32_t UARTIsTransmitterEmpty(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = at(baseAddr);
    if (u == nullptr || (u->txFifo.empty() && !u->shiftBusy)) {
        return LSR_TX_FIFO_EMPTY | LSR_TX_SR_EMPTY;
    }
    return 0;
}

// ---- Test hooks -----------------------------------------------------------------

void hostUartSetTxSink(uint32_t baseAddr, HostUartSink sink, void* ctx)
{
    std::lock_guard<std::mutex> lock(gLock);
    const int i = indexOf(baseAddr);
    if (i >= 0) {
        uarts()[i].sink = sink;
        uarts()[i].sinkCtx = ctx;
    }
}

void hostUartReset()
{
    std::lock_guard<std::mutex> lock(gLock);
    HostScope host;
    gClock = ModelClock::Kernel;
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        powerOn(uarts()[i], i);
    }
}

size_t hostUartTakeTx(uint32_t index, uint8_t* out, size_t max)
{
    uint64_t busy = 0;
    return uartModelTakeLine(index, out, max, &busy);
}

void hostUartLineIn(uint32_t index, const uint8_t* data, size_t len, uint32_t errors)
{
    for (size_t i = 0; i < len; ++i) {
        uartModelLineIn(index, data[i], errors);
    }
}

void hostUartRxFifoPut(uint32_t index, uint8_t byte, uint32_t errors)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    if (u != nullptr) {
        landRx(*u, byte, static_cast<uint8_t>(errors & LSR_CHAR_ERRORS));
    }
}

uint32_t hostUartRxFifoLevel(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? static_cast<uint32_t>(u->rxFifo.size()) : 0;
}

uint32_t hostUartTxFifoLevel(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? static_cast<uint32_t>(u->txFifo.size()) : 0;
}

bool hostUartTransmitterEmpty(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u == nullptr || (u->txFifo.empty() && !u->shiftBusy);
}

bool hostUartRtsBit(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr && (u->mcr & UART_MCR_RTS) != 0;
}

uint32_t hostUartRtsClears(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? u->rtsClears : 0;
}

uint32_t hostUartRtsSets(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? u->rtsSets : 0;
}

uint32_t hostUartUndrivenBytes(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? u->undriven : 0;
}

uint32_t hostUartTxLost(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? u->txLost : 0;
}

uint32_t hostUartBitRate(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    if (u == nullptr || u->divisor == 0) {
        return 0;
    }
    return static_cast<uint32_t>(MODULE_CLOCK_HZ / (oversampling(*u) * u->divisor));
}

uint32_t hostUartFrameBits(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? frameBits(*u) : 0;
}

uint32_t hostUartMode(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? u->mode : MODE_DISABLED;
}

uint32_t hostUartLineControl(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart* u = atIndex(index);
    return u != nullptr ? u->lcr : 0;
}

// ---- Linux side interface ---------------------------------------------------------

void uartModelSetClock(ModelClock clock)
{
    std::lock_guard<std::mutex> lock(gLock);
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        advance(uarts()[i], modelNowNs(gClock));
    }
    gClock = clock;
    // Characters on their way keep their remaining time on the new clock.
    const uint64_t now = modelNowNs(clock);
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        Uart& u = uarts()[i];
        if (u.shiftBusy) {
            u.shiftEndNs = now + charNs(u);
        }
        u.lastLandNs = now;
        for (LineChar& c : u.lineIn) {
            c.landNs = now + charNs(u);
        }
    }
}

void uartModelSetAttached(uint32_t index, bool attached)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (index < HOST_NUM_UARTS) {
        uarts()[index].attached = attached;
    }
}

size_t uartModelTakeLine(uint32_t index, uint8_t* out, size_t max, uint64_t* busyNs)
{
    std::lock_guard<std::mutex> lock(gLock);
    *busyNs = 0;
    Uart* u = atIndex(index);
    if (u == nullptr) {
        return 0;
    }
    const size_t n = u->lineOut.size() < max ? u->lineOut.size() : max;
    for (size_t i = 0; i < n; ++i) {
        out[i] = u->lineOut[i];
    }
    u->lineOut.erase(u->lineOut.begin(), u->lineOut.begin() + static_cast<std::ptrdiff_t>(n));
    if (u->shiftBusy) {
        const uint64_t now = nowNs();
        *busyNs = (u->shiftEndNs > now ? u->shiftEndNs - now : 0) + charNs(*u) * u->txFifo.size();
        if (*busyNs == 0) {
            *busyNs = 1;
        }
    }
    return n;
}

void uartModelLineIn(uint32_t index, uint8_t byte, uint32_t errors)
{
    std::lock_guard<std::mutex> lock(gLock);
    HostScope host;
    Uart* u = atIndex(index);
    if (u == nullptr || !running(*u)) {
        return;  // nobody samples the line of a UART that does not run
    }
    const uint64_t now = nowNs();
    // A burst from the peer arrives as a line would carry it: one character
    // time after another.
    const uint64_t start = u->lastLandNs > now ? u->lastLandNs : now;
    u->lastLandNs = start + charNs(*u);
    u->lineIn.push_back(LineChar{byte, static_cast<uint8_t>(errors & LSR_CHAR_ERRORS), u->lastLandNs});
}

bool uartModelSettings(uint32_t index, UartLineSettings* out)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (index >= HOST_NUM_UARTS) {
        return false;
    }
    Uart& u = uarts()[index];
    out->bitRate = running(u) ? static_cast<uint32_t>(MODULE_CLOCK_HZ / (oversampling(u) * u.divisor)) : 0;
    out->dataBits = MIN_DATA_BITS + (u.lcr & LCR_WLEN_MASK);
    out->parity = (u.lcr & LCR_PARITY_EN) != 0;
    out->oddParity = (u.lcr & LCR_PARITY_EVEN) == 0;
    out->stopBits = (u.lcr & LCR_STOP2) != 0 ? 2 : 1;
    out->rtsBit = (u.mcr & UART_MCR_RTS) != 0;
    const bool changed = u.settingsChanged;
    u.settingsChanged = false;
    return changed;
}

bool ParmrkDecoder::Feed(uint8_t in, uint8_t& byte, uint32_t& errors)
{
    constexpr uint8_t ESCAPE = 0xFF;
    errors = 0;
    switch (state) {
    case 0:
        if (in == ESCAPE) {
            state = 1;
            return false;
        }
        byte = in;
        return true;
    case 1:
        if (in == 0) {
            state = 2;
            return false;
        }
        state = 0;
        byte = in;  // 0xFF 0xFF: a literal 0xFF
        return true;
    default:
        state = 0;
        byte = in;
        errors = in == 0 ? (UART_LSR_RX_BI | UART_LSR_RX_FE)
                         : (parityOn ? UART_LSR_RX_PE : UART_LSR_RX_FE);
        return true;
    }
}
