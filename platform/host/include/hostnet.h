// Network stack and Ethernet model: Ethernet interfaces 0 and 1 are the
// Linux interfaces the board configuration names (loopback by default),
// sockets are Linux UDP sockets, address entries become addresses of those
// interfaces where this process may add them (see hostnetlink.h).
// The runner attaches and stops the model; tests reset it and read its state.
#pragma once

#include <cstdint>
#include <string>

// Reports on standard error where each interface is attached, or which one
// is missing (start-up then stops when the firmware waits for it).
void hostNetAttach();
// Clean stop: removes every address and route the board added.
void hostNetStop();
// Tests: back to power-on (no sockets, no entries, driver defaults, stack
// not started). Sockets of an earlier run stay open but unknown.
void hostNetReset();

// Tests and fuzzing: queues a datagram in memory for the socket bound to
// `localAddr`:`localPort` (network order), as if `fromAddr`:`fromPort` had
// sent it; that socket's receives take queued datagrams first, without a
// system call. False when no socket is bound there or `len` is beyond the
// largest datagram.
bool hostNetInject(uint32_t localAddr, uint16_t localPort, uint32_t fromAddr, uint16_t fromPort,
                   const uint8_t* data, uint32_t len);
// Datagrams queued by hostNetInject and not yet received, on every socket.
uint32_t hostNetInjectedPending();

struct HostNetState {
    uint32_t interfaces;    // interfaces the stack has registered
    uint32_t sockets;       // open sockets
    uint64_t recvCalls;     // receive system calls made so far
    uint32_t addrEntries;   // address entries in the configuration store
    uint32_t routeEntries;  // route entries in the configuration store
};
HostNetState hostNetState();

// Tests: the basic mode control register the PHY of switch port `port`
// shows, instead of the one built from its interface's link settings (a
// loopback reads as auto-negotiated); a negative value ends the override.
// hostNetReset ends it too.
void hostPhySetControl(uint32_t port, int32_t bmcr);
