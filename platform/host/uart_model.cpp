// UART model: the SoC UART library calls on four UARTs, with 64-byte FIFOs,
// line status, divisor, line control and the RTS bit. Characters leave and
// arrive one character time apart at the programmed bit rate, in simulated
// time (the kernel's tick clock); the model advances lazily to "now" on
// every call, so status reads are exact between the Linux side's wake-ups.
// The Linux side is held back rather than anything lost: it hands over only
// what the line-in queue takes (characters close to landing), and while its
// own output is full the shift register holds its character, as a line with
// flow control would. An alarm per attached UART wakes the Linux side when
// characters have left or the line-in queue has room again. Firmware calls
// come from the CPU holder; the Linux side and the test hooks use other
// threads, hence one lock. With the runner's capture on, each character is
// handed to it as it crosses the line, and an alarm brings every line up to
// the moment a silence ends a pending unit, so that the capture cuts it.
#include <algorithm>
#include <deque>
#include <mutex>
#include <vector>

#include "hostcapture.h"
#include "hostinternal.h"
#include "hostkernel.h"
#include "hostuart.h"
#include "modelinternal.h"
#include "soc_uart.h"

namespace {

constexpr uint32_t BASES[HOST_NUM_UARTS] = {SOC_UART0_BASE, SOC_UART1_BASE, SOC_UART2_BASE,
                                            SOC_UART3_BASE};
constexpr size_t FIFO_DEPTH = 64;
constexpr uint64_t MODULE_CLOCK_HZ = SOC_UART_CLOCK_HZ;
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
constexpr uint64_t NS_PER_TICK = 1000000;
// Bytes that left on the line and wait for their taker at most (about 90 s
// of line time at 115200 bit/s); beyond, the shift register holds. A real
// line never holds back, so only a taker gone for good meets the limit: a
// far end that a busy host runs late (its PTY transport may stall for
// seconds) or a test that looks late only gets the bytes late.
constexpr size_t LINE_OUT_BYTES = 1u << 20;
// The line-in queue the Linux side fills: characters of this many ticks of
// line time at most (at least MIN_LINE_IN), so that a writer faster than the
// line is held back by its descriptor while the line stays busy. Refilled
// at half, it leaves the Linux side half a second to wake up: on a busy host
// its thread waits 100 ms and more for a core, and a line that ran dry
// meanwhile carries less than its writer sends, for good (a writer at
// nearly the line rate never makes up the line time lost).
constexpr uint64_t LINE_IN_AHEAD_TICKS = 1000;
constexpr size_t MIN_LINE_IN = 16;
constexpr uint64_t NO_ALARM = UINT64_MAX;

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
    bool shiftHeld = false;   // its stop bit is over, but the taker has no room
    uint64_t shiftEndNs = 0;
    std::vector<uint8_t> lineOut;  // left on the line, not yet taken
    size_t lineOutLimit = LINE_OUT_BYTES;
    // Receiver: characters on their way over the line, then the FIFO.
    std::deque<LineChar> lineIn;
    uint64_t lastLandNs = 0;
    std::deque<RxChar> rxFifo;
    bool overrun = false;
    bool wantsRoom = false;  // the Linux side waits for room in the line-in queue
    bool outKicked = false;  // the Linux side was woken for bytes it has not taken yet
    uint64_t alarmTick = NO_ALARM;
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
Uart* gUarts = nullptr;
uint64_t gCaptureDueNs = NO_ALARM;  // the capture's alarm, in model time

// What a reset of the UART leaves alone: its Linux side.
struct HostSide {
    bool attached;
    size_t lineOutLimit;
    uint64_t alarmTick;
};

HostSide hostSideOf(const Uart& u) { return HostSide{u.attached, u.lineOutLimit, u.alarmTick}; }

void keepHostSide(Uart& u, const HostSide& side)
{
    u.attached = side.attached;
    u.lineOutLimit = side.lineOutLimit;
    u.alarmTick = side.alarmTick;
}

void powerOn(Uart& u, uint32_t index)
{
    const HostSide side = hostSideOf(u);
    u = Uart{};
    keepHostSide(u, side);
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

// The UART index of a base address; any other address is a bus fault.
uint32_t indexOf(uint32_t baseAddr)
{
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        if (BASES[i] == baseAddr) {
            return i;
        }
    }
    hostBusFault("UART call at 0x%08X: no UART there", baseAddr);
}

bool running(const Uart& u) { return (u.mode == MODE_16X || u.mode == MODE_13X) && u.divisor != 0; }

uint32_t frameBits(const Uart& u)
{
    const uint32_t data = MIN_DATA_BITS + (u.lcr & LCR_WLEN_MASK);
    const uint32_t parity = (u.lcr & LCR_PARITY_EN) != 0 ? 1 : 0;
    const uint32_t stop = (u.lcr & LCR_STOP2) != 0 ? 2 : 1;
    return 1 + data + parity + stop;
}

uint32_t oversampling(const Uart& u)
{
    return u.mode == MODE_13X ? OVERSAMPLING_13X : OVERSAMPLING_16X;
}

uint64_t charNs(const Uart& u)
{
    return static_cast<uint64_t>(frameBits(u)) * NS_PER_S * oversampling(u) * u.divisor /
           MODULE_CLOCK_HZ;
}

void keepLineOut(Uart& u, uint8_t byte)
{
    HostScope host;
    u.lineOut.push_back(byte);
}

size_t lineInCapacity(const Uart& u)
{
    const uint64_t ns = charNs(u);
    if (ns == 0) {
        return MIN_LINE_IN;
    }
    const uint64_t ahead = LINE_IN_AHEAD_TICKS * NS_PER_TICK / ns;
    return ahead > MIN_LINE_IN ? static_cast<size_t>(ahead) : MIN_LINE_IN;
}

// The first tick at which a moment of model time has come.
uint64_t tickOf(uint64_t ns) { return (ns + NS_PER_TICK - 1) / NS_PER_TICK; }

void landRx(Uart& u, uint8_t byte, uint8_t errors)
{
    HostScope host;
    if (u.rxFifo.size() >= FIFO_DEPTH) {
        u.overrun = true;  // the character is lost
        return;
    }
    u.rxFifo.push_back(RxChar{byte, errors});
}

void captureAlarmFired(void* ctx);

// Hands a character that crossed the line to the capture (cheap when it is
// off), and sets the capture's alarm for the silence that would end its unit.
void captureByte(const Uart& u, bool toBoard, uint8_t byte, uint64_t atNs)
{
    if (!hostCaptureOn()) {
        return;
    }
    const auto line = static_cast<uint32_t>(&u - gUarts);
    const uint64_t due = hostCaptureSerialByte(line, toBoard, byte, atNs);
    if (due < gCaptureDueNs) {
        gCaptureDueNs = due;
        hostAlarmSet(ALARM_CAPTURE, tickOf(due), captureAlarmFired, nullptr);
    }
}

void loadShift(Uart& u, uint64_t startNs)
{
    u.shiftByte = u.txFifo.front();
    u.txFifo.pop_front();
    u.shiftBusy = true;
    u.shiftDriven = (u.mcr & UART_MCR_RTS) == 0;
    u.shiftEndNs = startNs + charNs(u);
}

// Moves the line up to `now`: characters finish leaving, arrive, land. A
// character whose taker has no room stays in the shift register; once there
// is room it ends now, and the next one starts from there.
void advance(Uart& u, uint64_t now)
{
    while (u.shiftBusy && u.shiftEndNs <= now) {
        if (!u.loopback && u.shiftDriven && u.lineOut.size() >= u.lineOutLimit) {
            u.shiftHeld = true;
            break;
        }
        const uint64_t end = u.shiftHeld ? now : u.shiftEndNs;
        u.shiftHeld = false;
        u.shiftBusy = false;
        if (u.loopback) {
            landRx(u, u.shiftByte, 0);
        } else if (u.shiftDriven) {
            captureByte(u, false, u.shiftByte, end);
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
        // On the line before the FIFO: an overrun character still shows.
        captureByte(u, true, u.lineIn.front().byte, u.lineIn.front().landNs);
        landRx(u, u.lineIn.front().byte, u.lineIn.front().errors);
        u.lineIn.pop_front();
    }
}

uint64_t nowNs() { return modelNowNs(ModelClock::Kernel); }

uint32_t checkedIndex(uint32_t index)
{
    if (index >= HOST_NUM_UARTS) {
        hostBusFault("UART %u does not exist (0 to %u)", index, HOST_NUM_UARTS - 1);
    }
    return index;
}

void alarmFired(void* ctx);

// Wakes an attached Linux side when it has something to do, and sets the
// alarm for the next moment it will: the character in the shift register
// leaving, or the line-in queue making room for a waiting writer.
void serveHostSide(Uart& u, uint32_t index)
{
    if (!u.attached) {
        return;
    }
    // Room again once half the queue has landed, so that each wake-up reads
    // a fair share; bytes that left wake it once until it takes them.
    const bool room = u.wantsRoom && u.lineIn.size() <= lineInCapacity(u) / 2;
    const bool out = !u.lineOut.empty() && !u.outKicked;
    if (room || out) {
        u.wantsRoom = u.wantsRoom && !room;
        u.outKicked = u.outKicked || out;
        uartHostKick(index);
    }
    uint64_t due = NO_ALARM;
    if (u.shiftBusy && !u.shiftHeld) {
        due = tickOf(u.shiftEndNs);
    }
    if (u.wantsRoom && !u.lineIn.empty()) {
        const uint64_t land = tickOf(u.lineIn.front().landNs);
        due = land < due ? land : due;
    }
    // An alarm that turns out early or needless only looks again.
    if (due != NO_ALARM && due != u.alarmTick) {
        u.alarmTick = due;
        hostAlarmSet(ALARM_UART0 + index, due, alarmFired,
                     reinterpret_cast<void*>(uintptr_t{index}));
    }
}

// The UART of an index, brought up to now.
Uart& atIndex(uint32_t index)
{
    Uart& u = uarts()[checkedIndex(index)];
    advance(u, nowNs());
    serveHostSide(u, index);
    return u;
}

void alarmFired(void* ctx)
{
    const auto index = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(ctx));
    std::lock_guard<std::mutex> lock(gLock);
    uarts()[index].alarmTick = NO_ALARM;
    (void)atIndex(index);
}

// Every line up to now, so that no character before now is still to come,
// then the capture cuts what a silence has ended.
void captureAlarmFired(void* /*ctx*/)
{
    std::lock_guard<std::mutex> lock(gLock);
    gCaptureDueNs = NO_ALARM;
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        (void)atIndex(i);
    }
    const uint64_t next = hostCapturePoll(nowNs());
    if (next < gCaptureDueNs) {
        gCaptureDueNs = next;
        hostAlarmSet(ALARM_CAPTURE, tickOf(next), captureAlarmFired, nullptr);
    }
}

