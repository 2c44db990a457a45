// Test hooks of the GPIO model: pin levels and directions of the six GPIO
// modules, as a test or the runner sees them. Ports are numbered 1 to 6 as in
// the firmware's pin words (port n is module n - 1). A base address, port or
// pin of no GPIO module is a bus fault.
#pragma once

#include <cstdint>

// Every module back to its power-on state: clock off, all pins inputs, low.
void hostGpioReset();
// Level at the pin: the driven level for an output, the injected one for an input.
uint32_t hostGpioLevel(uint32_t port, uint32_t pin);
bool hostGpioIsOutput(uint32_t port, uint32_t pin);
// Level seen on an input pin, as if an outside circuit drove it.
void hostGpioSetInput(uint32_t port, uint32_t pin, uint32_t level);
// How often the module was enabled since the reset.
uint32_t hostGpioEnableCount(uint32_t port);
// Level changes seen on a pin while it was an output (a pin that becomes an
// output at its initial level shows none).
uint32_t hostGpioChanges(uint32_t port, uint32_t pin);
// Accesses to a module whose clock was never enabled (a fault on the SoC).
uint32_t hostGpioUnclockedAccesses();
