// Socket side of the McSPI models: one host I/O thread per controller
// listens on a Unix socket (default: <run dir>/spiN.sock) or a TCP port and
// lets one peer at a time play the SPI master. Every byte the peer sends is
// clocked in as one word and answered by one byte, at the SPI clock the
// firmware programmed, in simulated time: the model takes a few ticks of
// bus time ahead, and bytes beyond wait in the socket, so a fast peer is
// held back by the socket and nothing is dropped.
// A peer that disconnects simply stops clocking; the next one may connect,
// and a second peer while one is connected is turned away. Socket files are
// removed when the listener stops and when the process ends.
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "hostinternal.h"
#include "hostkernel.h"
#include "hostwdt.h"
#include "mcspi_internal.h"

namespace {

constexpr size_t IO_CHUNK = 4096;         // bytes per read or write at most
constexpr int HANDLER_TIMEOUT_MS = 1000;  // checks for a halted firmware while words wait

struct Listener {
    std::thread thread;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};          // written to stop the thread or open it for peers
    std::atomic<bool> accepting{false};  // the controller is live: peers are taken
    std::atomic<bool> stopping{false};
    std::string unixPath;  // removed when the listener stops
};

std::mutex gLock;
Listener* gListeners[MCSPI_NUM_UNITS] = {};
// The model wakes the socket side through these; made once and never
// closed, so that a wake-up racing a listener's stop writes nowhere else.
std::atomic<int> gKickFd[MCSPI_NUM_UNITS] = {-1, -1};
// Socket files to remove when the process ends, readable by the shutdown
// hook without a lock or an allocation (it may run on the reset path).
char gSocketFiles[MCSPI_NUM_UNITS][sizeof(sockaddr_un::sun_path)] = {};
std::once_flag gHookOnce;

void removeSocketFiles()
{
    for (const char* path : gSocketFiles) {
        if (path[0] != '\0') {
            ::unlink(path);
        }
    }
}

void wake(Listener* l)
{
    const char any = 1;
    ssize_t w = ::write(l->wakePipe[1], &any, 1);
    (void)w;  // a full pipe already holds a wake-up
}

