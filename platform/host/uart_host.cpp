// Linux side of the UART model: each attached UART gets an I/O thread that
// writes the bytes that left on the line to its descriptor and feeds bytes
// read from it into the model's line input. Neither direction drops: input
// is read only as far as the model's line-in queue has room, so a writer
// faster than the line waits in its descriptor; output that the descriptor
// does not take waits here, and the model's transmitter holds behind it.
// UART 0 goes to the terminal (raw keys, restored on exit) or a PTY; UARTs
// 1-3 to PTYs linked in the run folder, to tty devices, whose termios and
// RTS line follow the UART's registers and whose parity, framing and break
// errors reach the line status, or to a Unix socket that one peer at a time
// plugs into. A socket line needs no kernel worker between the two ends, as
// a PTY does: on a busy host that worker may wait seconds for a core, and
// the PTY stalls with it. The PTY links and sockets are removed when the
// process ends. Host OS calls of the UART model live here only.
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "hostboard.h"
#include "hostinternal.h"
#include "hostuart.h"
#include "hostwdt.h"
#include "modelinternal.h"
#include "soc_uart.h"

namespace {

constexpr size_t IO_CHUNK = 4096;
// A full PTY's master polls writable while it still refuses bytes, so
// output that waits is tried again after this long instead.
constexpr int OUT_RETRY_MS = 5;

enum class Kind : uint8_t { None, Terminal, Pty, Device, Socket };

struct Side {
    Kind kind = Kind::None;
    int inFd = -1;
    int outFd = -1;
    int kickFd = -1;
    bool inOpen = true;         // false once the input side reached its end
    bool inNonBlocking = true;  // our own descriptor: drain it until EAGAIN
    int ptySlave = -1;          // kept open so the master never sees a hang-up
    std::string name;           // console, sci1..sci3
    std::string where;          // what the runner reports
    std::string link;           // the PTY's link in the run folder (PTYs only)
    std::string slavePath;      // where that link points
    int listenFd = -1;          // a socket line: where its peer plugs in
    std::string socketPath;     // that socket's file
    ParmrkDecoder marks;        // a tty device's input with its marked errors
};

Side gSides[HOST_NUM_UARTS];
// Drain requests of the reset path and the last one each I/O thread met
// with a pass that wrote what its descriptor took.
std::atomic<uint32_t> gDrainAsked[HOST_NUM_UARTS];
std::atomic<uint32_t> gDrainDone[HOST_NUM_UARTS];
constexpr int DRAIN_WAIT_MS = 500;  // in all: a reader that stopped reading holds it no longer
termios gTerminalSaved{};
bool gTerminalRaw = false;

// Removes the links this process made, unless something else has replaced
// them since. No allocation: this may run on the reset path.
void removePtyLinks()
{
    for (const Side& s : gSides) {
        if (!s.socketPath.empty()) {
            ::unlink(s.socketPath.c_str());
        }
        if (s.link.empty()) {
            continue;
        }
        char target[PATH_MAX];
        const ssize_t n = ::readlink(s.link.c_str(), target, sizeof target);
        if (n == static_cast<ssize_t>(s.slavePath.size()) &&
            std::memcmp(target, s.slavePath.data(), s.slavePath.size()) == 0) {
            ::unlink(s.link.c_str());
        }
    }
}

void restoreTerminal()
{
    if (gTerminalRaw) {
        gTerminalRaw = false;
        // A runner put in the background meanwhile must not be stopped here.
        sigset_t ttou;
        sigemptyset(&ttou);
        sigaddset(&ttou, SIGTTOU);
        sigset_t old;
        pthread_sigmask(SIG_BLOCK, &ttou, &old);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &gTerminalSaved);
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
    }
}

speed_t speedOf(uint32_t bitRate)
{
    struct Entry {
        uint32_t rate;
        speed_t speed;
    };
    static const Entry table[] = {
        {300, B300},       {600, B600},       {1200, B1200},     {2400, B2400},   {4800, B4800},
        {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600}, {115200, B115200},
        {230400, B230400}, {460800, B460800}, {921600, B921600},
    };
    // The nearest standard rate: the UART's divisor rarely gives an exact one.
    speed_t best = B9600;
    uint32_t bestDiff = UINT32_MAX;
    for (const Entry& e : table) {
        const uint32_t diff = e.rate > bitRate ? e.rate - bitRate : bitRate - e.rate;
        if (diff < bestDiff) {
            bestDiff = diff;
            best = e.speed;
        }
    }
    return best;
}

