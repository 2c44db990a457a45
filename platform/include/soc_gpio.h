// SoC GPIO library: the calls the GPIO driver makes, each on the register
// base address of one GPIO module. Pin numbers are 0 to 31 within a module.
// Also the SoC's facts about its six GPIO modules.
#pragma once

#include <cstdint>

constexpr uint32_t SOC_NUM_GPIO_MODULES = 6;
constexpr uint32_t SOC_GPIO_PINS_PER_MODULE = 32;
constexpr uint32_t SOC_GPIO0_BASE = 0x44E07000u;
constexpr uint32_t SOC_GPIO1_BASE = 0x4804C000u;
constexpr uint32_t SOC_GPIO2_BASE = 0x481AC000u;
constexpr uint32_t SOC_GPIO3_BASE = 0x481AE000u;
constexpr uint32_t SOC_GPIO4_BASE = 0x48320000u;
constexpr uint32_t SOC_GPIO5_BASE = 0x48322000u;
// Interrupt lines of each module's two interrupt outputs.
constexpr uint32_t SOC_GPIO0_INT1 = 0x80;
constexpr uint32_t SOC_GPIO0_INT2 = 0x81;
constexpr uint32_t SOC_GPIO1_INT1 = 0x82;
constexpr uint32_t SOC_GPIO1_INT2 = 0x83;
constexpr uint32_t SOC_GPIO2_INT1 = 0x40;
constexpr uint32_t SOC_GPIO2_INT2 = 0x41;
constexpr uint32_t SOC_GPIO3_INT1 = 0x5E;
constexpr uint32_t SOC_GPIO3_INT2 = 0x5F;
constexpr uint32_t SOC_GPIO4_INT1 = 0x8A;
constexpr uint32_t SOC_GPIO4_INT2 = 0x8B;
constexpr uint32_t SOC_GPIO5_INT1 = 0xB4;
constexpr uint32_t SOC_GPIO5_INT2 = 0xB5;

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
