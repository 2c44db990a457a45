// Network stack model: the stack's socket, session, configuration and
// interface calls on top of Linux (net_linux.cpp, net_iface.cpp). Sockets
// live in a table checked on every call; an address entry becomes an
// address of the mapped interface through netlink when this process may
// change it, otherwise it must already be local. The stack starts on the
// first interface query, as the board's does once its task runs. Its
// memory report counts the sockets, their packet buffers (one each) and the
// small blocks handed out and not yet freed.
//
// Protocol counters from /proc/net/snmp (closest Linux counter; others 0):
//   IPSTATS  Total Ip.InReceives, Odropped Ip.OutDiscards, Badsum
//            Ip.InHdrErrors, Forward Ip.ForwDatagrams, Noproto
//            Ip.InUnknownProtos, Delivered Ip.InDelivers, Cantforward
//            Ip.InAddrErrors, Redirectsent Icmp.OutRedirects, Localout
//            Ip.OutRequests, Localnoroute Ip.OutNoRoutes, Fragments
//            Ip.ReasmReqds, Fragdropped Ip.ReasmFails, Fragtimeout
//            Ip.ReasmTimeout, Reassembled Ip.ReasmOKs, Ofragments
//            Ip.FragCreates, Fragmented Ip.FragOKs, Cantfrag Ip.FragFails,
//            Filtered Ip.InDiscards
//   ICMP     In/OutErrors Icmp.In/OutErrors; per type Icmp.In/Out<Name>
//            (0 EchoReps, 3 DestUnreachs, 4 SrcQuenchs, 5 Redirects,
//            8 Echos, 11 TimeExcds, 12 ParmProbs, 13 Timestamps,
//            14 TimestampReps, 17 AddrMasks, 18 AddrMaskReps), other types
//            IcmpMsg.In/OutTypeN
//   UDPSTATS RcvTotal Udp.InDatagrams + NoPorts + InErrors, RcvBadSum
//            Udp.InCsumErrors, RcvFull Udp.RcvbufErrors, RcvNoPort
//            Udp.NoPorts, RcvNoPortB Udp.IgnoredMulti, SndTotal
//            Udp.OutDatagrams, SndNoPacket Udp.SndbufErrors
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "ethdrv.h"
#include "hostboard.h"
#include "hostcapture.h"
#include "hostinternal.h"
#include "hostnet.h"
#include "hostnetlink.h"
#include "modelinternal.h"
#include "netinternal.h"
#include "netstack.h"

struct NetPacket {
    bool busy = false;
    uint32_t len = 0;
    uint8_t data[65536];  // the largest datagram
};

struct NetSocket {
    static constexpr uint32_t LIVE = 0x5A0C4E7Bu;
    uint32_t live = LIVE;  // cleared when the model forgets the socket
    hostnet::WatchedFd own;
    // One per joined group and per broadcast address the port hears; never
    // freed (the I/O thread may still mark them).
    std::vector<hostnet::WatchedFd*> extra;
    uint32_t localAddr = 0;
    uint16_t localPort = 0;
    bool bound = false;
    bool blocking = true;
    int32_t rcvBuf = 0;
    uint32_t nextFd = 0;  // round robin over own and extra
    NetPacket packet;
    // Datagrams queued in memory (hostNetInject), received before the socket's own.
    struct Injected {
        uint32_t addr;
        uint16_t port;
        std::vector<uint8_t> data;
    };
    std::deque<Injected> injected;
    std::atomic<uint32_t> numInjected{0};  // read without the lock on the poll path
};

struct CfgEntry {
    uint32_t tag;
    uint32_t item;
    std::vector<uint8_t> data;
};

