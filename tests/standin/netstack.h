// Stand-in for the network stack's per-task session while the networking
// modules are being written.
#pragma once

#include "kernel.h"

inline void fdOpenSession(ti_sysbios_knl_Task_Handle) {}