Uart& at(uint32_t baseAddr) { return atIndex(indexOf(baseAddr)); }

void settingsChanged(Uart& u, uint32_t baseAddr)
{
    u.settingsChanged = true;
    if (u.attached) {
        uartHostKick(indexOf(baseAddr));
    }
}

}  // namespace

void UARTModuleReset(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    HostScope host;
    Uart& u = uarts()[indexOf(baseAddr)];
    const HostUartSink sink = u.sink;
    void* ctx = u.sinkCtx;
    std::vector<uint8_t> pending;
    pending.swap(u.lineOut);  // what already left on the line stays sent
    const HostSide side = hostSideOf(u);
    u = Uart{};
    keepHostSide(u, side);
    u.sink = sink;
    u.sinkCtx = ctx;
    u.lineOut.swap(pending);
    settingsChanged(u, baseAddr);
}

uint32_t UARTFIFOConfig(uint32_t baseAddr, uint32_t fifoConfig)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    // The driver's configuration word clears both FIFOs.
    u.txFifo.clear();
    u.rxFifo.clear();
    u.overrun = false;
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
    Uart& u = at(baseAddr);
    const uint32_t old = u.divisor;
    u.divisor = divisorValue & 0x3FFFu;
    settingsChanged(u, baseAddr);
    return old;
}