// Resolved only when the firmware's Ethernet module is linked: the platform
// lies below the firmware and must not pull it in.
#pragma weak NIMUDeviceTable
namespace {

constexpr uint32_t NUM_IFACES = 2;
constexpr uint32_t BITS_PER_ADDR = 32;
constexpr uint32_t INADDR_BROADCAST_NET = 0xFFFFFFFFu;  // 255.255.255.255, any byte order
constexpr int32_t CFG_ERR_INVALID = -2;                 // bad tag, item or size
constexpr int32_t CFG_ERR_REFUSED = -3;                 // Linux refused the address or route
constexpr int32_t NIMU_ERR = -1;
constexpr uint32_t ICMP_TYPE_NAMES = ICMP_NUM_TYPES;
// Icmp counter names by message type; null where only IcmpMsg has it.
constexpr const char* ICMP_NAMES[ICMP_TYPE_NAMES] = {
    "EchoReps",      nullptr, nullptr, "DestUnreachs", "SrcQuenchs",  "Redirects", nullptr,
    nullptr,         "Echos", nullptr, nullptr,        "TimeExcds",   "ParmProbs", "Timestamps",
    "TimestampReps", nullptr, nullptr, "AddrMasks",    "AddrMaskReps"};
constexpr char START_DOMAIN[] = "zok2.local";
constexpr uint8_t START_MASK[4] = {255, 255, 255, 0};

std::recursive_mutex gLock;
std::set<NetSocket*>* gSockets = nullptr;
std::vector<std::unique_ptr<CfgEntry>>* gCfg = nullptr;
std::set<ti_sysbios_knl_Task_Handle>* gSessions = nullptr;
bool gStarted = false;
bool gRegistered[NUM_IFACES] = {};
bool gWarnedSession = false;
// Blocks of the small-block allocator not yet freed.
std::atomic<int32_t> gMmBlocks{0};

void ensureTables()
{
    HostScope host;
    if (gSockets == nullptr) {
        // Never destroyed: the I/O thread may outlive exit.
        gSockets = new std::set<NetSocket*>;
        gCfg = new std::vector<std::unique_ptr<CfgEntry>>;
        gSessions = new std::set<ti_sysbios_knl_Task_Handle>;
    }
}

int32_t fail(int32_t code)
{
    tlsNetError = code;
    return -1;
}

// Firmware only passes handles it was given; the mark catches stale ones
// without a lock or a lookup, so the 1 ms poll of every port stays cheap.
bool validSocket(SOCKET s)
{
    return s != nullptr && s != NDK_INVALID_SOCKET && s->live == NetSocket::LIVE;
}

bool anyMarked(const NetSocket* s)
{
    if (s->own.ready.load() || s->numInjected.load() != 0) {
        return true;
    }
    for (const hostnet::WatchedFd* w : s->extra) {
        if (w->ready.load()) {
            return true;
        }
    }
    return false;
}

// The mask as a prefix length; false when its bits are not contiguous.
bool prefixOf(uint32_t netMask, uint8_t& prefix)
{
    const uint32_t m = __builtin_bswap32(netMask);
    uint32_t n = 0;
    while (n < BITS_PER_ADDR && (m & (0x80000000u >> n)) != 0) {
        ++n;
    }
    prefix = static_cast<uint8_t>(n);
    return n == BITS_PER_ADDR || (m << n) == 0;
}

void addEntry(uint32_t tag, uint32_t item, const void* data, uint32_t size, CFG_ENTRY* out)
{
    HostScope host;
    auto e = std::make_unique<CfgEntry>();
    e->tag = tag;
    e->item = item;
    e->data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    if (out != nullptr) {
        *out = e.get();
    }
    gCfg->push_back(std::move(e));
}

// The stack's own start-up configuration: an empty address entry for the
// first interface and a default route without a gateway.
void startStack()
{
    gStarted = true;
    // The table is the application's; a program built without the Ethernet
    // module (a unit test of a lower layer) has none and registers no device.
    const NIMU_DEVICE_TABLE_ENTRY* table = NIMUDeviceTable;
    for (uint32_t i = 0; table != nullptr && i < NIMU_DEVICE_TABLE_SIZE && table[i].init != nullptr;
         ++i) {
        (void)table[i].init(nullptr);
    }
    CI_IPNET net{};
    std::memcpy(&net.IPMask, START_MASK, sizeof net.IPMask);
    std::strncpy(net.Domain, START_DOMAIN, sizeof net.Domain - 1);
    addEntry(CFGTAG_IPNET, 1, &net, sizeof net, nullptr);
    CI_ROUTE route{};
    addEntry(CFGTAG_ROUTE, 1, &route, sizeof route, nullptr);
}

// Interfaces appear once their initialiser ran and the Linux interface exists.
uint32_t registeredCount()
{
    ensureTables();
    if (!gStarted) {
        startStack();
    }
    uint32_t n = 0;
    for (uint32_t i = 0; i < NUM_IFACES; ++i) {
        if (!gRegistered[i] && hostnet::emacPortRegistrable(i) &&
            hostnet::ifExists(hostBoardConfig().eth[i])) {
            gRegistered[i] = true;
        }
        n += gRegistered[i] ? 1 : 0;
    }
    return n;
}

bool registeredIndex(uint32_t configIndex)
{
    (void)registeredCount();
    return configIndex >= 1 && configIndex <= NUM_IFACES && gRegistered[configIndex - 1];
}

// An address for interface `item`: already local, or added through netlink.
int32_t applyAddress(uint32_t item, const CI_IPNET& net)
{
    const std::string& ifname = hostBoardConfig().eth[item - 1];
    uint8_t prefix = 0;
    if (net.IPAddr == 0) {
        return 0;  // a placeholder, as the stack's own start-up entry
    }
    if (!prefixOf(net.IPMask, prefix)) {
        std::fprintf(stderr, "zok2gw: Ethernet %u (%s): mask %s is not contiguous\n", item - 1,
                     ifname.c_str(), hostnet::addrText(net.IPMask).c_str());
        return CFG_ERR_REFUSED;
    }
    if (hostNetAddressIsLocal(net.IPAddr)) {
        return 0;  // never changed: the board did not add it
    }
    std::string err;
    if (hostNetMayAdminister()) {
        if (hostNetAddAddress(ifname.c_str(), net.IPAddr, prefix, err)) {
            return 0;
        }
        std::fprintf(stderr, "zok2gw: Ethernet %u (%s): cannot add %s/%u: %s\n", item - 1,
                     ifname.c_str(), hostnet::addrText(net.IPAddr).c_str(), prefix, err.c_str());
        return CFG_ERR_REFUSED;
    }
    std::fprintf(stderr,
                 "zok2gw: Ethernet %u (%s): address %s is not local and this process may not "
                 "add it; configure an address of 127.0.0.0/8 on loopback, or run the board as "
                 "root in a network namespace of its own\n",
                 item - 1, ifname.c_str(), hostnet::addrText(net.IPAddr).c_str());
    return CFG_ERR_REFUSED;
}

// A default route changes the host's routing: only inside the board's own namespace.
int32_t applyRoute(uint32_t item, const CI_ROUTE& route)
{
    if (route.IPGateAddr == 0 || route.IPDestMask != 0 || !hostNetInOwnNamespace()) {
        return 0;
    }
    const std::string& ifname = hostBoardConfig().eth[item - 1];
    std::string err;
    if (hostNetAddDefaultRoute(ifname.c_str(), route.IPGateAddr, err)) {
        return 0;
    }
    std::fprintf(stderr, "zok2gw: Ethernet %u (%s): cannot add the default route via %s: %s\n",
                 item - 1, ifname.c_str(), hostnet::addrText(route.IPGateAddr).c_str(),
                 err.c_str());
    return CFG_ERR_REFUSED;
}

// A port bound to an interface's address also hears the broadcasts that
// arrive on that interface, to its subnet's broadcast address and to
// 255.255.255.255, as the board's stack delivers them; never the ones the
// interface sent itself. An address without an entry (a port opened outside a
// gate) hears none. A broadcast socket that Linux refuses (another program
// holds the port on every address) costs only the broadcasts: the port itself
// works, and the reason is shown once.
void openBroadcasts(NetSocket& s)
{
    const CfgEntry* entry = nullptr;
    CI_IPNET net{};
    for (const auto& e : *gCfg) {
        if (e->tag == CFGTAG_IPNET && e->data.size() == sizeof net) {
            std::memcpy(&net, e->data.data(), sizeof net);
            if (net.IPAddr == s.localAddr) {
                entry = e.get();
                break;
            }
        }
    }
    uint8_t prefix = 0;
    if (entry == nullptr || s.localAddr == 0 || !prefixOf(net.IPMask, prefix)) {
        return;
    }
    const std::string& ifname = hostBoardConfig().eth[entry->item - 1];
    uint32_t bcasts[2] = {INADDR_BROADCAST_NET, 0};
    // A /31 or /32 network has no broadcast address of its own, a /0 one
    // only the limited broadcast.
    if (prefix > 0 && prefix < BITS_PER_ADDR - 1) {
        bcasts[1] = net.IPAddr | ~net.IPMask;
    }
    static bool warned = false;
    HostScope host;
    for (uint32_t bcast : bcasts) {
        if (bcast == 0) {
            continue;
        }
        auto* w = new hostnet::WatchedFd;
        const int32_t rc = hostnet::broadcastSocket(*w, bcast, s.localPort, ifname, s.localAddr);
        if (rc != 0) {
            delete w;
            if (!warned) {
                warned = true;
                std::fprintf(stderr,
                             "zok2gw: port %u of %s (%s) will not hear broadcasts to %s: stack "
                             "error %d\n",
                             __builtin_bswap16(s.localPort), hostnet::addrText(s.localAddr).c_str(),
                             ifname.c_str(), hostnet::addrText(bcast).c_str(), rc);
            }
            continue;
        }
        hostnet::watch(*w);
        s.extra.push_back(w);
    }
}

uint32_t clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

}  // namespace

