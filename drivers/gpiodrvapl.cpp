// GPIO driver: pin configuration and level control through the SoC GPIO
// library. Runs in the task that owns each pin; see gpiodrvapl.h.
#include "gpiodrvapl.h"

#include "exmapl.h"
#include "kernel.h"
#include "soc_gpio.h"

static const char _MODULE_[] = "gpiodrvapl.cpp";

// Indexed by port number - 1.
static const GPIO_HWATTRS_T mGpioHwAttrs[NUM_OF_PORTS] = {
    {SOC_GPIO0_BASE, SOC_GPIO0_INT1, SOC_GPIO0_INT2, 0, 0},
    {SOC_GPIO1_BASE, SOC_GPIO1_INT1, SOC_GPIO1_INT2, 0, 0},
    {SOC_GPIO2_BASE, SOC_GPIO2_INT1, SOC_GPIO2_INT2, 0, 0},
    {SOC_GPIO3_BASE, SOC_GPIO3_INT1, SOC_GPIO3_INT2, 0, 0},
    {SOC_GPIO4_BASE, SOC_GPIO4_INT1, SOC_GPIO4_INT2, 0, 0},
    {SOC_GPIO5_BASE, SOC_GPIO5_INT1, SOC_GPIO5_INT2, 0, 0},
};

// Written only during start-up of the pins' users, one after the other.
static GPIO_STATES_E mGpioState[NUM_OF_PORTS] = {GPIO_CLOSED, GPIO_CLOSED, GPIO_CLOSED,
                                                 GPIO_CLOSED, GPIO_CLOSED, GPIO_CLOSED};

#ifdef ZOK2_TEST_HOOKS
void GpioDrv::Restart()
{
    for (uint32_t i = 0; i < NUM_OF_PORTS; ++i) {
        mGpioState[i] = GPIO_CLOSED;
    }
}
#endif

void GpioDrv::Config(uint32_t flags)
{
    pinNumber = (flags & GPIO_CFG_PIN_NUM_MASK) >> GPIO_CFG_PIN_NUM_SHIFT;
    const uint32_t port = (flags & GPIO_CFG_PORT_NUM_MASK) >> GPIO_CFG_PORT_NUM_SHIFT;
    if (pinNumber >= NUM_OF_PINS_PORT || port < 1 || port > NUM_OF_PORTS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    baseAddr = mGpioHwAttrs[port - 1].baseAddr;
    if (mGpioState[port - 1] == GPIO_CLOSED) {
        GPIOModuleEnable(baseAddr);
        mGpioState[port - 1] = GPIO_OPENED;
    }
    operationFlags = flags & ~(GPIO_CFG_PIN_NUM_MASK | GPIO_CFG_PORT_NUM_MASK);

    const uint32_t direction =
        (operationFlags & GPIO_CFG_INPUT) != 0 ? GPIO_DIR_INPUT : GPIO_DIR_OUTPUT;
    const uint32_t key = ti_sysbios_hal_Hwi_disable();
    if (direction == GPIO_DIR_OUTPUT) {
        // Level first, so the pin never shows a glitch of the wrong level.
        GPIOPinWrite(baseAddr, pinNumber, (operationFlags >> GPIO_CFG_OUT_BIT) & 1u);
    }
    GPIODirModeSet(baseAddr, pinNumber, direction);
    ti_sysbios_hal_Hwi_restore(key);
}

uint32_t GpioDrv::Read() { return GPIOPinRead2(baseAddr, pinNumber); }

void GpioDrv::Set() { GPIOPinWrite(baseAddr, pinNumber, GPIO_PIN_VAL_HIGH); }

void GpioDrv::Clear() { GPIOPinWrite(baseAddr, pinNumber, GPIO_PIN_VAL_LOW); }

void GpioDrv::Write(uint32_t value) { GPIOPinWrite(baseAddr, pinNumber, value); }

void GpioDrv::Toggle()
{
    const uint32_t level = GPIOPinOutValueRead(baseAddr, pinNumber);
    GPIOPinWrite(baseAddr, pinNumber, level == 0 ? GPIO_PIN_VAL_HIGH : GPIO_PIN_VAL_LOW);
}