void UARTLineCharacConfig(uint32_t baseAddr, uint32_t wLenStbFlag, uint32_t parityFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    u.lcr = (wLenStbFlag | parityFlag) & LCR_FRAME_MASK;
    settingsChanged(u, baseAddr);
}

void UARTDivisorLatchDisable(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    (void)at(baseAddr);  // nothing to model beyond the address check
}

void UARTLoopbackModeControl(uint32_t baseAddr, uint32_t controlFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    at(baseAddr).loopback = controlFlag != 0;
}

void UARTBreakCtl(uint32_t baseAddr, uint32_t breakState)
{
    std::lock_guard<std::mutex> lock(gLock);
    at(baseAddr).breakOn = breakState != 0;
}

void UARTXONAnyFeatureControl(uint32_t baseAddr, uint32_t /*controlFlag*/)
{
    std::lock_guard<std::mutex> lock(gLock);
    (void)at(baseAddr);  // nothing to model beyond the address check
}

void UARTAutoRTSAutoCTSControl(uint32_t baseAddr, uint32_t autoCtsControl, uint32_t autoRtsControl)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    u.autoCts = autoCtsControl;
    u.autoRts = autoRtsControl;
}

void UARTModemControlSet(uint32_t baseAddr, uint32_t modeFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    if ((modeFlag & UART_MCR_RTS) != 0) {
        ++u.rtsSets;
        // The character in the shift register is cut off the line.
        u.shiftDriven = false;
    }
    u.mcr |= modeFlag;
    settingsChanged(u, baseAddr);
}