int32_t fdOpenSession(ti_sysbios_knl_Task_Handle task)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    HostScope host;
    gSessions->insert(task);
    tlsNetSession = true;
    return 1;
}

void fdCloseSession(ti_sysbios_knl_Task_Handle task)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    gSessions->erase(task);
    tlsNetSession = false;
}

int32_t fdShare(SOCKET s)
{
    if (tlsNetSession) {
        return validSocket(s) ? 0 : fail(NDK_EBADF);
    }
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    if (gSessions->count(ti_sysbios_knl_Task_self()) == 0) {
        if (!gWarnedSession) {
            gWarnedSession = true;  // a firmware fault: say so once, loudly
            std::fprintf(stderr, "zok2gw: socket used by task %s without a descriptor session\n",
                         ti_sysbios_knl_Task_name(ti_sysbios_knl_Task_self()));
        }
        return fail(NDK_EBADF);
    }
    return validSocket(s) ? 0 : fail(NDK_EBADF);
}

int32_t fdClose(SOCKET s) { return validSocket(s) ? 0 : fail(NDK_EBADF); }

int32_t fdError() { return tlsNetError; }

SOCKET NDK_socket(int32_t domain, int32_t type, int32_t protocol)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    if (domain != NDK_AF_INET || type != NDK_SOCK_DGRAM ||
        (protocol != NDK_IPPROTO_UDP && protocol != 0)) {
        tlsNetError = NDK_EAFNOSUPPORT;
        return NDK_INVALID_SOCKET;
    }
    HostScope host;
    auto* s = new NetSocket;
    const int32_t rc = hostnet::udpSocket(s->own);
    if (rc != 0) {
        delete s;
        tlsNetError = rc;
        return NDK_INVALID_SOCKET;
    }
    gSockets->insert(s);
    return s;
}

