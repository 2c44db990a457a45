// The board's TCP/IP stack as the firmware uses it: datagram sockets with a
// zero-copy receive, per-task descriptor sessions, the configuration store
// (addresses and routes), interface queries and the protocol counters.
// Names follow the stack; signatures are ours and 32-bit clean. Constants
// carry an NDK_ prefix where a host's socket headers already use the plain
// name. Addresses and ports are in network byte order everywhere.
// Every call is made from a task that has opened its descriptor session.
#pragma once

#include <cstdint>

#include "kernel.h"

// Socket calls' constants (the stack's values).
constexpr int32_t NDK_AF_INET = 2;
constexpr int32_t NDK_SOCK_DGRAM = 2;
constexpr int32_t NDK_IPPROTO_IP = 0;
constexpr int32_t NDK_IPPROTO_UDP = 17;
constexpr int32_t NDK_SOL_SOCKET = 0xFFFF;
constexpr int32_t NDK_SO_BROADCAST = 0x0020;
constexpr int32_t NDK_SO_SNDBUF = 0x1001;
constexpr int32_t NDK_SO_RCVBUF = 0x1002;
constexpr int32_t NDK_SO_BLOCKING = 0x100B;
constexpr int32_t NDK_IP_ADD_MEMBERSHIP = 5;
constexpr int32_t NDK_MSG_DONTWAIT = 0x0008;
constexpr uint32_t NDK_INET_ADDRSTRLEN = 16;

// The stack's error codes, as fdError returns them.
constexpr int32_t NDK_EBADF = 9;
constexpr int32_t NDK_ENOMEM = 12;
constexpr int32_t NDK_EACCES = 13;
constexpr int32_t NDK_EINVAL = 22;
constexpr int32_t NDK_EMFILE = 24;
constexpr int32_t NDK_EWOULDBLOCK = 35;  // nothing waiting on a non-blocking socket
constexpr int32_t NDK_EMSGSIZE = 40;     // message too long
constexpr int32_t NDK_ENOPROTOOPT = 42;
constexpr int32_t NDK_EOPNOTSUPP = 45;
constexpr int32_t NDK_EAFNOSUPPORT = 47;
constexpr int32_t NDK_EADDRINUSE = 48;
constexpr int32_t NDK_EADDRNOTAVAIL = 49;
constexpr int32_t NDK_ENETUNREACH = 51;
constexpr int32_t NDK_ENOBUFS = 55;
constexpr int32_t NDK_ECONNREFUSED = 61;
constexpr int32_t NDK_EHOSTUNREACH = 65;

namespace ndk {
// 16 bytes, as the stack lays it out.
struct sockaddr_in {
    uint16_t sin_family;
    uint16_t sin_port;  // network byte order
    uint32_t sin_addr;  // network byte order
    uint8_t sin_zero[8];
};
// 8 bytes: the group and the local address of the interface that joins.
struct ip_mreq {
    uint32_t imr_multiaddr;
    uint32_t imr_interface;
};
}  // namespace ndk

struct NetSocket;
using SOCKET = NetSocket*;
// What NDK_socket returns on failure.
inline SOCKET const NDK_INVALID_SOCKET = reinterpret_cast<SOCKET>(~static_cast<uintptr_t>(0));
struct NetPacket;
using NDK_PACKET = NetPacket*;

// Descriptor sessions: a task opens its session before its first socket call.
// 1 on success, 0 on failure.
int32_t fdOpenSession(ti_sysbios_knl_Task_Handle task);
void fdCloseSession(ti_sysbios_knl_Task_Handle task);
// Take and release the calling task's reference to a socket; -1 on failure.
int32_t fdShare(SOCKET s);
int32_t fdClose(SOCKET s);
// The stack's error code of the calling task's last failed call.
int32_t fdError();

SOCKET NDK_socket(int32_t domain, int32_t type, int32_t protocol);
// 0 on success, -1 on failure (fdError says why).
int32_t NDK_bind(SOCKET s, const ndk::sockaddr_in* addr, int32_t addrLen);
int32_t NDK_setsockopt(SOCKET s, int32_t level, int32_t option, const void* value,
                       int32_t valueLen);
// Bytes sent, or -1.
int32_t NDK_sendto(SOCKET s, const void* data, int32_t len, int32_t flags,
                   const ndk::sockaddr_in* to, int32_t toLen);
// Zero-copy receive of one datagram: its length with *data pointing into the
// stack's packet buffer, to be released with NDK_recvncfree(*packet); 0 for an
// empty datagram (nothing to release); -1 on failure, fdError NDK_EWOULDBLOCK
// when nothing is waiting.
int32_t NDK_recvncfrom(SOCKET s, void** data, int32_t flags, ndk::sockaddr_in* from,
                       int32_t* fromLen, NDK_PACKET* packet);