void UARTModemControlClear(uint32_t baseAddr, uint32_t modeFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    if ((modeFlag & UART_MCR_RTS) != 0) {
        ++u.rtsClears;
    }
    u.mcr &= ~modeFlag;
    settingsChanged(u, baseAddr);
}

uint32_t UARTOperatingModeSelect(uint32_t baseAddr, uint32_t modeFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    const uint32_t old = u.mode;
    u.mode = modeFlag & 0x7u;
    advance(u, nowNs());
    settingsChanged(u, baseAddr);
    return old;
}

void UARTIntDisable(uint32_t baseAddr, uint32_t intFlag)
{
    std::lock_guard<std::mutex> lock(gLock);
    at(baseAddr).ier &= ~intFlag;
}

void UARTInt2Disable(uint32_t baseAddr, uint32_t /*intFlag*/)
{
    std::lock_guard<std::mutex> lock(gLock);
    (void)at(baseAddr);  // nothing to model beyond the address check
}

uint32_t UARTCharsAvail(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    return at(baseAddr).rxFifo.empty() ? 0 : 1;
}

uint32_t UARTReadStatus(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    uint32_t lsr = 0;
    if (!u.rxFifo.empty()) {
        lsr |= UART_LSR_RX_FIFO_STS | (u.rxFifo.front().errors & LSR_CHAR_ERRORS);
        for (const RxChar& c : u.rxFifo) {
            if ((c.errors & LSR_CHAR_ERRORS) != 0) {
                lsr |= UART_LSR_RX_FIFO_E;
            }
        }
    }
    if (u.overrun) {
        lsr |= UART_LSR_RX_OE;
        u.overrun = false;  // cleared by reading the status
    }
    if (u.txFifo.empty()) {
        lsr |= LSR_TX_FIFO_EMPTY;
        if (!u.shiftBusy) {
            lsr |= LSR_TX_SR_EMPTY;
        }
    }
    return lsr;
}

uint8_t UARTFIFOCharGet(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    if (u.rxFifo.empty()) {
        return 0;
    }
    const uint8_t byte = u.rxFifo.front().byte;
    u.rxFifo.pop_front();
    return byte;
}

void UARTFIFOCharPut(uint32_t baseAddr, uint8_t byteTx)
{
    std::unique_lock<std::mutex> lock(gLock);
    Uart& u = at(baseAddr);
    if (u.sink != nullptr) {
        const HostUartSink sink = u.sink;
        void* ctx = u.sinkCtx;
        lock.unlock();
        sink(byteTx, ctx);
        return;
    }
    if (u.txFifo.size() >= FIFO_DEPTH) {
        ++u.txLost;
        return;
    }
    {
        HostScope host;
        u.txFifo.push_back(byteTx);
    }
    advance(u, nowNs());
    serveHostSide(u, indexOf(baseAddr));
}

uint32_t UARTTxFIFOFullStatusGet(uint32_t baseAddr)
{
    uint64_t roomNs = 0;  // when the shift register takes the next character
    {
        std::lock_guard<std::mutex> lock(gLock);
        const Uart& u = at(baseAddr);
        if (u.sink != nullptr || u.txFifo.size() < FIFO_DEPTH) {
            return 0;
        }
        if (u.shiftBusy && !u.shiftHeld) {
            roomNs = u.shiftEndNs;
        }
    }
    // Polled until there is room (the fatal path's output): the wait costs
    // simulated time.
    if (roomNs != 0) {
        modelBusyWaitUntil(roomNs);
    }
    return 1;
}

uint32_t UARTIsTransmitterEmpty(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    const Uart& u = at(baseAddr);
    return u.txFifo.empty() && !u.shiftBusy ? LSR_TX_FIFO_EMPTY | LSR_TX_SR_EMPTY : 0;
}

void hostUartSetTxSink(uint32_t baseAddr, HostUartSink sink, void* ctx)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = uarts()[indexOf(baseAddr)];
    u.sink = sink;
    u.sinkCtx = ctx;
}

void hostUartReset()
{
    std::lock_guard<std::mutex> lock(gLock);
    HostScope host;
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        Uart& u = uarts()[i];
        powerOn(u, i);
        u.lineOutLimit = LINE_OUT_BYTES;
        u.alarmTick = NO_ALARM;  // the kernel's reset forgot every alarm
    }
    gCaptureDueNs = NO_ALARM;
}

