// The router: the one task ("router", priority 2) that reads the router
// mailbox. Until both groups are configured it handles only configuration
// traffic between the host and the board; then, for good, it forwards each
// BD by its source and destination port to a host link, a serial line or an
// Ethernet port, and returns the BD to the pool. Test points 4 and 5 show
// the activity of each phase. The counters are written only by this task
// and read and reset by the console task without a lock.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "iprotocol.h"
#include "kernel.h"

// Serial-line ports and the address stamped on serial-line messages, as a
// BD holds them (network byte order).
constexpr uint16_t PORT_SCI1 = 0xDA07;       // port 2010: a group's first line
constexpr uint16_t PORT_SCI2 = 0xDB07;       // port 2011: its second line
constexpr uint32_t IPADDR_SCI = 0x0100500A;  // 10.80.0.1

struct ROUTER_STATS_T {
    uint32_t routerState;                // 0 configuration loop, 1 steady loop
    uint32_t numOfMsgsToRoute;           // BDs taken from the mailbox, both loops
    uint32_t numOfMsgFormatErrors;       // configuration messages failing the format check
    uint32_t numOfUnknownUdpPortErrors;  // host messages for a port the interface lacks
    uint32_t numOfSendRefusedErrors;     // BDs the destination's Send or port refused
};

class Router {
public:
    // Main task, once, after Config::Init: test points low, counters 0, and
    // the router task; a task that cannot be created is fatal.
    static void Init();
    static void GetStats(ROUTER_STATS_T& stats);
    // Clears the counters; the state stays.
    static void ResetStats();
    // One pass of the configuration loop: each BD waiting in the mailbox is
    // handled as the loop handles it and returned to the pool, until the
    // mailbox is empty or both groups are configured. The task runs the
    // loop; a test or fuzz harness runs passes directly.
    static void ConfigPass();

private:
    static void WorkerTask(UArg arg0, UArg arg1);
    static void ConfigLoop();
    static void ConfigStep(BD* bd);
    [[noreturn]] static void SteadyLoop();
    static void ProcessZokMessage(BD* bd);
    static void Route(BD* bd);
    static void SendTo(IProtocol* protocol, BD* bd);
    static void SendToUdp(uint16_t ipGate, BD* bd);
};
