// What the stand-in networking modules recorded, for the routing tests.
#pragma once

#include <cstdint>

#include "bdapl.h"

namespace standin {

// Called with every BD an IP gate's port sends (the caller keeps the BD);
// null for none.
void onSend(void (*hook)(uint32_t ethIndex, const BD* bd));
// Interface k's MAC address: 02 00 5A 4B 32 0k.
void macOf(uint32_t ethIndex, uint8_t mac[6]);
// Called once, from inside the next MAC address read (the point where the
// network stack may make the caller wait); null for none.
void onNextMacRead(void (*hook)());

}  // namespace standin