void hostUartSetLineOutLimit(uint32_t index, size_t bytes)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = atIndex(index);
    u.lineOutLimit = bytes;
}

size_t hostUartLineInRoom(uint32_t index) { return uartModelLineInRoom(index); }

size_t hostUartTakeTx(uint32_t index, uint8_t* out, size_t max)
{
    return uartModelTakeLine(index, out, max);
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
    landRx(atIndex(index), byte, static_cast<uint8_t>(errors & LSR_CHAR_ERRORS));
}

HostUartState hostUartState(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    const Uart& u = atIndex(index);
    HostUartState s;
    s.mode = u.mode;
    s.bitRate =
        u.divisor != 0 ? static_cast<uint32_t>(MODULE_CLOCK_HZ / (oversampling(u) * u.divisor)) : 0;
    s.frameBits = frameBits(u);
    s.lineControl = u.lcr;
    s.rtsBit = (u.mcr & UART_MCR_RTS) != 0;
    s.rtsClears = u.rtsClears;
    s.rtsSets = u.rtsSets;
    s.undrivenBytes = u.undriven;
    s.txLost = u.txLost;
    s.rxFifoLevel = static_cast<uint32_t>(u.rxFifo.size());
    s.txFifoLevel = static_cast<uint32_t>(u.txFifo.size());
    s.transmitterEmpty = u.txFifo.empty() && !u.shiftBusy;
    return s;
}

void uartModelSetAttached(uint32_t index, bool attached)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = uarts()[checkedIndex(index)];
    u.attached = attached;
    u.lineOutLimit = LINE_OUT_BYTES;
}

size_t uartModelTakeLine(uint32_t index, uint8_t* out, size_t max)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = uarts()[checkedIndex(index)];
    const uint64_t now = nowNs();
    advance(u, now);
    const size_t n = u.lineOut.size() < max ? u.lineOut.size() : max;
    for (size_t i = 0; i < n; ++i) {
        out[i] = u.lineOut[i];
    }
    u.lineOut.erase(u.lineOut.begin(), u.lineOut.begin() + static_cast<std::ptrdiff_t>(n));
    u.outKicked = false;
    // A held character leaves now that there is room.
    advance(u, now);
    if (u.attached && u.shiftBusy && !u.shiftHeld) {
        const uint64_t due = tickOf(u.shiftEndNs);
        if (due != u.alarmTick) {
            u.alarmTick = due;
            hostAlarmSet(ALARM_UART0 + index, due, alarmFired,
                         reinterpret_cast<void*>(uintptr_t{index}));
        }
    }
    return n;
}

size_t uartModelLineInRoom(uint32_t index)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = atIndex(index);
    if (!running(u)) {
        return lineInCapacity(u);  // taken and dropped: nobody samples the line
    }
    const size_t cap = lineInCapacity(u);
    if (u.lineIn.size() >= cap) {
        u.wantsRoom = true;
        serveHostSide(u, index);
        return 0;
    }
    return cap - u.lineIn.size();
}

void uartModelLineIn(uint32_t index, uint8_t byte, uint32_t errors)
{
    std::lock_guard<std::mutex> lock(gLock);
    HostScope host;
    Uart& u = atIndex(index);
    if (!running(u)) {
        return;  // nobody samples the line of a UART that does not run
    }
    const uint64_t now = std::max(nowNs(), hostClockArrivalTick() * NS_PER_TICK);
    // A burst from the peer arrives as a line would carry it: one character
    // time after another.
    const uint64_t start = u.lastLandNs > now ? u.lastLandNs : now;
    u.lastLandNs = start + charNs(u);
    u.lineIn.push_back(
        LineChar{byte, static_cast<uint8_t>(errors & LSR_CHAR_ERRORS), u.lastLandNs});
}

bool uartModelSettings(uint32_t index, UartLineSettings* out)
{
    std::lock_guard<std::mutex> lock(gLock);
    Uart& u = uarts()[checkedIndex(index)];
    out->bitRate =
        running(u) ? static_cast<uint32_t>(MODULE_CLOCK_HZ / (oversampling(u) * u.divisor)) : 0;
    out->dataBits = MIN_DATA_BITS + (u.lcr & LCR_WLEN_MASK);
    out->parity = (u.lcr & LCR_PARITY_EN) != 0;
    out->oddParity = (u.lcr & LCR_PARITY_EVEN) == 0;
    out->stopBits = (u.lcr & LCR_STOP2) != 0 ? 2 : 1;
    out->rtsBit = (u.mcr & UART_MCR_RTS) != 0;
    const bool changed = u.settingsChanged;
    u.settingsChanged = false;
    return changed;
}
