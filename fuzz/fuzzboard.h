// The board as the configuration and console fuzz targets need it: the
// peripheral models, console, both host links and the router made once per
// process after fuzz::SetUpOnce, with the in-memory IP gate in place of the
// real one (any address works and no socket is opened). Also the two
// configurations a host sends, and the router's configuration path.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "bpposapl.h"
#include "configapl.h"
#include "fuzzharness.h"
#include "routerapl.h"

namespace fuzz {

// Once per process: models, Ethernet on loopback, console, host links and
// router, all on the process heap. The simulated heap is saved afterwards,
// so that RestoreBoard can give back whatever a run took from it.
void StartBoard();
// Start of a run of the configuration target: both groups unconfigured, and
// the tasks and simulated heap blocks that earlier runs' gates took freed.
void RestoreBoard();
// A BD holding `len` bytes of `msg` (the rest of it `stale`) from `source`
// for port `port` (network order), posted to the router mailbox; dropped
// when the mailbox is full.
void PostMessage(SOURCES_E source, uint16_t port, const uint8_t* msg, uint32_t len, uint8_t stale);
// The router's configuration loop over what the mailbox holds; the gates it
// creates take their storage from the simulated heap.
void RouteConfig();
// Both groups configured as a host would, the gates on the process heap:
// group 0 as the worked example with
// line 2 on RS-232, group 1 with one RS-485 RAWoS line.
void ConfigureBoth();
// Everything the console queued so far, taken out as its UART would.
void DrainConsole();

// The router's and both host links' counters only grow, and the pool keeps
// every BD that is not in the mailbox.
class BoardWatch {
public:
    void Check();
    // After the console reset counters.
    void Forget();

private:
    CounterWatch<ROUTER_STATS_T> router{1u << 0};  // word 0: the router's state
    CounterWatch<BPPOS_STATS_T> link[NUM_OF_SPIGATES] = {CounterWatch<BPPOS_STATS_T>(1u << 0),
                                                         CounterWatch<BPPOS_STATS_T>(1u << 0)};
};

}  // namespace fuzz