void makeRaw(termios& t)
{
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

// Brings a tty device's termios and RTS line in line with the UART.
void applyDevice(uint32_t index, Side& s, const UartLineSettings& ls)
{
    if (ls.bitRate != 0) {
        termios t{};
        ::tcgetattr(s.outFd, &t);
        makeRaw(t);
        t.c_cflag &= ~(CSIZE | CSTOPB | PARENB | PARODD | CRTSCTS);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cflag |= ls.dataBits == 5 ? CS5 : ls.dataBits == 6 ? CS6 : ls.dataBits == 7 ? CS7 : CS8;
        if (ls.stopBits == 2) {
            t.c_cflag |= CSTOPB;
        }
        if (ls.parity) {
            t.c_cflag |= PARENB | (ls.oddParity ? PARODD : 0);
            t.c_iflag |= INPCK;
        }
        // Errors and breaks arrive marked (0xFF 0x00 x), so they can be reported.
        t.c_iflag |= PARMRK;
        t.c_iflag &= ~(IGNPAR | IGNBRK | BRKINT);
        const speed_t sp = speedOf(ls.bitRate);
        cfsetispeed(&t, sp);
        cfsetospeed(&t, sp);
        ::tcsetattr(s.outFd, TCSANOW, &t);
        // A tty accepts a change if any part of it applied: check what stuck.
        termios back{};
        ::tcgetattr(s.outFd, &back);
        if (cfgetospeed(&back) != sp || (back.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD)) !=
                                            (t.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD))) {
            std::fprintf(stderr, "zok2gw: UART %u: %s did not take the line settings\n", index,
                         s.where.c_str());
        }
        s.marks.parityOn = ls.parity;
    }
    int rts = TIOCM_RTS;
    ::ioctl(s.outFd, ls.rtsBit ? TIOCMBIS : TIOCMBIC, &rts);
}

void feedInput(uint32_t index, Side& s, const uint8_t* data, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        if (s.kind != Kind::Device) {
            uartModelLineIn(index, data[i], 0);
            continue;
        }
        uint8_t byte = 0;
        uint32_t errors = 0;
        if (s.marks.Feed(data[i], byte, errors)) {
            uartModelLineIn(index, byte, errors);
        }
    }
}

// A socket line's peer left: as an unplugged cable, what the UART sends
// until the next one plugs in is lost.
void unplug(Side& s)
{
    ::close(s.inFd);
    s.inFd = -1;
    s.outFd = -1;
}

// Takes a peer waiting at a socket line.
void plugIn(Side& s)
{
    const int fd = ::accept4(s.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
        s.inFd = fd;
        s.outFd = fd;
    }
}

// A socket line that cannot send: the peer left (perhaps before its end of
// input was read) or none is plugged in. True when a peer that plugged in
// meanwhile is there to take the bytes.
bool replug(Side& s)
{
    if (s.outFd >= 0) {
        unplug(s);
    }
    pollfd p{s.listenFd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) {
        plugIn(s);
    }
    return s.outFd >= 0;
}

// Output the descriptor has not taken yet.
struct Pending {
    uint8_t buf[IO_CHUNK];
    size_t len = 0;
    size_t pos = 0;
};

// Writes what the model sent until the descriptor is full; true while some
// waits for it.
bool flushOutput(uint32_t index, Side& s, Pending& out)
{
    for (;;) {
        if (out.pos == out.len) {
            out.pos = 0;
            out.len = uartModelTakeLine(index, out.buf, sizeof out.buf);
            if (out.len == 0) {
                return false;
            }
        }
        // A peer that left must not end the process with SIGPIPE.
        const ssize_t w = s.kind == Kind::Socket
                              ? ::send(s.outFd, out.buf + out.pos, out.len - out.pos, MSG_NOSIGNAL)
                              : ::write(s.outFd, out.buf + out.pos, out.len - out.pos);
        if (w > 0) {
            out.pos += static_cast<size_t>(w);
        } else if (w < 0 && errno == EINTR) {
            continue;
        } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return true;  // a full PTY or tty: the line waits for its reader
        } else if (s.kind == Kind::Socket && replug(s)) {
            continue;  // a new peer takes what its predecessor did not
        } else {
            out.pos = out.len;  // the descriptor is gone, as an unplugged cable
        }
    }
}

