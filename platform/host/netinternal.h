// Shared internals of the host network stack model (net_stack.cpp,
// net_emac.cpp) and its Linux sides (net_linux.cpp: sockets and the I/O
// thread; net_iface.cpp: interface facts and counters). Plain types only, so
// that neither side sees the other's headers. Errors are the stack's codes.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

namespace hostnet {

// One Linux socket watched by the I/O thread. `ready` is set by the thread
// when data arrived and cleared by the reader before it reads, so that no
// arrival between the read and the clear is missed (edge-triggered).
struct WatchedFd {
    int fd = -1;
    std::atomic<bool> ready{false};
    // Reads take only datagrams that arrived on this interface (0: any) and
    // drop the others, which the board's interface would never have seen.
    int ifIndex = 0;
    // Reads drop datagrams from this address (0: none): an interface never
    // hears its own broadcasts, which Linux loops back to local sockets.
    uint32_t ownAddr = 0;
    uint32_t group = 0;  // the multicast group it was made for (0: none)
    uint32_t bcast = 0;  // the broadcast address it was made for (0: none)
};

// Sockets. Each returns 0 or the stack's error code.
int32_t udpSocket(WatchedFd& w);
int32_t bindAddr(const WatchedFd& w, uint32_t addr, uint16_t port);
int32_t setOption(const WatchedFd& w, int32_t level, int32_t option, const void* value,
                  int32_t len);
// A socket of its own for one multicast group on one port, joined on the
// interface that holds `ifAddr`: the port's own socket is bound to a unicast
// address, which Linux does not match against a group.
int32_t groupSocket(WatchedFd& w, uint32_t group, uint16_t port, uint32_t ifAddr, int32_t rcvBuf);
// One more join of `group` on the interface of `ifAddr` by a group socket:
// Linux refuses a second join on the same interface, as the board's stack does.
int32_t joinGroup(const WatchedFd& w, uint32_t group, uint32_t ifAddr);
// A socket of its own for the broadcasts to `bcast` on `port` that arrive on
// interface `ifName` from any address but `ownAddr`: Linux does not match a
// broadcast against a socket bound to a unicast address. Bound to the device
// where Linux allows it, and filtered by the arrival interface on every read
// in any case.
int32_t broadcastSocket(WatchedFd& w, uint32_t bcast, uint16_t port, const std::string& ifName,
                        uint32_t ownAddr);
int32_t sendTo(const WatchedFd& w, const void* data, uint32_t len, uint32_t addr, uint16_t port);
// Reads one datagram if `w` is marked; NDK_EWOULDBLOCK when none is waiting
// (no system call when the socket is not marked).
int32_t recvFrom(WatchedFd& w, uint8_t* buf, uint32_t cap, uint32_t& len, uint32_t& addr,
                 uint16_t& port);
void closeFd(WatchedFd& w);
// Receive system calls made so far (tests: an empty poll makes none).
uint64_t recvCallCount();
// Starts watching (and starts the I/O thread on first use).
void watch(WatchedFd& w);
// Dotted text of a network-order address, for messages.
std::string addrText(uint32_t addr);

// Facts of a Linux interface.
struct IfInfo {
    bool exists = false;
    uint32_t mtu = 0;
    bool linkUp = false;
    uint32_t speed = 0;  // Mbit/s; 0 unknown (virtual interfaces)
    bool fullDuplex = false;
    bool autoNeg = false;
};
IfInfo ifInfo(const std::string& name);
bool ifExists(const std::string& name);
// The interface's counters under /sys/class/net/NAME/statistics, by file name.
std::map<std::string, uint64_t> ifCounters(const std::string& name);
// The namespace's protocol counters of /proc/net/snmp, as "Ip.InReceives".
std::map<std::string, uint64_t> snmpCounters();

// Ethernet driver model (net_emac.cpp): back to the driver's defaults; whether
// the stack may register switch port `port` (its initialiser ran and the
// driver configuration has the port); the PHY control register of a link.
void emacReset();
bool emacPortRegistrable(uint32_t port);
uint16_t bmcrOf(const IfInfo& info);

}  // namespace hostnet
