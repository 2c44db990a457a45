// Serial transceiver: mode selection of the two line transceivers through
// their mode pins. Runs in the task that opens a UART; see sxcrvapl.h.
#include "sxcrvapl.h"

#include "exmapl.h"

static const char _MODULE_[] = "sxcrvapl.cpp";

static const SXCRV_HWATTRS_T mSxcrvHwAttrs[NUM_OF_SXCRVS] = {
    {M0_SP336E_U8, M1_SP336E_U8, M2_SP336E_U8},
    {M0_SP336E_U9, M1_SP336E_U9, M2_SP336E_U9},
};

// Channel 0 can only be RS-232 or unused; modes 1, 2 and 5 share one pin
// setting and differ only in which channels count as in use.
static const SXCRV_MODE_T mSxcrvModes[NUM_OF_MODES] = {
    {UART_STANDARD_NONE, UART_STANDARD_NONE, 1, 1, 1},
    {UART_STANDARD_RS232, UART_STANDARD_NONE, 0, 0, 1},
    {UART_STANDARD_RS232, UART_STANDARD_RS232, 0, 0, 1},
    {UART_STANDARD_RS232, UART_STANDARD_RS485, 0, 1, 0},
    {UART_STANDARD_RS232, UART_STANDARD_RS422, 0, 1, 1},
    {UART_STANDARD_NONE, UART_STANDARD_RS232, 0, 0, 1},
    {UART_STANDARD_NONE, UART_STANDARD_RS485, 0, 1, 0},
    {UART_STANDARD_NONE, UART_STANDARD_RS422, 0, 1, 1},
};

static uint32_t checkedDevice(uint32_t device)
{
    if (device >= NUM_OF_SXCRVS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    return device;
}

static void drivePin(GpioDrv& pin, uint32_t level)
{
    if (level != 0) {
        pin.Set();
    } else {
        pin.Clear();
    }
}

SerialTransceiver::SerialTransceiver(uint32_t device)
    : deviceIndex(checkedDevice(device)), modeIndex(IN_OFF_MODE)
{
    modeSel0.Config(mSxcrvHwAttrs[deviceIndex].gpioSel0);
    modeSel1.Config(mSxcrvHwAttrs[deviceIndex].gpioSel1);
    modeSel2.Config(mSxcrvHwAttrs[deviceIndex].gpioSel2);
    SetMode(IN_OFF_MODE);
}

void SerialTransceiver::SetMode(uint32_t mode)
{
    if (mode >= NUM_OF_MODES) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    modeIndex = mode;
    drivePin(modeSel0, mSxcrvModes[mode].sel0);
    drivePin(modeSel1, mSxcrvModes[mode].sel1);
    drivePin(modeSel2, mSxcrvModes[mode].sel2);
}

void SerialTransceiver::SetStandard(uint32_t channel, uint32_t standard)
{
    uint32_t ch0 = mSxcrvModes[modeIndex].ch0;
    uint32_t ch1 = mSxcrvModes[modeIndex].ch1;
    if (channel == 0) {
        ch0 = standard;
    } else if (channel == 1) {
        ch1 = standard;
    } else {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    for (uint32_t mode = 0; mode < NUM_OF_MODES; ++mode) {
        if (mSxcrvModes[mode].ch0 == ch0 && mSxcrvModes[mode].ch1 == ch1) {
            SetMode(mode);
            return;
        }
    }
    EXM_FATAL(EC_ERROR_SXCRV_CONFIG);
}

bool SerialTransceiver::ChannelOffers(uint32_t channel, uint32_t standard)
{
    for (uint32_t mode = 0; mode < NUM_OF_MODES; ++mode) {
        const uint32_t offered = channel == 0 ? mSxcrvModes[mode].ch0 : mSxcrvModes[mode].ch1;
        if (channel <= 1 && offered == standard) {
            return true;
        }
    }
    return false;
}
