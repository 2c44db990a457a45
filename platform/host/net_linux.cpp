// Linux side of the network stack model: real UDP sockets, the translation
// of Linux errors to the stack's codes, and the one I/O thread that watches
// every open socket with epoll (edge-triggered) and only marks which have
// data. The firmware's 1 ms poll of an empty port therefore costs no system
// call; a marked socket is read until Linux says it is empty.
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "hostinternal.h"
#include "netinternal.h"
#include "netstack.h"

namespace hostnet {
namespace {

constexpr int MAX_EVENTS = 64;

struct ErrorMap {
    int linux;
    int32_t stack;
};
// Linux errno values to the stack's own codes; anything else is EINVAL.
constexpr ErrorMap ERRORS[] = {
    {EAGAIN, NDK_EWOULDBLOCK},
    {EBADF, NDK_EBADF},
    {ENOMEM, NDK_ENOMEM},
    {EACCES, NDK_EACCES},
    {EPERM, NDK_EACCES},
    {EINVAL, NDK_EINVAL},
    {EMFILE, NDK_EMFILE},
    {ENFILE, NDK_EMFILE},
    {EMSGSIZE, NDK_EMSGSIZE},
    {ENOPROTOOPT, NDK_ENOPROTOOPT},
    {EOPNOTSUPP, NDK_EOPNOTSUPP},
    {EAFNOSUPPORT, NDK_EAFNOSUPPORT},
    {EADDRINUSE, NDK_EADDRINUSE},
    {EADDRNOTAVAIL, NDK_EADDRNOTAVAIL},
    {ENETUNREACH, NDK_ENETUNREACH},
    {ENOBUFS, NDK_ENOBUFS},
    {ECONNREFUSED, NDK_ECONNREFUSED},
    {EHOSTUNREACH, NDK_EHOSTUNREACH},
    {ENODEV, NDK_EADDRNOTAVAIL},
};

int32_t translate(int err)
{
    for (const ErrorMap& e : ERRORS) {
        if (e.linux == err) {
            return e.stack;
        }
    }
    return NDK_EINVAL;
}

sockaddr_in inetAddr(uint32_t addr, uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port;
    sa.sin_addr.s_addr = addr;
    return sa;
}

// The I/O thread: created on the first watched socket, lives for the process.
std::atomic<uint64_t> gRecvCalls{0};
int gEpoll = -1;
std::once_flag gEpollOnce;

void ioThread()
{
    epoll_event events[MAX_EVENTS];
    for (;;) {
        const int n = epoll_wait(gEpoll, events, MAX_EVENTS, -1);
        for (int i = 0; i < n; ++i) {
            static_cast<WatchedFd*>(events[i].data.ptr)->ready.store(true);
        }
    }
}

void startIoThread()
{
    HostScope host;
    gEpoll = epoll_create1(EPOLL_CLOEXEC);
    std::thread(ioThread).detach();
}

}  // namespace

int32_t udpSocket(WatchedFd& w)
{
    w.fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_UDP);
    return w.fd < 0 ? translate(errno) : 0;
}

