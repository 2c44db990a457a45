// GPIO model: the SoC GPIO library calls on six modules of 32 pins held in
// memory. Firmware calls come from the context that holds the CPU; tests read
// through the hooks of hostgpio.h from their own thread, hence the lock.
#include <mutex>

#include "hostgpio.h"
#include "hostkernel.h"
#include "soc_gpio.h"

namespace {

constexpr uint32_t NUM_MODULES = SOC_NUM_GPIO_MODULES;
constexpr uint32_t NUM_PINS = SOC_GPIO_PINS_PER_MODULE;
constexpr uint32_t ALL_INPUTS = 0xFFFFFFFFu;  // output-enable register at power-on
constexpr uint32_t BASES[NUM_MODULES] = {SOC_GPIO0_BASE, SOC_GPIO1_BASE, SOC_GPIO2_BASE,
                                         SOC_GPIO3_BASE, SOC_GPIO4_BASE, SOC_GPIO5_BASE};

struct Module {
    bool clocked = false;
    uint32_t enableCount = 0;
    uint32_t inputMask = ALL_INPUTS;  // bit set: the pin is an input
    uint32_t dataOut = 0;
    uint32_t dataIn = 0;  // levels driven from outside onto inputs
    uint32_t changes[NUM_PINS] = {};
};

std::mutex gLock;
Module gModules[NUM_MODULES];
uint32_t gUnclocked = 0;

// Module of a register base; any other address is a bus fault.
Module* moduleAt(uint32_t baseAddr)
{
    for (uint32_t i = 0; i < NUM_MODULES; ++i) {
        if (BASES[i] == baseAddr) {
            return &gModules[i];
        }
    }
    hostBusFault("GPIO call at 0x%08X: no GPIO module there", baseAddr);
}

// The module if it may be accessed; counts accesses to an unclocked module.
Module* usable(uint32_t baseAddr, uint32_t pin)
{
    Module* m = moduleAt(baseAddr);
    if (pin >= NUM_PINS) {
        hostBusFault("GPIO pin %u at 0x%08X does not exist (0 to %u)", pin, baseAddr, NUM_PINS - 1);
    }
    if (!m->clocked) {
        ++gUnclocked;
        return nullptr;
    }
    return m;
}

// Test hooks name a pin by port (1 to 6) and pin; others do not exist.
Module* modulePort(uint32_t port, uint32_t pin)
{
    if (port < 1 || port > NUM_MODULES || pin >= NUM_PINS) {
        hostBusFault("GPIO port %u pin %u does not exist", port, pin);
    }
    return &gModules[port - 1];
}

uint32_t levelOf(const Module& m, uint32_t pin)
{
    const uint32_t bit = 1u << pin;
    return ((m.inputMask & bit) != 0 ? m.dataIn & bit : m.dataOut & bit) != 0 ? 1 : 0;
}

}  // namespace

void GPIOModuleEnable(uint32_t baseAddr)
{
    std::lock_guard<std::mutex> lock(gLock);
    Module* m = moduleAt(baseAddr);
    m->clocked = true;
    ++m->enableCount;
}

void GPIODirModeSet(uint32_t baseAddr, uint32_t pinNumber, uint32_t pinDirection)
{
    std::lock_guard<std::mutex> lock(gLock);
    Module* m = usable(baseAddr, pinNumber);
    if (m == nullptr) {
        return;
    }
    if (pinDirection == GPIO_DIR_INPUT) {
        m->inputMask |= 1u << pinNumber;
    } else {
        m->inputMask &= ~(1u << pinNumber);
    }
}

void GPIOPinWrite(uint32_t baseAddr, uint32_t pinNumber, uint32_t pinValue)
{
    std::lock_guard<std::mutex> lock(gLock);
    Module* m = usable(baseAddr, pinNumber);
    if (m == nullptr) {
        return;
    }
    const uint32_t before = levelOf(*m, pinNumber);
    if (pinValue != 0) {
        m->dataOut |= 1u << pinNumber;
    } else {
        m->dataOut &= ~(1u << pinNumber);
    }
    // Only an output shows the change on the pin.
    if ((m->inputMask & (1u << pinNumber)) == 0 && levelOf(*m, pinNumber) != before) {
        ++m->changes[pinNumber];
    }
}

uint32_t GPIOPinOutValueRead(uint32_t baseAddr, uint32_t pinNumber)
{
    std::lock_guard<std::mutex> lock(gLock);
    Module* m = usable(baseAddr, pinNumber);
    return m != nullptr ? (m->dataOut >> pinNumber) & 1u : 0;
}

uint32_t GPIOPinRead2(uint32_t baseAddr, uint32_t pinNumber)
{
    std::lock_guard<std::mutex> lock(gLock);
    Module* m = usable(baseAddr, pinNumber);
    return m != nullptr ? levelOf(*m, pinNumber) : 0;
}

void hostGpioReset()
{
    std::lock_guard<std::mutex> lock(gLock);
    for (Module& m : gModules) {
        m = Module{};
    }
    gUnclocked = 0;
}

uint32_t hostGpioLevel(uint32_t port, uint32_t pin)
{
    std::lock_guard<std::mutex> lock(gLock);
    return levelOf(*modulePort(port, pin), pin);
}

bool hostGpioIsOutput(uint32_t port, uint32_t pin)
{
    std::lock_guard<std::mutex> lock(gLock);
    return (modulePort(port, pin)->inputMask & (1u << pin)) == 0;
}

void hostGpioSetInput(uint32_t port, uint32_t pin, uint32_t level)
{
    std::lock_guard<std::mutex> lock(gLock);
    Module* m = modulePort(port, pin);
    if (level != 0) {
        m->dataIn |= 1u << pin;
    } else {
        m->dataIn &= ~(1u << pin);
    }
}

uint32_t hostGpioEnableCount(uint32_t port)
{
    std::lock_guard<std::mutex> lock(gLock);
    return modulePort(port, 0)->enableCount;
}

uint32_t hostGpioChanges(uint32_t port, uint32_t pin)
{
    std::lock_guard<std::mutex> lock(gLock);
    return modulePort(port, pin)->changes[pin];
}

uint32_t hostGpioUnclockedAccesses()
{
    std::lock_guard<std::mutex> lock(gLock);
    return gUnclocked;
}
