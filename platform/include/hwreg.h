// Direct register access for the peripherals the firmware programs itself
// (watchdog, real-time clock, control module). On the board these are
// volatile loads and stores; on Linux they reach the register models.
#pragma once

#include <cstdint>

uint32_t regRead32(uint32_t addr);
void regWrite32(uint32_t addr, uint32_t value);
