// Register models: a model claims an address window; regRead32/regWrite32
// of the firmware reach it with the offset inside the window. An access at
// an address no window claims is a bus fault (hostBusFault). Both callbacks
// are required.
#pragma once

#include <cstdint>

using HostRegRead = uint32_t (*)(void* ctx, uint32_t offset);
using HostRegWrite = void (*)(void* ctx, uint32_t offset, uint32_t value);

void hostRegMap(uint32_t base, uint32_t size, HostRegRead read, HostRegWrite write, void* ctx);
void hostRegUnmapAll();