// Reads what the line takes now, at most `room` characters.
void readInput(uint32_t index, Side& s, size_t room)
{
    uint8_t buf[IO_CHUNK];
    while (room > 0) {
        const size_t ask = room < sizeof buf ? room : sizeof buf;
        const ssize_t r = ::read(s.inFd, buf, ask);
        if (r > 0) {
            feedInput(index, s, buf, static_cast<size_t>(r));
            room -= static_cast<size_t>(r);
            // A short read took all there was: the next poll says when more
            // comes. (Reading on to EAGAIN costs a call per wake-up, and on a
            // PTY that call waits for the kernel's tty worker.) A shared
            // blocking standard input is read once per readiness.
            if (static_cast<size_t>(r) < ask || !s.inNonBlocking) {
                return;
            }
            continue;
        }
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EINTR)) {
            if (s.kind == Kind::Socket) {
                unplug(s);  // the peer left: the socket waits for the next
            } else {
                s.inOpen = false;  // end of input: stop polling it
            }
        }
        return;
    }
}

void ioThread(uint32_t index)
{
    Side& s = gSides[index];
    Pending out;
    for (;;) {
        const uint32_t asked = gDrainAsked[index].load();
        const bool outWaits = flushOutput(index, s, out);
        gDrainDone[index].store(asked);  // all written, or its reader holds the rest
        UartLineSettings ls{};
        if (uartModelSettings(index, &ls) && s.kind == Kind::Device) {
            applyDevice(index, s, ls);
        }
        // Input only while the line takes it; at 0 the model wakes us.
        const size_t room = s.inOpen && s.inFd >= 0 ? uartModelLineInRoom(index) : 0;
        const bool unplugged = s.kind == Kind::Socket && s.inFd < 0;
        pollfd fds[3] = {{s.kickFd, POLLIN, 0},
                         {room > 0 ? s.inFd : -1, POLLIN, 0},
                         {unplugged ? s.listenFd : -1, POLLIN, 0}};
        if (::poll(fds, 3, outWaits ? OUT_RETRY_MS : -1) < 0) {
            continue;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            plugIn(s);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            uint64_t count = 0;
            ssize_t r = ::read(s.kickFd, &count, sizeof(count));
            (void)r;  // the kick only wakes us
        }
        if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            readInput(index, s, room);
        }
    }
}

bool openPty(Side& s, const std::string& runDir)
{
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("zok2gw: posix_openpt");
        return false;
    }
    const char* slaveName = ::ptsname(master);
    if (slaveName == nullptr) {
        return false;
    }
    const std::string slavePath = slaveName;
    s.ptySlave = ::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (s.ptySlave >= 0) {
        termios t{};
        ::tcgetattr(s.ptySlave, &t);
        makeRaw(t);
        ::tcsetattr(s.ptySlave, TCSANOW, &t);
    }
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    s.inFd = master;
    s.outFd = master;
    const std::string link = runDir + "/" + s.name;
    ::unlink(link.c_str());  // a stale link of an earlier run
    if (::symlink(slavePath.c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "zok2gw: cannot link %s: %s\n", link.c_str(), std::strerror(errno));
    } else {
        s.link = link;
        s.slavePath = slavePath;
    }
    s.where = slavePath + " (" + link + ")";
    return true;
}

bool openSocket(Side& s, const std::string& how, const std::string& runDir)
{
    s.socketPath = how == "unix" ? runDir + "/" + s.name + ".sock" : how.substr(5);
    std::string error;
    s.listenFd = hostListenUnix(s.socketPath, error);
    if (s.listenFd < 0) {
        std::fprintf(stderr, "zok2gw: %s\n", error.c_str());
        s.socketPath.clear();
        return false;
    }
    s.where = "unix:" + s.socketPath;
    return true;
}