void NDK_recvncfree(NDK_PACKET packet);
// Dotted text of an address into a buffer of at least NDK_INET_ADDRSTRLEN;
// null when it does not fit.
const char* NDK_inet_ntop(int32_t af, const uint32_t* addr, char* buf, uint32_t size);

// Configuration store. Handle 0 is the stack's own configuration.
using CFG_HANDLE = void*;
struct CfgEntry;
using CFG_ENTRY = CfgEntry*;
constexpr uint32_t CFGTAG_IPNET = 4;  // an address of an interface (CI_IPNET)
constexpr uint32_t CFGTAG_ROUTE = 5;  // a route (CI_ROUTE)
constexpr uint32_t CFG_DOMAIN_MAX = 64;

struct CI_IPNET {      // 80 bytes
    uint32_t NetType;  // 0
    uint32_t IPAddr;
    uint32_t IPMask;
    uint32_t hBind;               // 0
    char Domain[CFG_DOMAIN_MAX];  // NUL-terminated
};
struct CI_ROUTE {  // 16 bytes
    uint32_t IPDestAddr;
    uint32_t IPDestMask;
    uint32_t IPGateAddr;
    uint32_t hRoute;  // 0
};

// Adds an entry for interface `item` (a configuration index); a result from
// -99 to -1 is a failure, any other is success. `entry` may be null.
int32_t CfgAddEntry(CFG_HANDLE cfg, uint32_t tag, uint32_t item, uint32_t mode, int32_t size,
                    const void* data, CFG_ENTRY* entry);
// The index-th (from 1) entry of that tag and item: 1 when found, 0 when
// there is none, negative on failure.
int32_t CfgGetEntry(CFG_HANDLE cfg, uint32_t tag, uint32_t item, uint32_t index, CFG_ENTRY* entry);
// Negative on failure.
int32_t CfgRemoveEntry(CFG_HANDLE cfg, CFG_ENTRY entry);

// Interface queries.
constexpr uint32_t NIMU_GET_NUM_NIMU_OBJ = 101;  // uint16: interfaces known
constexpr uint32_t NIMU_GET_ALL_INDEX = 102;     // uint16 per interface: its configuration index
constexpr uint32_t NIMU_GET_DEVICE_MTU = 111;    // uint16: MTU of req->index
constexpr uint32_t NIMU_GET_DEVICE_NAME = 117;   // text: name of req->index
constexpr uint32_t NIMU_NAME_MAX = 20;
struct NIMU_IF_REQ {  // 24 bytes
    uint32_t index;   // configuration index, from 1
    char name[NIMU_NAME_MAX];
};
// 0 on success, negative on failure.
int32_t NIMUIoctl(uint32_t cmd, const NIMU_IF_REQ* req, void* buffer, uint32_t size);

// The stack's small-block allocator; null when out of memory.
void* mmAlloc(uint32_t size);
void mmFree(void* block);

// Memory report of the stack: what it holds now, in a few lines printed
// through `print`. Call mode MMCHECK_MAP is the summary.
constexpr uint32_t MMCHECK_MAP = 0;
void _mmCheck(uint32_t callMode, int (*print)(const char* format, ...));

// Protocol counters of the stack since start.
struct IPSTATS {
    uint32_t Total, Odropped, Badsum, Badhlen, Badlen, Badoptions, Badvers, Forward;
    uint32_t Noproto, Delivered, Cantforward, CantforwardBA, Expired, Redirectsent;
    uint32_t Localout, Localnoroute, CacheHit, CacheMiss, Fragments, Fragdropped;
    uint32_t Fragtimeout, Reassembled, Ofragments, Fragmented, Cantfrag, Filtered;
};
constexpr uint32_t ICMP_NUM_TYPES = 19;
struct ICMPSTATS {
    uint32_t ICMPInErrors;
    uint32_t ICMPOutErrors;
    uint32_t ICMPIn[ICMP_NUM_TYPES];   // received, by message type
    uint32_t ICMPOut[ICMP_NUM_TYPES];  // sent, by message type
};
struct UDPSTATS {
    uint32_t RcvTotal, RcvShort, RcvBadLen, RcvBadSum, RcvFull, RcvNoPort, RcvNoPortB;
    uint32_t SndTotal, SndNoPacket;
};
void NDK_getIpStats(IPSTATS* stats);
void NDK_getIcmpStats(ICMPSTATS* stats);
void NDK_getUdpStats(UDPSTATS* stats);
