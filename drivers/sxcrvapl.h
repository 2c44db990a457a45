// Serial transceiver: one two-channel multiprotocol line transceiver whose
// line standards are chosen together by three mode pins (M0, M1, M2) on GPIO
// outputs. Created by the UART driver on first use of a device and called
// when a UART opens (start-up or configuration, one task at a time). Owns the
// three pins; which UART sits on which device and channel is the UART
// driver's table.
#pragma once

#include <cstdint>

#include "gpiodrvapl.h"

constexpr uint32_t NUM_OF_SXCRVS = 2;
constexpr uint32_t NUM_OF_MODES = 8;
constexpr uint32_t IN_OFF_MODE = 0;

constexpr uint32_t UART_STANDARD_NONE = 0;
constexpr uint32_t UART_STANDARD_RS232 = 1;
constexpr uint32_t UART_STANDARD_RS485 = 2;
constexpr uint32_t UART_STANDARD_RS422 = 3;

struct SXCRV_HWATTRS_T {
    uint32_t gpioSel0;  // pin word of M0
    uint32_t gpioSel1;  // pin word of M1
    uint32_t gpioSel2;  // pin word of M2
};

struct SXCRV_MODE_T {
    uint32_t ch0;   // standard of channel 0 in this mode, UART_STANDARD_NONE when unused
    uint32_t ch1;   // standard of channel 1
    uint32_t sel0;  // level of M0: 1 high, 0 low
    uint32_t sel1;  // level of M1
    uint32_t sel2;  // level of M2
};

class SerialTransceiver {
public:
    // Device 0 or 1 (else fatal, invalid argument); starts in the off mode.
    explicit SerialTransceiver(uint32_t device);
    // Mode 0..7 (else fatal, invalid argument); drives M0, M1, M2 in order.
    void SetMode(uint32_t mode);
    // Puts channel 0 or 1 into `standard`, keeping the other channel's
    // standard: the first mode offering both. Another channel is fatal
    // (invalid argument); a pair no mode offers is fatal (transceiver config).
    void SetStandard(uint32_t channel, uint32_t standard);
    uint32_t GetMode() const { return modeIndex; }
    // True when some mode gives channel 0 or 1 this standard, so that a
    // request from outside can be refused before SetStandard would stop.
    static bool ChannelOffers(uint32_t channel, uint32_t standard);

private:
    const uint32_t deviceIndex;
    uint32_t modeIndex;
    GpioDrv modeSel0;
    GpioDrv modeSel1;
    GpioDrv modeSel2;
};
