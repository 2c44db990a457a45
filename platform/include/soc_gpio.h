// SoC GPIO library: the calls the GPIO driver makes, each on the register
// base address of one GPIO module. Pin numbers are 0 to 31 within a module.
#pragma once

#include <cstdint>

// Pin direction as the direction call takes it.
constexpr uint32_t GPIO_DIR_OUTPUT = 0;
constexpr uint32_t GPIO_DIR_INPUT = 1;

// Switches the module's clock on and makes its registers usable.
void GPIOModuleEnable(uint32_t baseAddr);
void GPIODirModeSet(uint32_t baseAddr, uint32_t pinNumber, uint32_t pinDirection);
// Drives an output pin to the level (0 low, non-zero high).
void GPIOPinWrite(uint32_t baseAddr, uint32_t pinNumber, uint32_t pinValue);
// Level an output pin is being driven to: 0 or non-zero.
uint32_t GPIOPinOutValueRead(uint32_t baseAddr, uint32_t pinNumber);
// Level seen at the pin: 0 or 1.
uint32_t GPIOPinRead2(uint32_t baseAddr, uint32_t pinNumber);
