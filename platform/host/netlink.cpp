// Linux side of address and route administration: rtnetlink requests on a
// NETLINK_ROUTE socket, the record of what this process added, and its undo
// at stop (also on a watchdog reset, so that the restarted image adds and
// records afresh). Host OS calls of the network configuration live here and
// in netns.cpp.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <linux/capability.h>
#include <linux/rtnetlink.h>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "hostinternal.h"
#include "hostnetlink.h"
#include "hostnetns.h"
#include "hostwdt.h"
#include "netlinkinternal.h"

namespace {

constexpr size_t RECV_BUFFER =
    32768;  // a dump part of the kernel fits (it sends at most a page or two)
constexpr uint8_t MAX_PREFIX_LEN = 32;
// A second default route (another interface, another gateway) cannot share
// the metric of an existing one; it gets this base plus its interface index.
constexpr uint32_t SECOND_ROUTE_METRIC_BASE = 100;
constexpr int CAP_BITS_PER_HEX_DIGIT = 4;

struct Added {
    bool isRoute;  // else an address
    int ifindex;
    uint32_t addr;  // address or gateway, network order
    uint8_t prefixLen;
    uint32_t metric;  // routes only
};

std::mutex gLock;
std::vector<Added>& added()
{
    static auto* a = new std::vector<Added>;
    return *a;
}
bool gHooksInstalled = false;

std::string addrText(uint32_t addr)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addr;
    ::inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

int openRoute()
{
    const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0) {
        return -errno;
    }
    sockaddr_nl local{};
    local.nl_family = AF_NETLINK;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
        const int e = errno;
        ::close(fd);
        return -e;
    }
    return fd;
}

// Reads answers to sequence `seq` until the acknowledgement (or, for a dump,
// NLMSG_DONE). 0, or a negative errno.
// NLMSG_OK with the signs of its comparisons made explicit (the C library's
// macro compares int with unsigned, which clang rejects under -Werror).
bool messageFits(const nlmsghdr* h, int left)
{
    return left >= static_cast<int>(sizeof(nlmsghdr)) && h->nlmsg_len >= sizeof(nlmsghdr) &&
           h->nlmsg_len <= static_cast<uint32_t>(left);
}

int readAnswers(int fd, uint32_t seq, const std::function<void(const nlmsghdr*)>* each)
{
    std::vector<unsigned char> buf(RECV_BUFFER);
    for (;;) {
        const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -errno;
        }
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<const nlmsghdr*>(buf.data()); messageFits(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != seq) {
                continue;  // a late answer to nothing of ours
            }
            if (h->nlmsg_type == NLMSG_DONE) {
                return 0;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
                return e->error;  // 0 is the acknowledgement
            }
            if (each != nullptr) {
                (*each)(h);
            }
        }
    }
}

int sendAndRead(const nlmsghdr* msg, const std::function<void(const nlmsghdr*)>* each)
{
    const int fd = openRoute();
    if (fd < 0) {
        return fd;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int r = 0;
    if (::sendto(fd, msg, msg->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) <
        0) {
        r = -errno;
    } else {
        r = readAnswers(fd, msg->nlmsg_seq, each);
    }
    ::close(fd);
    return r;
}

uint32_t nextSeq()
{
    static std::atomic<uint32_t> seq{1};
    return seq.fetch_add(1);
}

bool addressPresent(int ifindex, uint32_t addr)
{
    bool found = false;
    nlDump(RTM_GETADDR, AF_INET, [&](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWADDR) {
            return;
        }
        const auto* ifa = static_cast<const ifaddrmsg*>(NLMSG_DATA(h));
        if (static_cast<int>(ifa->ifa_index) != ifindex) {
            return;
        }
        nlForEachAttr(h, sizeof(ifaddrmsg), [&](uint16_t type, const void* data, size_t len) {
            uint32_t a = 0;
            if (type == IFA_LOCAL && len == sizeof(a)) {
                std::memcpy(&a, data, sizeof(a));
                found = found || a == addr;
            }
        });
    });
    return found;
}

bool defaultRoutePresent(int ifindex, uint32_t gw)
{
    bool found = false;
    nlDump(RTM_GETROUTE, AF_INET, [&](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWROUTE) {
            return;
        }
        const auto* rt = static_cast<const rtmsg*>(NLMSG_DATA(h));
        if (rt->rtm_dst_len != 0 || rt->rtm_type != RTN_UNICAST) {
            return;
        }
        uint32_t table = rt->rtm_table;
        uint32_t gate = 0;
        uint32_t oif = 0;
        nlForEachAttr(h, sizeof(rtmsg), [&](uint16_t type, const void* data, size_t len) {
            if (len != sizeof(uint32_t)) {
                return;
            }
            if (type == RTA_TABLE) {
                std::memcpy(&table, data, len);
            } else if (type == RTA_GATEWAY) {
                std::memcpy(&gate, data, len);
            } else if (type == RTA_OIF) {
                std::memcpy(&oif, data, len);
            }
        });
        found = found || (table == RT_TABLE_MAIN && gate == gw && static_cast<int>(oif) == ifindex);
    });
    return found;
}