int32_t NDK_bind(SOCKET s, const ndk::sockaddr_in* addr, int32_t addrLen)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    if (!validSocket(s)) {
        return fail(NDK_EBADF);
    }
    if (addr == nullptr || addrLen < static_cast<int32_t>(sizeof *addr) ||
        addr->sin_family != NDK_AF_INET || s->bound) {
        return fail(NDK_EINVAL);
    }
    const int32_t rc = hostnet::bindAddr(s->own, addr->sin_addr, addr->sin_port);
    if (rc != 0) {
        return fail(rc);
    }
    s->bound = true;
    s->localAddr = addr->sin_addr;
    s->localPort = addr->sin_port;
    hostnet::watch(s->own);
    openBroadcasts(*s);
    return 0;
}

int32_t NDK_setsockopt(SOCKET s, int32_t level, int32_t option, const void* value, int32_t valueLen)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    if (!validSocket(s)) {
        return fail(NDK_EBADF);
    }
    if (value == nullptr) {
        return fail(NDK_EINVAL);
    }
    if (level == NDK_IPPROTO_IP && option == NDK_IP_ADD_MEMBERSHIP) {
        if (valueLen != static_cast<int32_t>(sizeof(ndk::ip_mreq)) || !s->bound) {
            return fail(NDK_EINVAL);
        }
        ndk::ip_mreq mreq;
        std::memcpy(&mreq, value, sizeof mreq);
        // The group's socket joins again: on another interface it then hears
        // both, on the same one Linux refuses the second join.
        for (const hostnet::WatchedFd* g : s->extra) {
            if (g->group == mreq.imr_multiaddr) {
                const int32_t rc = hostnet::joinGroup(*g, mreq.imr_multiaddr, mreq.imr_interface);
                return rc != 0 ? fail(rc) : 0;
            }
        }
        HostScope host;
        auto* w = new hostnet::WatchedFd;
        const int32_t rc = hostnet::groupSocket(*w, mreq.imr_multiaddr, s->localPort,
                                                mreq.imr_interface, s->rcvBuf);
        if (rc != 0) {
            delete w;
            return fail(rc);
        }
        w->group = mreq.imr_multiaddr;
        hostnet::watch(*w);
        s->extra.push_back(w);
        return 0;
    }
    if (valueLen != static_cast<int32_t>(sizeof(int32_t))) {
        return fail(NDK_EINVAL);
    }
    int32_t v = 0;
    std::memcpy(&v, value, sizeof v);
    if (level == NDK_SOL_SOCKET && option == NDK_SO_BLOCKING) {
        s->blocking = v != 0;  // Linux side is non-blocking in any case
        return 0;
    }
    const int32_t rc = hostnet::setOption(s->own, level, option, value, valueLen);
    if (rc != 0) {
        return fail(rc);
    }
    if (level == NDK_SOL_SOCKET && option == NDK_SO_RCVBUF) {
        s->rcvBuf = v;
        for (const hostnet::WatchedFd* w : s->extra) {
            (void)hostnet::setOption(*w, level, option, value, valueLen);  // best effort
        }
    }
    return 0;
}