int32_t bindAddr(const WatchedFd& w, uint32_t addr, uint16_t port)
{
    const sockaddr_in sa = inetAddr(addr, port);
    return ::bind(w.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0 ? translate(errno)
                                                                               : 0;
}

int32_t setOption(const WatchedFd& w, int32_t level, int32_t option, const void* value, int32_t len)
{
    int linuxLevel = 0;
    int linuxOption = 0;
    if (level == NDK_SOL_SOCKET && option == NDK_SO_BROADCAST) {
        linuxLevel = SOL_SOCKET;
        linuxOption = SO_BROADCAST;
    } else if (level == NDK_SOL_SOCKET && option == NDK_SO_SNDBUF) {
        linuxLevel = SOL_SOCKET;
        linuxOption = SO_SNDBUF;
    } else if (level == NDK_SOL_SOCKET && option == NDK_SO_RCVBUF) {
        linuxLevel = SOL_SOCKET;
        linuxOption = SO_RCVBUF;
    } else {
        return NDK_ENOPROTOOPT;
    }
    return ::setsockopt(w.fd, linuxLevel, linuxOption, value, static_cast<socklen_t>(len)) < 0
               ? translate(errno)
               : 0;
}

int32_t groupSocket(WatchedFd& w, uint32_t group, uint16_t port, uint32_t ifAddr, int32_t rcvBuf)
{
    const int32_t rc = udpSocket(w);
    if (rc != 0) {
        return rc;
    }
    const int on = 1;
    const int off = 0;
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = group;
    mreq.imr_interface.s_addr = ifAddr;
    const sockaddr_in sa = inetAddr(group, port);
    // Bound to the group, the socket sees only that group; the option adds
    // nothing to that and some emulators lack it, so its result is dropped.
    (void)::setsockopt(w.fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
    // Several ports (or boards) may listen to one group on one port number.
    if (::setsockopt(w.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        (rcvBuf > 0 && ::setsockopt(w.fd, SOL_SOCKET, SO_RCVBUF, &rcvBuf, sizeof rcvBuf) < 0) ||
        ::bind(w.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0 ||
        ::setsockopt(w.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
        const int32_t err = translate(errno);
        closeFd(w);
        return err;
    }
    return 0;
}

int32_t joinGroup(const WatchedFd& w, uint32_t group, uint32_t ifAddr)
{
    ip_mreq mreq{};
    mreq.imr_multiaddr.s_addr = group;
    mreq.imr_interface.s_addr = ifAddr;
    return ::setsockopt(w.fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0
               ? translate(errno)
               : 0;
}

int32_t broadcastSocket(WatchedFd& w, uint32_t bcast, uint16_t port, const std::string& ifName,
                        uint32_t ownAddr)
{
    const auto ifIndex = static_cast<int>(::if_nametoindex(ifName.c_str()));
    if (ifIndex == 0) {
        return translate(errno);
    }
    const int32_t rc = udpSocket(w);
    if (rc != 0) {
        return rc;
    }
    const int on = 1;
    const sockaddr_in sa = inetAddr(bcast, port);
    // Linux then drops another interface's broadcasts itself; an
    // unprivileged process on an older kernel is refused, and the arrival
    // interface checked on each read is enough.
    (void)::setsockopt(w.fd, SOL_SOCKET, SO_BINDTODEVICE, ifName.c_str(),
                       static_cast<socklen_t>(ifName.size()));
    // Every port with this number on the interface (and every board on the
    // segment) hears the same broadcast.
    if (::setsockopt(w.fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0 ||
        ::setsockopt(w.fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) < 0 ||
        ::bind(w.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) < 0) {
        const int32_t err = translate(errno);
        closeFd(w);
        return err;
    }
    w.ifIndex = ifIndex;
    w.ownAddr = ownAddr;
    w.bcast = bcast;
    return 0;
}

int32_t sendTo(const WatchedFd& w, const void* data, uint32_t len, uint32_t addr, uint16_t port)
{
    const sockaddr_in sa = inetAddr(addr, port);
    const ssize_t n =
        ::sendto(w.fd, data, len, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    return n < 0 ? translate(errno) : 0;
}

int32_t recvFrom(WatchedFd& w, uint8_t* buf, uint32_t cap, uint32_t& len, uint32_t& addr,
                 uint16_t& port)
{
    if (!w.ready.load()) {
        return NDK_EWOULDBLOCK;
    }
    // Cleared before the read: a datagram that arrives after it raises a new
    // edge and marks the socket again.
    w.ready.store(false);
    sockaddr_in sa{};
    ssize_t n = 0;
    for (bool taken = false; !taken;) {
        gRecvCalls.fetch_add(1);
        iovec iov{buf, cap};
        alignas(cmsghdr) uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))];
        msghdr msg{};
        msg.msg_name = &sa;
        msg.msg_namelen = sizeof sa;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = w.ifIndex != 0 ? control : nullptr;
        msg.msg_controllen = w.ifIndex != 0 ? sizeof control : 0;
        n = ::recvmsg(w.fd, &msg, MSG_DONTWAIT);
        if (n < 0) {
            return translate(errno);  // EAGAIN: drained; the mark stays clear
        }
        bool onInterface = w.ifIndex == 0;
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); !onInterface && c != nullptr;
             c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                onInterface = info.ipi_ifindex == w.ifIndex;
            }
        }
        taken = onInterface && (w.ownAddr == 0 || sa.sin_addr.s_addr != w.ownAddr);
    }
    w.ready.store(true);  // more may wait; the next read finds out
    len = static_cast<uint32_t>(n);
    addr = sa.sin_addr.s_addr;
    port = sa.sin_port;
    return 0;
}

void closeFd(WatchedFd& w)
{
    if (w.fd >= 0) {
        ::close(w.fd);  // also leaves the epoll set
        w.fd = -1;
    }
    w.ready.store(false);
}

uint64_t recvCallCount() { return gRecvCalls.load(); }

void watch(WatchedFd& w)
{
    std::call_once(gEpollOnce, startIoThread);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLET;
    ev.data.ptr = &w;
    // Data that arrived before the socket was watched raises no edge.
    w.ready.store(true);
    (void)epoll_ctl(gEpoll, EPOLL_CTL_ADD, w.fd, &ev);  // fails only on a closed fd
}

std::string addrText(uint32_t addr)
{
    char text[INET_ADDRSTRLEN] = {};
    in_addr a{};
    a.s_addr = addr;
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

}  // namespace hostnet