bool openTerminal(Side& s)
{
    s.inFd = STDIN_FILENO;
    s.outFd = STDOUT_FILENO;
    s.inNonBlocking = false;
    s.where = "the terminal";
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    if (terminal && ::tcgetpgrp(STDIN_FILENO) != ::getpgrp()) {
        // In the background: reading keys or changing the terminal would
        // stop the process, so the console only writes.
        s.where = "the terminal (in the background: keys not read)";
        s.inOpen = false;
    } else if (terminal && ::tcgetattr(STDIN_FILENO, &gTerminalSaved) == 0) {
        termios t = gTerminalSaved;
        // Keys one by one without echo; Ctrl-C still stops the runner.
        t.c_lflag &= ~(ICANON | ECHO | IEXTEN);
        t.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        if (::tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0) {
            gTerminalRaw = true;
            std::atexit(restoreTerminal);
            hostAddShutdownHook(restoreTerminal);
        }
    } else {
        s.where = "standard output and input (not a terminal)";
    }
    return true;
}

bool openDevice(Side& s, const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "zok2gw: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    if (::isatty(fd) == 0) {
        std::fprintf(stderr, "zok2gw: %s is not a tty\n", path.c_str());
        ::close(fd);
        return false;
    }
    s.inFd = fd;
    s.outFd = fd;
    s.where = path;
    return true;
}

}  // namespace

bool ParmrkDecoder::Feed(uint8_t in, uint8_t& byte, uint32_t& errors)
{
    constexpr uint8_t ESCAPE = 0xFF;
    errors = 0;
    switch (state) {
    case 0:
        if (in == ESCAPE) {
            state = 1;
            return false;
        }
        byte = in;
        return true;
    case 1:
        if (in == 0) {
            state = 2;
            return false;
        }
        state = 0;
        byte = in;  // 0xFF 0xFF: a literal 0xFF
        return true;
    default:
        state = 0;
        byte = in;
        errors = in == 0 ? (UART_LSR_RX_BI | UART_LSR_RX_FE)
                         : (parityOn ? UART_LSR_RX_PE : UART_LSR_RX_FE);
        return true;
    }
}

void uartHostKick(uint32_t index)
{
    if (index < HOST_NUM_UARTS && gSides[index].kickFd >= 0) {
        const uint64_t one = 1;
        ssize_t r = ::write(gSides[index].kickFd, &one, sizeof(one));
        (void)r;  // an eventfd at its limit is already signalled
    }
}

namespace {

// Before a reset or exit: what the lines sent reaches their descriptors (on
// virtual time the watchdog may end the run a moment after the firmware
// wrote its last words). No allocation and no lock: the reset path.
void drainOutput()
{
    uint32_t asked[HOST_NUM_UARTS] = {};
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        if (gSides[i].kickFd >= 0) {
            asked[i] = gDrainAsked[i].fetch_add(1) + 1;
            uartHostKick(i);
        }
    }
    timespec start{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        bool done = true;
        for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
            done = done && gDrainDone[i].load() >= asked[i];
        }
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        const long waitedMs =
            (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (done || waitedMs >= DRAIN_WAIT_MS) {
            return;
        }
        ::usleep(1000);
    }
}

}  // namespace

bool hostUartAttachAll()
{
    HostScope host;
    const HostBoardConfig& c = hostBoardConfig();
    static const char* const names[HOST_NUM_UARTS] = {"console", "sci1", "sci2", "sci3"};
    hostAddShutdownHook(drainOutput);
    hostAddShutdownHook(removePtyLinks);
    for (uint32_t i = 0; i < HOST_NUM_UARTS; ++i) {
        Side& s = gSides[i];
        s.name = names[i];
        const std::string& how = i == 0 ? c.console : c.sci[i - 1];
        bool ok = false;
        if (how == "tty" && i == 0) {
            s.kind = Kind::Terminal;
            ok = openTerminal(s);
        } else if (how == "pty") {
            s.kind = Kind::Pty;
            ok = openPty(s, c.runDir);
        } else if (i != 0 && (how == "unix" || how.rfind("unix:", 0) == 0)) {
            s.kind = Kind::Socket;
            ok = openSocket(s, how, c.runDir);
        } else {
            s.kind = Kind::Device;
            ok = openDevice(s, how);
        }
        if (!ok) {
            return false;
        }
        s.kickFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        std::fprintf(stderr, "zok2gw: UART %u (%s) on %s\n", i, s.name.c_str(), s.where.c_str());
        uartModelSetAttached(i, true);
        std::thread(ioThread, i).detach();
    }
    return true;
}