namespace {

// The capture's view of a datagram: on the interface whose address entry
// holds the board's end, addresses and ports in host order. `heard`: the
// destination of one received by a group's or a broadcast's socket (0: the
// socket's own address).
void captureDatagram(const NetSocket& s, bool toBoard, uint32_t peerAddr, uint16_t peerPort,
                     const void* data, uint32_t len, uint32_t heard = 0)
{
    if (!hostCaptureOn()) {
        return;
    }
    uint32_t eth = 0;
    for (const auto& e : *gCfg) {
        CI_IPNET net;
        if (e->tag == CFGTAG_IPNET && e->data.size() == sizeof net) {
            std::memcpy(&net, e->data.data(), sizeof net);
            if (net.IPAddr == s.localAddr) {
                eth = e->item - 1;
            }
        }
    }
    const uint32_t own = __builtin_bswap32(s.localAddr);
    const uint32_t peer = __builtin_bswap32(peerAddr);
    const uint64_t now = modelNowNs(ModelClock::Kernel);
    const auto* bytes = static_cast<const uint8_t*>(data);
    if (toBoard) {
        const uint32_t dest = heard != 0 ? __builtin_bswap32(heard) : own;
        hostCaptureDatagram(eth, true, peer, __builtin_bswap16(peerPort), dest,
                            __builtin_bswap16(s.localPort), bytes, len, now);
    } else {
        hostCaptureDatagram(eth, false, own, __builtin_bswap16(s.localPort), peer,
                            __builtin_bswap16(peerPort), bytes, len, now);
    }
}

}  // namespace

int32_t NDK_sendto(SOCKET s, const void* data, int32_t len, int32_t flags,
                   const ndk::sockaddr_in* to, int32_t toLen)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    (void)flags;  // never blocks: a full send buffer is ENOBUFS, as on the board
    if (!validSocket(s)) {
        return fail(NDK_EBADF);
    }
    if (to == nullptr || toLen < static_cast<int32_t>(sizeof *to) || len < 0 ||
        (data == nullptr && len > 0)) {
        return fail(NDK_EINVAL);
    }
    const int32_t rc =
        hostnet::sendTo(s->own, data, static_cast<uint32_t>(len), to->sin_addr, to->sin_port);
    if (rc == 0) {
        captureDatagram(*s, false, to->sin_addr, to->sin_port, data, static_cast<uint32_t>(len));
    }
    return rc != 0 ? fail(rc == NDK_EWOULDBLOCK ? NDK_ENOBUFS : rc) : len;
}

int32_t NDK_recvncfrom(SOCKET s, void** data, int32_t flags, ndk::sockaddr_in* from,
                       int32_t* fromLen, NDK_PACKET* packet)
{
    // Nothing marked: nothing waiting, decided without a lock or a system call.
    if (validSocket(s) && (flags & NDK_MSG_DONTWAIT) != 0 && !anyMarked(s)) {
        return fail(NDK_EWOULDBLOCK);
    }
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    if (!validSocket(s)) {
        return fail(NDK_EBADF);
    }
    if (data == nullptr || packet == nullptr) {
        return fail(NDK_EINVAL);
    }
    if (s->blocking && (flags & NDK_MSG_DONTWAIT) == 0) {
        return fail(NDK_EOPNOTSUPP);  // a blocking receive would hold the simulated CPU
    }
    if (s->packet.busy) {
        return fail(NDK_ENOBUFS);  // the previous packet was not released
    }
    if (!s->injected.empty()) {
        NetSocket::Injected& d = s->injected.front();
        const auto len = static_cast<uint32_t>(d.data.size());
        if (from != nullptr && fromLen != nullptr &&
            *fromLen >= static_cast<int32_t>(sizeof *from)) {
            *from = ndk::sockaddr_in{};
            from->sin_family = NDK_AF_INET;
            from->sin_addr = d.addr;
            from->sin_port = d.port;
            *fromLen = sizeof *from;
        }
        captureDatagram(*s, true, d.addr, d.port, d.data.data(), len);
        if (len != 0) {
            std::memcpy(s->packet.data, d.data.data(), len);
            s->packet.busy = true;
            s->packet.len = len;
            *data = s->packet.data;
            *packet = &s->packet;
        }
        {
            HostScope host;
            s->injected.pop_front();
        }
        --s->numInjected;
        return static_cast<int32_t>(len);
    }
    // Own socket first, then groups and broadcasts, in turn, so that none
    // starves the others.
    const uint32_t numFds = 1 + static_cast<uint32_t>(s->extra.size());
    for (uint32_t k = 0; k < numFds; ++k) {
        const uint32_t i = (s->nextFd + k) % numFds;
        hostnet::WatchedFd& w = i == 0 ? s->own : *s->extra[i - 1];
        uint32_t len = 0;
        uint32_t addr = 0;
        uint16_t port = 0;
        const int32_t rc =
            hostnet::recvFrom(w, s->packet.data, sizeof s->packet.data, len, addr, port);
        if (rc == NDK_EWOULDBLOCK) {
            continue;
        }
        if (rc != 0) {
            return fail(rc);
        }
        s->nextFd = (i + 1) % numFds;
        captureDatagram(*s, true, addr, port, s->packet.data, len,
                        w.group != 0 ? w.group : w.bcast);
        if (from != nullptr && fromLen != nullptr &&
            *fromLen >= static_cast<int32_t>(sizeof *from)) {
            *from = ndk::sockaddr_in{};
            from->sin_family = NDK_AF_INET;
            from->sin_addr = addr;
            from->sin_port = port;
            *fromLen = sizeof *from;
        }
        if (len == 0) {
            return 0;  // nothing to release
        }
        s->packet.busy = true;
        s->packet.len = len;
        *data = s->packet.data;
        *packet = &s->packet;
        return static_cast<int32_t>(len);
    }
    return fail(NDK_EWOULDBLOCK);
}

