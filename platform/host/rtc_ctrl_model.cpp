// RTC and control-module register models; see hostrtc.h. The RTC counts in
// whole seconds on the model clock (kernel ticks in tests, the monotonic
// clock in the runner) from the calendar last written. Firmware accesses come
// from the CPU holder, hooks from test threads, hence the lock.
#include <map>
#include <mutex>

#include "hostinternal.h"
#include "hostregs.h"
#include "hostrtc.h"
#include "modelinternal.h"
#include "soc_sys.h"

namespace {

constexpr uint32_t WINDOW_SIZE = 0x1000;
constexpr uint32_t CTRL_WINDOW_SIZE = 0x2000;
// RTC registers.
constexpr uint32_t RTC_SECONDS = 0x00;
constexpr uint32_t RTC_MINUTES = 0x04;
constexpr uint32_t RTC_HOURS = 0x08;
constexpr uint32_t RTC_DAYS = 0x0C;
constexpr uint32_t RTC_MONTHS = 0x10;
constexpr uint32_t RTC_YEARS = 0x14;
constexpr uint32_t RTC_WEEKS = 0x18;
constexpr uint32_t RTC_CTRL = 0x40;
constexpr uint32_t RTC_STATUS = 0x44;
constexpr uint32_t RTC_OSC = 0x54;
constexpr uint32_t RTC_KICK0 = 0x6C;
constexpr uint32_t RTC_KICK1 = 0x70;
constexpr uint32_t CTRL_RUN = 0x01;
constexpr uint32_t CTRL_MODE_12H = 0x08;
constexpr uint32_t STATUS_RUN = 0x02;
constexpr uint32_t HOURS_PM = 0x80;
constexpr uint32_t HOURS_PER_HALF_DAY = 12;
// Control-module registers.
constexpr uint32_t MAC_ID0_LO = 0x630;
constexpr uint32_t MAC_ID0_HI = 0x634;
constexpr uint32_t MAC_ID1_LO = 0x638;
constexpr uint32_t MAC_ID1_HI = 0x63C;
constexpr uint64_t NS_PER_S = 1000000000ull;
constexpr int64_t SECONDS_PER_DAY = 86400;
constexpr int64_t EPOCH_2000_DAYS = 10957;  // days from 1970-01-01 to 2000-01-01
// Locally administered defaults until the runner gives the Linux interfaces'.
constexpr uint8_t DEFAULT_MAC[2][6] = {{0x02, 0x00, 0x00, 0x00, 0x00, 0x01},
                                       {0x02, 0x00, 0x00, 0x00, 0x00, 0x02}};

struct Rtc {
    bool kick0 = false;
    bool unlocked = false;
    uint32_t ctrl = 0;
    uint32_t osc = 0;
    uint32_t weeks = 0;
    int64_t baseSeconds = 0;  // seconds since 2000-01-01 at baseNs
    uint64_t baseNs = 0;
    uint32_t lockedWrites = 0;
};

struct Ctrl {
    uint8_t mac[2][6];
    std::map<uint32_t, uint32_t> regs;
};

std::mutex gLock;
Rtc gRtc;
Ctrl* gCtrl = nullptr;
ModelClock gClock = ModelClock::Kernel;

uint32_t toBcd(uint32_t v) { return ((v / 10) << 4) | (v % 10); }
uint32_t fromBcd(uint32_t v) { return ((v >> 4) & 0xF) * 10 + (v & 0xF); }

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
int64_t daysFromCivil(int64_t y, uint32_t m, uint32_t d)
{
    y -= m <= 2 ? 1 : 0;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

void civilFromDays(int64_t z, int64_t& y, uint32_t& m, uint32_t& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<uint32_t>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<uint32_t>(mp < 10 ? mp + 3 : mp - 9);
    y = yoe + era * 400 + (m <= 2 ? 1 : 0);
}

int64_t nowSeconds(const Rtc& r)
{
    if ((r.ctrl & CTRL_RUN) == 0) {
        return r.baseSeconds;
    }
    const uint64_t now = modelNowNs(gClock);
    const uint64_t elapsed = now > r.baseNs ? now - r.baseNs : 0;
    return r.baseSeconds + static_cast<int64_t>(elapsed / NS_PER_S);
}

HostRtcTime breakDown(int64_t seconds)
{
    const int64_t days = seconds / SECONDS_PER_DAY;
    const int64_t rest = seconds % SECONDS_PER_DAY;
    int64_t y = 0;
    uint32_t m = 0;
    uint32_t d = 0;
    civilFromDays(days + EPOCH_2000_DAYS, y, m, d);
    return HostRtcTime{static_cast<uint32_t>(y % 100),
                       m,
                       d,
                       static_cast<uint32_t>(rest / 3600),
                       static_cast<uint32_t>(rest / 60 % 60),
                       static_cast<uint32_t>(rest % 60)};
}

int64_t buildUp(const HostRtcTime& t)
{
    const int64_t days = daysFromCivil(2000 + t.year, t.month, t.day) - EPOCH_2000_DAYS;
    return days * SECONDS_PER_DAY + t.hour * 3600 + t.minute * 60 + t.second;
}

// Keeps the running clock's phase: a new calendar value counts on from now.
void setCalendar(Rtc& r, const HostRtcTime& t)
{
    r.baseSeconds = buildUp(t);
    r.baseNs = modelNowNs(gClock);
}

uint32_t rtcRead(void*, uint32_t offset)
{
    std::lock_guard<std::mutex> lock(gLock);
    const HostRtcTime t = breakDown(nowSeconds(gRtc));
    switch (offset) {
    case RTC_SECONDS:
        return toBcd(t.second);
    case RTC_MINUTES:
        return toBcd(t.minute);
    case RTC_HOURS:
        if ((gRtc.ctrl & CTRL_MODE_12H) != 0) {
            const uint32_t h12 =
                t.hour % HOURS_PER_HALF_DAY == 0 ? HOURS_PER_HALF_DAY : t.hour % HOURS_PER_HALF_DAY;
            return toBcd(h12) | (t.hour >= HOURS_PER_HALF_DAY ? HOURS_PM : 0);
        }
        return toBcd(t.hour);
    case RTC_DAYS:
        return toBcd(t.day);
    case RTC_MONTHS:
        return toBcd(t.month);
    case RTC_YEARS:
        return toBcd(t.year);
    case RTC_WEEKS:
        return gRtc.weeks;
    case RTC_CTRL:
        return gRtc.ctrl;
    case RTC_STATUS:
        return (gRtc.ctrl & CTRL_RUN) != 0 ? STATUS_RUN : 0;  // never busy
    case RTC_OSC:
        return gRtc.osc;
    default:
        return 0;
    }
}

void rtcWrite(void*, uint32_t offset, uint32_t value)
{
    std::lock_guard<std::mutex> lock(gLock);
    Rtc& r = gRtc;
    if (offset == RTC_KICK0) {
        r.kick0 = value == HOST_RTC_KICK0_VALUE;
        r.unlocked = false;
        return;
    }
    if (offset == RTC_KICK1) {
        r.unlocked = r.kick0 && value == HOST_RTC_KICK1_VALUE;
        return;
    }
    if (!r.unlocked) {
        ++r.lockedWrites;
        return;
    }
    HostRtcTime t = breakDown(nowSeconds(r));
    switch (offset) {
    case RTC_SECONDS:
        t.second = fromBcd(value & 0x7F);
        break;
    case RTC_MINUTES:
        t.minute = fromBcd(value & 0x7F);
        break;
    case RTC_HOURS:
        if ((r.ctrl & CTRL_MODE_12H) != 0) {
            const uint32_t h12 = fromBcd(value & 0x3F) % HOURS_PER_HALF_DAY;
            t.hour = h12 + ((value & HOURS_PM) != 0 ? HOURS_PER_HALF_DAY : 0);
        } else {
            t.hour = fromBcd(value & 0x3F);
        }
        break;
    case RTC_DAYS:
        t.day = fromBcd(value & 0x3F);
        break;
    case RTC_MONTHS:
        t.month = fromBcd(value & 0x1F);
        break;
    case RTC_YEARS:
        t.year = fromBcd(value & 0xFF);
        break;
    case RTC_WEEKS:
        r.weeks = value & 0x7;
        return;
    case RTC_OSC:
        r.osc = value;
        return;
    case RTC_CTRL: {
        const int64_t now = nowSeconds(r);
        r.ctrl = value;
        r.baseSeconds = now;  // starting or stopping keeps the calendar where it is
        r.baseNs = modelNowNs(gClock);
        return;
    }
    default:
        return;
    }
    setCalendar(r, t);
}

uint32_t ctrlRead(void*, uint32_t offset)
{
    std::lock_guard<std::mutex> lock(gLock);
    const uint8_t* m = nullptr;
    switch (offset) {
    case MAC_ID0_LO:
    case MAC_ID1_LO:
        m = gCtrl->mac[offset == MAC_ID0_LO ? 0 : 1];
        return static_cast<uint32_t>(m[4]) | (static_cast<uint32_t>(m[5]) << 8);
    case MAC_ID0_HI:
    case MAC_ID1_HI:
        m = gCtrl->mac[offset == MAC_ID0_HI ? 0 : 1];
        return static_cast<uint32_t>(m[0]) | (static_cast<uint32_t>(m[1]) << 8) |
               (static_cast<uint32_t>(m[2]) << 16) | (static_cast<uint32_t>(m[3]) << 24);
    default: {
        const auto it = gCtrl->regs.find(offset);
        return it != gCtrl->regs.end() ? it->second : 0;
    }
    }
}

void ctrlWrite(void*, uint32_t offset, uint32_t value)
{
    HostScope host;
    std::lock_guard<std::mutex> lock(gLock);
    if (offset >= MAC_ID0_LO && offset <= MAC_ID1_HI) {
        return;  // fused: read only
    }
    gCtrl->regs[offset] = value;
}

void install()
{
    HostScope host;
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (gCtrl == nullptr) {
            gCtrl = new Ctrl;  // never destroyed: model threads may outlive exit
        }
        gCtrl->regs.clear();
        for (uint32_t i = 0; i < 2; ++i) {
            for (uint32_t b = 0; b < 6; ++b) {
                gCtrl->mac[i][b] = DEFAULT_MAC[i][b];
            }
        }
        gRtc = Rtc{};
        gClock = ModelClock::Kernel;
    }
    hostRegMap(SOC_RTC_BASE, WINDOW_SIZE, rtcRead, rtcWrite, nullptr);
    hostRegMap(SOC_CTRL_BASE, CTRL_WINDOW_SIZE, ctrlRead, ctrlWrite, nullptr);
}

}  // namespace