bool writeAll(int fd, const uint8_t* buf, size_t len)
{
    while (len > 0) {
        const ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int hostListenUnix(const std::string& path, std::string& error)
{
    sockaddr_un sa{};
    if (path.size() >= sizeof sa.sun_path) {
        error = "socket path too long: " + path;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    ::unlink(path.c_str());  // a socket left by an earlier run
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 1) != 0) {
        error = "cannot listen on " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

namespace {

int listenTcp(const std::string& attachment, std::string& endpoint, std::string& error)
{
    std::string host = "127.0.0.1";
    std::string port = attachment;
    const size_t colon = attachment.rfind(':');
    if (colon != std::string::npos) {
        host = attachment.substr(0, colon);
        port = attachment.substr(colon + 1);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        error = "cannot resolve tcp:" + attachment + ": " + ::gai_strerror(rc);
        return -1;
    }
    const int fd = ::socket(res->ai_family, res->ai_socktype | SOCK_CLOEXEC, res->ai_protocol);
    const int one = 1;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        ::bind(fd, res->ai_addr, res->ai_addrlen) != 0 || ::listen(fd, 1) != 0) {
        error = "cannot listen on tcp:" + attachment + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        ::freeaddrinfo(res);
        return -1;
    }
    ::freeaddrinfo(res);
    // Report the port actually bound (port 0 asks for any free one).
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len);
    char name[NI_MAXHOST];
    char serv[NI_MAXSERV];
    ::getnameinfo(reinterpret_cast<sockaddr*>(&ss), len, name, sizeof name, serv, sizeof serv,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    endpoint = std::string("tcp:") + name + ":" + serv;
    return fd;
}

enum class Peer : uint8_t { Gone, Quiet, Talking };

// Whether the peer closed its end (and all it sent has been read), is
// connected with nothing to read, or has words waiting.
Peer peerState(int conn)
{
    uint8_t b;
    const ssize_t n = ::recv(conn, &b, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) return Peer::Talking;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return Peer::Quiet;
    return Peer::Gone;
}

// Plays the exchanges of one peer until it leaves or the listener stops.
void serve(uint32_t index, Listener* l, int conn)
{
    const int one = 1;
    // Replies are small and awaited one by one; on a Unix socket this fails harmlessly.
    ::setsockopt(conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t buf[IO_CHUNK];
    uint64_t owed = 0;  // words handed to the model, not yet answered
    for (;;) {
        for (uint32_t n; (n = mcspiModelTakeReplies(index, buf, sizeof buf)) > 0;) {
            owed -= n;
            if (!writeAll(conn, buf, n)) {
                return;
            }
        }
        // The peer's bytes only as far as the model takes them now; at 0
        // it wakes us once there is room.
        const uint32_t room = mcspiModelRoom(index);
        pollfd p[4] = {{room > 0 ? conn : -1, POLLIN, 0},
                       {l->listenFd, POLLIN, 0},
                       {l->wakePipe[0], POLLIN, 0},
                       {gKickFd[index].load(), POLLIN, 0}};
        const int ready = ::poll(p, 4, owed > 0 ? HANDLER_TIMEOUT_MS : -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (ready == 0) {
            // Words owed and no answer for a while: a firmware that still
            // runs is only slow (a busy host), as the bus would wait; one
            // that halted or stopped answers nobody.
            if (hostFirmwareHalted() || !hostKernelRunning()) {
                return;
            }
            continue;
        }
        if (p[2].revents != 0) {
            return;
        }
        if ((p[3].revents & POLLIN) != 0) {
            uint64_t count = 0;
            ssize_t r = ::read(p[3].fd, &count, sizeof count);
            (void)r;  // the kick only wakes us
        }
        // The bus has one master at a time. A newcomer while the master is
        // connected and quiet is turned away; when the master has left, the
        // newcomer is its successor; while the master's words are still
        // waiting, those are clocked first and the newcomer waits.
        if ((p[1].revents & POLLIN) != 0) {
            const Peer state = peerState(conn);
            if (state == Peer::Gone && owed == 0) {
                return;
            }
            if (state == Peer::Quiet) {
                const int extra = ::accept4(l->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (extra >= 0) {
                    ::close(extra);
                }
            }
        }
        if ((p[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            continue;
        }
        const ssize_t n = ::recv(conn, buf, room < sizeof buf ? room : sizeof buf, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) {
            return;  // the peer left: the bus stops
        }
        mcspiModelSubmit(index, buf, static_cast<uint32_t>(n));
        owed += static_cast<uint64_t>(n);
    }
}

void listenLoop(uint32_t index, Listener* l)
{
    for (;;) {
        // Until the controller is live, connections wait in the backlog.
        const int listenFd = l->accepting ? l->listenFd : -1;
        pollfd p[2] = {{listenFd, POLLIN, 0}, {l->wakePipe[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents != 0) {
            if (l->stopping) {
                return;
            }
            char drained;
            ssize_t r = ::read(l->wakePipe[0], &drained, 1);
            (void)r;  // only the wake-up matters
            continue;
        }
        const int conn = ::accept4(l->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            continue;
        }
        serve(index, l, conn);
        mcspiModelAbandon(index);  // what the peer left unclocked goes with it
        ::close(conn);
    }
}

}  // namespace

bool mcspiSocketStart(uint32_t index, const std::string& attachment, const std::string& runDir,
                      std::string& endpoint, std::string& error)
{
    HostScope host;
    if (gKickFd[index].load() < 0) {
        gKickFd[index] = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }
    auto* l = new Listener;
    if (attachment == "unix" || attachment.rfind("unix:", 0) == 0) {
        l->unixPath = attachment == "unix" ? runDir + "/spi" + std::to_string(index + 1) + ".sock"
                                           : attachment.substr(5);
        l->listenFd = hostListenUnix(l->unixPath, error);
        endpoint = "unix:" + l->unixPath;
    } else if (attachment.rfind("tcp:", 0) == 0) {
        l->listenFd = listenTcp(attachment.substr(4), endpoint, error);
    } else {
        error = "unknown host link attachment '" + attachment +
                "' (unix, unix:PATH or tcp:[HOST:]PORT)";
    }
    if (l->listenFd < 0 || ::pipe2(l->wakePipe, O_CLOEXEC) != 0) {
        if (l->listenFd >= 0) {
            error = std::string("pipe: ") + std::strerror(errno);
            ::close(l->listenFd);
        }
        delete l;
        return false;
    }
    std::fprintf(stderr, "zok2gw: host link %u (SPI%u) on %s\n", index + 1, index + 1,
                 endpoint.c_str());
    std::snprintf(gSocketFiles[index], sizeof gSocketFiles[index], "%s", l->unixPath.c_str());
    std::call_once(gHookOnce, [] { hostAddShutdownHook(removeSocketFiles); });
    l->thread = std::thread(listenLoop, index, l);
    std::lock_guard<std::mutex> lk(gLock);
    gListeners[index] = l;
    return true;
}

void mcspiSocketAccept(uint32_t index)
{
    std::lock_guard<std::mutex> lk(gLock);
    Listener* l = gListeners[index];
    if (l != nullptr && !l->accepting.exchange(true)) {
        wake(l);
    }
}

void mcspiSocketStop(uint32_t index)
{
    Listener* l;
    {
        std::lock_guard<std::mutex> lk(gLock);
        l = gListeners[index];
        gListeners[index] = nullptr;
    }
    if (l == nullptr) {
        return;
    }
    HostScope host;
    l->stopping = true;
    wake(l);
    l->thread.join();
    ::close(l->listenFd);
    ::close(l->wakePipe[0]);
    ::close(l->wakePipe[1]);
    if (!l->unixPath.empty()) {
        gSocketFiles[index][0] = '\0';
        ::unlink(l->unixPath.c_str());
    }
    delete l;
}

void mcspiSocketKick(uint32_t index)
{
    const int fd = index < MCSPI_NUM_UNITS ? gKickFd[index].load() : -1;
    if (fd >= 0) {
        const uint64_t one = 1;
        ssize_t w = ::write(fd, &one, sizeof one);
        (void)w;  // an eventfd at its limit is already signalled
    }
}