int addressRequest(uint16_t type, uint16_t flags, int ifindex, uint32_t addr, uint8_t prefixLen)
{
    NlRequest req(type, flags);
    ifaddrmsg ifa{};
    ifa.ifa_family = AF_INET;
    ifa.ifa_prefixlen = prefixLen;
    ifa.ifa_scope = RT_SCOPE_UNIVERSE;
    ifa.ifa_index = static_cast<uint32_t>(ifindex);
    req.put(&ifa, sizeof(ifa));
    req.attr(IFA_LOCAL, &addr, sizeof(addr));
    req.attr(IFA_ADDRESS, &addr, sizeof(addr));
    return nlTransact(req);
}

int routeRequest(uint16_t type, uint16_t flags, int ifindex, uint32_t gw, uint32_t metric)
{
    NlRequest req(type, flags);
    rtmsg rt{};
    rt.rtm_family = AF_INET;
    rt.rtm_dst_len = 0;
    rt.rtm_table = RT_TABLE_MAIN;
    rt.rtm_protocol = RTPROT_STATIC;
    rt.rtm_scope = RT_SCOPE_UNIVERSE;
    rt.rtm_type = RTN_UNICAST;
    req.put(&rt, sizeof(rt));
    req.attr(RTA_GATEWAY, &gw, sizeof(gw));
    req.attrU32(RTA_OIF, static_cast<uint32_t>(ifindex));
    if (metric != 0) {
        req.attrU32(RTA_PRIORITY, metric);
    }
    return nlTransact(req);
}

// `wait`: false on the watchdog reset path, which must not block on a lock a
// frozen thread may hold; what cannot be removed then goes with the process.
void removeAdded(bool wait)
{
    std::unique_lock<std::mutex> lock(gLock, std::defer_lock);
    if (wait) {
        lock.lock();
    } else if (!lock.try_lock()) {
        return;
    }
    HostScope host;
    std::vector<Added>& list = added();
    while (!list.empty()) {
        const Added a = list.back();
        list.pop_back();
        // A vanished interface took its addresses and routes with it: not an error.
        if (a.isRoute) {
            (void)routeRequest(RTM_DELROUTE, NLM_F_REQUEST | NLM_F_ACK, a.ifindex, a.addr,
                               a.metric);
        } else {
            (void)addressRequest(RTM_DELADDR, NLM_F_REQUEST | NLM_F_ACK, a.ifindex, a.addr,
                                 a.prefixLen);
        }
    }
}

void removeOnReset() { removeAdded(false); }
void removeAtExit() { removeAdded(true); }

// Called with gLock held.
void record(const Added& a)
{
    if (!gHooksInstalled) {
        gHooksInstalled = true;
        hostAddShutdownHook(removeOnReset);
        std::atexit(removeAtExit);
    }
    added().push_back(a);
}

bool resolve(const char* ifname, int& ifindex, std::string& err)
{
    ifindex = static_cast<int>(::if_nametoindex(ifname));
    if (ifindex == 0) {
        err = std::string("no interface ") + ifname;
        return false;
    }
    return true;
}

}  // namespace

NlRequest::NlRequest(uint16_t type, uint16_t flags) : buf_{}, len_(NLMSG_HDRLEN)
{
    auto* h = reinterpret_cast<nlmsghdr*>(buf_);
    h->nlmsg_type = type;
    h->nlmsg_flags = flags;
    h->nlmsg_seq = nextSeq();
    h->nlmsg_len = static_cast<uint32_t>(len_);
}

void NlRequest::put(const void* data, size_t len)
{
    const size_t padded = NLMSG_ALIGN(len);
    if (overflow_ || len_ + padded > CAPACITY) {
        overflow_ = true;
        return;
    }
    std::memcpy(buf_ + len_, data, len);
    len_ += padded;
    reinterpret_cast<nlmsghdr*>(buf_)->nlmsg_len = static_cast<uint32_t>(len_);
}

void NlRequest::attr(uint16_t type, const void* data, size_t len)
{
    rtattr a{};
    a.rta_type = type;
    a.rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
    put(&a, sizeof(a));
    if (len != 0) {
        put(data, len);
    }
}

void NlRequest::attrString(uint16_t type, const char* text)
{
    attr(type, text, std::strlen(text) + 1);
}

size_t NlRequest::beginNest(uint16_t type)
{
    const size_t start = len_;
    attr(type, nullptr, 0);
    return start;
}