void NDK_recvncfree(NDK_PACKET packet)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    if (packet != nullptr) {
        packet->busy = false;
    }
}

const char* NDK_inet_ntop(int32_t af, const uint32_t* addr, char* buf, uint32_t size)
{
    if (af != NDK_AF_INET || addr == nullptr || buf == nullptr) {
        return nullptr;
    }
    const auto* b = reinterpret_cast<const uint8_t*>(addr);
    const int n = std::snprintf(buf, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return n > 0 && static_cast<uint32_t>(n) < size ? buf : nullptr;
}

int32_t CfgAddEntry(CFG_HANDLE cfg, uint32_t tag, uint32_t item, uint32_t mode, int32_t size,
                    const void* data, CFG_ENTRY* entry)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    (void)mode;
    if (cfg != nullptr || data == nullptr || !registeredIndex(item)) {
        return CFG_ERR_INVALID;
    }
    int32_t rc = CFG_ERR_INVALID;
    if (tag == CFGTAG_IPNET && size == static_cast<int32_t>(sizeof(CI_IPNET))) {
        CI_IPNET net;
        std::memcpy(&net, data, sizeof net);
        rc = applyAddress(item, net);
    } else if (tag == CFGTAG_ROUTE && size == static_cast<int32_t>(sizeof(CI_ROUTE))) {
        CI_ROUTE route;
        std::memcpy(&route, data, sizeof route);
        rc = applyRoute(item, route);
    }
    if (rc == 0) {
        addEntry(tag, item, data, static_cast<uint32_t>(size), entry);
    }
    return rc;
}

int32_t CfgGetEntry(CFG_HANDLE cfg, uint32_t tag, uint32_t item, uint32_t index, CFG_ENTRY* entry)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    (void)registeredCount();
    if (cfg != nullptr || index == 0 || entry == nullptr) {
        return CFG_ERR_INVALID;
    }
    uint32_t seen = 0;
    for (const auto& e : *gCfg) {
        if (e->tag == tag && e->item == item && ++seen == index) {
            *entry = e.get();
            return 1;
        }
    }
    return 0;
}

int32_t CfgRemoveEntry(CFG_HANDLE cfg, CFG_ENTRY entry)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    if (cfg != nullptr) {
        return CFG_ERR_INVALID;
    }
    // Only the entry goes: an address the board added stays until it stops.
    for (auto it = gCfg->begin(); it != gCfg->end(); ++it) {
        if (it->get() == entry) {
            HostScope host;
            gCfg->erase(it);
            return 0;
        }
    }
    return CFG_ERR_INVALID;
}

