// RTC and control-module register models (bases in soc_sys.h). The RTC block
// keeps a BCD calendar clock (seconds to years, 24- or 12-hour mode) that runs
// from the host's clock once started and takes writes only after the kick
// unlock. The control module holds the two fused MAC addresses and the
// Ethernet port interface selection; its other registers read back what was
// written. Both windows are mapped by hostPeripheralsInstall.
#pragma once

#include <cstdint>

constexpr uint32_t HOST_RTC_KICK0_VALUE = 0x83E70B13u;
constexpr uint32_t HOST_RTC_KICK1_VALUE = 0x95A4F1E0u;

// Both models back to power-on, mapped at their addresses: RTC locked and
// stopped at 2000-01-01 00:00:00 on the kernel clock, selection register 0,
// default MAC addresses (part of hostPeripheralsInstall).
void hostRtcCtrlReset();
// The RTC's calendar now, as plain numbers (year within the century).
struct HostRtcTime {
    uint32_t year, month, day, hour, minute, second;
};
HostRtcTime hostRtcNow();
// Sets the calendar and starts the clock, as a battery-backed RTC that has
// been running all along (the runner sets the host's UTC time).
void hostRtcStartAt(const HostRtcTime& time);
bool hostRtcRunning();
// Register writes refused because the module was locked.
uint32_t hostRtcLockedWrites();
// Sets the fused MAC address of Ethernet interface 0 or 1 (6 bytes).
void hostCtrlSetMac(uint32_t index, const uint8_t* mac);