void NlRequest::endNest(size_t start)
{
    if (!overflow_) {
        reinterpret_cast<rtattr*>(buf_ + start)->rta_len =
            static_cast<unsigned short>(len_ - start);
    }
}

int nlTransact(const NlRequest& req)
{
    if (!req.fits()) {
        return -EMSGSIZE;
    }
    return sendAndRead(req.header(), nullptr);
}

int nlDump(uint16_t type, unsigned char family, const std::function<void(const nlmsghdr*)>& each)
{
    NlRequest req(type, NLM_F_REQUEST | NLM_F_DUMP);
    // Every dump request takes a family header at least this long; the
    // kernel reads only the family (the first byte) from it.
    const unsigned char body[sizeof(ifinfomsg)] = {family};
    req.put(body, sizeof(body));
    return sendAndRead(req.header(), &each);
}

void nlForEachAttr(const nlmsghdr* msg, size_t bodyLen,
                   const std::function<void(uint16_t, const void*, size_t)>& each)
{
    const size_t offset = NLMSG_HDRLEN + NLMSG_ALIGN(bodyLen);
    if (msg->nlmsg_len < offset) {
        return;
    }
    nlForEachNested(reinterpret_cast<const unsigned char*>(msg) + offset, msg->nlmsg_len - offset,
                    each);
}

void nlForEachNested(const void* data, size_t len,
                     const std::function<void(uint16_t, const void*, size_t)>& each)
{
    int left = static_cast<int>(len);
    for (auto* a = static_cast<const rtattr*>(data); RTA_OK(a, left); a = RTA_NEXT(a, left)) {
        each(a->rta_type, RTA_DATA(a), RTA_PAYLOAD(a));
    }
}

bool hostNetMayAdminister()
{
    if (hostNetInOwnNamespace()) {
        return true;
    }
    HostScope host;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("CapEff:", 0) == 0) {
            const unsigned long long caps = std::strtoull(line.c_str() + std::strlen("CapEff:"),
                                                          nullptr, 1 << CAP_BITS_PER_HEX_DIGIT);
            return (caps >> CAP_NET_ADMIN & 1u) != 0;
        }
    }
    return false;
}

bool hostNetAddAddress(const char* ifname, uint32_t addr, uint8_t prefixLen, std::string& err)
{
    HostScope host;
    std::lock_guard<std::mutex> lock(gLock);
    int ifindex = 0;
    if (!resolve(ifname, ifindex, err)) {
        return false;
    }
    if (prefixLen > MAX_PREFIX_LEN) {
        err = "prefix length " + std::to_string(prefixLen) + " is not an IPv4 prefix";
        return false;
    }
    if (addressPresent(ifindex, addr)) {
        return true;  // not ours: it stays when the board stops
    }
    const int r = addressRequest(RTM_NEWADDR, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL,
                                 ifindex, addr, prefixLen);
    if (r == -EEXIST) {
        return true;  // someone else added it meanwhile: not ours either
    }
    if (r != 0) {
        err = "cannot add " + addrText(addr) + "/" + std::to_string(prefixLen) + " to " + ifname +
              ": " + std::strerror(-r);
        return false;
    }
    record(Added{false, ifindex, addr, prefixLen, 0});
    return true;
}

bool hostNetAddDefaultRoute(const char* ifname, uint32_t gw, std::string& err)
{
    HostScope host;
    std::lock_guard<std::mutex> lock(gLock);
    int ifindex = 0;
    if (!resolve(ifname, ifindex, err)) {
        return false;
    }
    if (defaultRoutePresent(ifindex, gw)) {
        return true;
    }
    const uint16_t flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    uint32_t metric = 0;
    int r = routeRequest(RTM_NEWROUTE, flags, ifindex, gw, metric);
    if (r == -EEXIST) {
        // Another default route (not ours) holds metric 0: keep it untouched
        // and add ours behind it.
        metric = SECOND_ROUTE_METRIC_BASE + static_cast<uint32_t>(ifindex);
        r = routeRequest(RTM_NEWROUTE, flags, ifindex, gw, metric);
    }
    if (r != 0) {
        err = "cannot add a default route via " + addrText(gw) + " on " + ifname + ": " +
              std::strerror(-r);
        if (r == -ENETUNREACH) {
            err += " (the gateway is outside the interface's subnets)";
        }
        return false;
    }
    record(Added{true, ifindex, gw, 0, metric});
    return true;
}

bool hostNetAddressIsLocal(uint32_t addr)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = 0;  // any free port: only the address is in question
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0;
    ::close(fd);
    return ok;
}

void hostNetRemoveAdded() { removeAdded(true); }

int nlAddAddressUnrecorded(int ifindex, uint32_t addr, uint8_t prefixLen)
{
    return addressRequest(RTM_NEWADDR, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL,
                          ifindex, addr, prefixLen);
}
