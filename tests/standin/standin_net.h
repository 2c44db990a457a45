// An in-memory IP gate for the routing tests, linked in place of the real
// one: the same class, no address given to any interface, ports that are
// never opened on a socket, and hooks that show what was done.
#pragma once

#include <cstdint>

#include "bdapl.h"

namespace standin {

// Called with every BD sent through a gate's port (the caller keeps it).
void onSend(void (*hook)(uint32_t ethIndex, const BD* bd));
// Called once, from inside the next gate's construction: the configuration
// is then half done (validated, nothing stored yet).
void onNextGate(void (*hook)());

}  // namespace standin
