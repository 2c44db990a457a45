// The runner's peripherals: attachment of the models to Linux resources and
// the watchdog's reset behaviour, in one place for platformArgs.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>

#include "hostboard.h"
#include "hostnet.h"
#include "hostperiph.h"
#include "hostrtc.h"
#include "hostuart.h"
#include "hostwdt.h"
#include "modelinternal.h"

namespace {
constexpr int EXIT_ATTACH_FAILED = 1;
constexpr int TM_BASE_YEAR = 1900;
constexpr uint32_t YEARS_PER_CENTURY = 100;

// The MAC address of a Linux interface; false when it has none (loopback).
bool linuxMac(const std::string& ifname, uint8_t* mac)
{
    std::ifstream f("/sys/class/net/" + ifname + "/address");
    std::string text;
    unsigned v[6] = {};
    if (!(f >> text) || std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3],
                                    &v[4], &v[5]) != 6) {
        return false;
    }
    unsigned any = 0;
    for (int i = 0; i < 6; ++i) {
        mac[i] = static_cast<uint8_t>(v[i]);
        any |= v[i];
    }
    return any != 0;
}

// The RTC shows the host's UTC time, as a battery-backed clock would.
void startRtc()
{
    hostRtcSetClock(ModelClock::Monotonic);
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    hostRtcStartAt(HostRtcTime{static_cast<uint32_t>(utc.tm_year + TM_BASE_YEAR) % YEARS_PER_CENTURY,
                               static_cast<uint32_t>(utc.tm_mon + 1),
                               static_cast<uint32_t>(utc.tm_mday),
                               static_cast<uint32_t>(utc.tm_hour),
                               static_cast<uint32_t>(utc.tm_min),
                               static_cast<uint32_t>(utc.tm_sec)});
}
}  // namespace

void hostPeripheralsAttach()
{
    if (!hostUartAttachAll()) {
        std::fprintf(stderr, "zok2gw: a UART could not be attached\n");
        std::exit(EXIT_ATTACH_FAILED);
    }
    hostWdtStartWatcher(hostBoardConfig().watchdogExits);
    startRtc();
    for (uint32_t i = 0; i < 2; ++i) {
        uint8_t mac[6];
        if (linuxMac(hostBoardConfig().eth[i], mac)) {
            hostCtrlSetMac(i, mac);
        }
    }
    hostNetAttach();
    hostAddShutdownHook(hostNetStop);  // addresses the board added go with it
    std::fprintf(stderr, "zok2gw: watchdog expiry %s\n",
                 hostBoardConfig().watchdogExits ? "exits the process" : "restarts the process");
}