int32_t NIMUIoctl(uint32_t cmd, const NIMU_IF_REQ* req, void* buffer, uint32_t size)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    const uint32_t n = registeredCount();
    if (buffer == nullptr) {
        return NIMU_ERR;
    }
    switch (cmd) {
    case NIMU_GET_NUM_NIMU_OBJ: {
        if (size < sizeof(uint16_t)) {
            return NIMU_ERR;
        }
        const auto count = static_cast<uint16_t>(n);
        std::memcpy(buffer, &count, sizeof count);
        return 0;
    }
    case NIMU_GET_ALL_INDEX: {
        if (size < n * sizeof(uint16_t)) {
            return NIMU_ERR;
        }
        auto* out = static_cast<uint8_t*>(buffer);
        for (uint32_t i = 0; i < NUM_IFACES; ++i) {
            if (gRegistered[i]) {
                const auto index = static_cast<uint16_t>(i + 1);
                std::memcpy(out, &index, sizeof index);
                out += sizeof index;
            }
        }
        return 0;
    }
    case NIMU_GET_DEVICE_MTU: {
        if (req == nullptr || !registeredIndex(req->index) || size < sizeof(uint16_t)) {
            return NIMU_ERR;
        }
        const hostnet::IfInfo info = hostnet::ifInfo(hostBoardConfig().eth[req->index - 1]);
        // Loopback's 65536 does not fit the stack's 16 bits.
        const auto mtu = static_cast<uint16_t>(info.mtu > UINT16_MAX ? UINT16_MAX : info.mtu);
        std::memcpy(buffer, &mtu, sizeof mtu);
        return info.exists ? 0 : NIMU_ERR;
    }
    case NIMU_GET_DEVICE_NAME: {
        if (req == nullptr || !registeredIndex(req->index)) {
            return NIMU_ERR;
        }
        const std::string& name = hostBoardConfig().eth[req->index - 1];
        if (name.size() + 1 > size || name.size() + 1 > NIMU_NAME_MAX) {
            return NIMU_ERR;
        }
        std::memcpy(buffer, name.c_str(), name.size() + 1);
        return 0;
    }
    default:
        return NIMU_ERR;
    }
}

void* mmAlloc(uint32_t size)
{
    HostScope host;
    void* block = std::malloc(size);
    if (block != nullptr) {
        ++gMmBlocks;
    }
    return block;
}

void mmFree(void* block)
{
    HostScope host;
    if (block != nullptr) {
        --gMmBlocks;
    }
    std::free(block);
}

void _mmCheck(uint32_t callMode, int (*print)(const char* format, ...))
{
    if (callMode != MMCHECK_MAP || print == nullptr) {
        return;
    }
    uint32_t sockets = 0;
    uint32_t bound = 0;
    uint32_t groups = 0;
    uint32_t held = 0;
    {
        std::lock_guard<std::recursive_mutex> lock(gLock);
        ensureTables();
        for (const NetSocket* sock : *gSockets) {
            ++sockets;
            bound += sock->bound ? 1 : 0;
            for (const hostnet::WatchedFd* w : sock->extra) {
                groups += w->group != 0 ? 1 : 0;
            }
            held += sock->packet.busy ? 1 : 0;
        }
    }
    // Printed outside the lock: the print function takes the console's own.
    print("\n%u sockets: %u bound, %u group members\n", sockets, bound, groups);
    print("%u packet buffers of %u bytes: %u held by readers\n", sockets,
          static_cast<uint32_t>(sizeof(NetPacket::data)), held);
    print("%u blocks from mmAlloc\n", static_cast<uint32_t>(gMmBlocks.load()));
}

void NDK_getIpStats(IPSTATS* stats)
{
    std::map<std::string, uint64_t> c = hostnet::snmpCounters();
    *stats = IPSTATS{};
    stats->Total = clamp32(c["Ip.InReceives"]);
    stats->Odropped = clamp32(c["Ip.OutDiscards"]);
    stats->Badsum = clamp32(c["Ip.InHdrErrors"]);
    stats->Forward = clamp32(c["Ip.ForwDatagrams"]);
    stats->Noproto = clamp32(c["Ip.InUnknownProtos"]);
    stats->Delivered = clamp32(c["Ip.InDelivers"]);
    stats->Cantforward = clamp32(c["Ip.InAddrErrors"]);
    stats->Redirectsent = clamp32(c["Icmp.OutRedirects"]);
    stats->Localout = clamp32(c["Ip.OutRequests"]);
    stats->Localnoroute = clamp32(c["Ip.OutNoRoutes"]);
    stats->Fragments = clamp32(c["Ip.ReasmReqds"]);
    stats->Fragdropped = clamp32(c["Ip.ReasmFails"]);
    stats->Fragtimeout = clamp32(c["Ip.ReasmTimeout"]);
    stats->Reassembled = clamp32(c["Ip.ReasmOKs"]);
    stats->Ofragments = clamp32(c["Ip.FragCreates"]);
    stats->Fragmented = clamp32(c["Ip.FragOKs"]);
    stats->Cantfrag = clamp32(c["Ip.FragFails"]);
    stats->Filtered = clamp32(c["Ip.InDiscards"]);
}