void hostRtcCtrlReset() { install(); }

void hostRtcSetClock(ModelClock clock)
{
    std::lock_guard<std::mutex> lock(gLock);
    const int64_t now = nowSeconds(gRtc);
    gClock = clock;
    gRtc.baseSeconds = now;
    gRtc.baseNs = modelNowNs(clock);
}

HostRtcTime hostRtcNow()
{
    std::lock_guard<std::mutex> lock(gLock);
    return breakDown(nowSeconds(gRtc));
}

void hostRtcStartAt(const HostRtcTime& time)
{
    std::lock_guard<std::mutex> lock(gLock);
    gRtc.ctrl |= CTRL_RUN;
    setCalendar(gRtc, time);
}

bool hostRtcRunning()
{
    std::lock_guard<std::mutex> lock(gLock);
    return (gRtc.ctrl & CTRL_RUN) != 0;
}

uint32_t hostRtcLockedWrites()
{
    std::lock_guard<std::mutex> lock(gLock);
    return gRtc.lockedWrites;
}

void hostCtrlSetMac(uint32_t index, const uint8_t* mac)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (index < 2 && gCtrl != nullptr) {
        for (uint32_t b = 0; b < 6; ++b) {
            gCtrl->mac[index][b] = mac[b];
        }
    }
}