void NDK_getIcmpStats(ICMPSTATS* stats)
{
    std::map<std::string, uint64_t> c = hostnet::snmpCounters();
    *stats = ICMPSTATS{};
    stats->ICMPInErrors = clamp32(c["Icmp.InErrors"]);
    stats->ICMPOutErrors = clamp32(c["Icmp.OutErrors"]);
    for (uint32_t t = 0; t < ICMP_TYPE_NAMES; ++t) {
        if (ICMP_NAMES[t] != nullptr) {
            stats->ICMPIn[t] = clamp32(c[std::string("Icmp.In") + ICMP_NAMES[t]]);
            stats->ICMPOut[t] = clamp32(c[std::string("Icmp.Out") + ICMP_NAMES[t]]);
        } else {
            stats->ICMPIn[t] = clamp32(c["IcmpMsg.InType" + std::to_string(t)]);
            stats->ICMPOut[t] = clamp32(c["IcmpMsg.OutType" + std::to_string(t)]);
        }
    }
}

void NDK_getUdpStats(UDPSTATS* stats)
{
    std::map<std::string, uint64_t> c = hostnet::snmpCounters();
    *stats = UDPSTATS{};
    stats->RcvTotal = clamp32(c["Udp.InDatagrams"] + c["Udp.NoPorts"] + c["Udp.InErrors"]);
    stats->RcvBadSum = clamp32(c["Udp.InCsumErrors"]);
    stats->RcvFull = clamp32(c["Udp.RcvbufErrors"]);
    stats->RcvNoPort = clamp32(c["Udp.NoPorts"]);
    stats->RcvNoPortB = clamp32(c["Udp.IgnoredMulti"]);
    stats->SndTotal = clamp32(c["Udp.OutDatagrams"]);
    stats->SndNoPacket = clamp32(c["Udp.SndbufErrors"]);
}

void hostNetAttach()
{
    const HostBoardConfig& c = hostBoardConfig();
    for (uint32_t i = 0; i < NUM_IFACES; ++i) {
        if (hostnet::ifExists(c.eth[i])) {
            std::fprintf(stderr, "zok2gw: Ethernet %u on Linux interface %s\n", i,
                         c.eth[i].c_str());
        } else {
            std::fprintf(stderr,
                         "zok2gw: Ethernet %u: Linux interface %s does not exist; start-up "
                         "will stop\n",
                         i, c.eth[i].c_str());
        }
    }
}

void hostNetStop() { hostNetRemoveAdded(); }

void hostNetReset()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    HostScope host;
    for (NetSocket* sock : *gSockets) {
        sock->live = 0;  // the sockets themselves stay: the I/O thread may still mark them
    }
    gSockets->clear();
    gCfg->clear();
    gSessions->clear();
    gStarted = false;
    for (bool& r : gRegistered) {
        r = false;
    }
    hostnet::emacReset();
}

bool hostNetInject(uint32_t localAddr, uint16_t localPort, uint32_t fromAddr, uint16_t fromPort,
                   const uint8_t* data, uint32_t len)
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    if (len > sizeof(NetPacket::data) || (data == nullptr && len > 0)) {
        return false;
    }
    HostScope host;
    for (NetSocket* s : *gSockets) {
        if (s->bound && s->localAddr == localAddr && s->localPort == localPort) {
            s->injected.push_back({fromAddr, fromPort, std::vector<uint8_t>(data, data + len)});
            ++s->numInjected;
            return true;
        }
    }
    return false;
}

uint32_t hostNetInjectedPending()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    uint32_t n = 0;
    for (const NetSocket* s : *gSockets) {
        n += s->numInjected.load();
    }
    return n;
}

HostNetState hostNetState()
{
    std::lock_guard<std::recursive_mutex> lock(gLock);
    ensureTables();
    HostNetState st{};
    for (uint32_t i = 0; i < NUM_IFACES; ++i) {
        st.interfaces += gRegistered[i] ? 1 : 0;
    }
    st.sockets = static_cast<uint32_t>(gSockets->size());
    st.recvCalls = hostnet::recvCallCount();
    for (const auto& e : *gCfg) {
        st.addrEntries += e->tag == CFGTAG_IPNET ? 1 : 0;
        st.routeEntries += e->tag == CFGTAG_ROUTE ? 1 : 0;
    }
    return st;
}
