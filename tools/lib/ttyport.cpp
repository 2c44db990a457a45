// Serial port for the line tools on Linux termios; see ttyport.h.
#include "ttyport.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

namespace zok2tools {

namespace {

struct RateEntry {
    uint32_t rate;
    speed_t code;
};

constexpr RateEntry RATES[] = {
    {1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
    {230400, B230400}, {460800, B460800}, {921600, B921600},
};

bool RateCode(uint32_t rate, speed_t& code)
{
    for (const RateEntry& e : RATES) {
        if (e.rate == rate) {
            code = e.code;
            return true;
        }
    }
    return false;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Unix98 pseudo-terminal slaves: no wire, so the kernel keeps no parity.
constexpr unsigned PTY_SLAVE_MAJOR_FIRST = 136;
constexpr unsigned PTY_SLAVE_MAJOR_LAST = 143;

bool IsPty(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned m = major(st.st_rdev);
    return m >= PTY_SLAVE_MAJOR_FIRST && m <= PTY_SLAVE_MAJOR_LAST;
}

bool Configure(int fd, uint32_t bitRate, Parity parity, uint32_t stopBits, std::string& error,
               std::string& warning)
{
    speed_t code;
    if (!RateCode(bitRate, code)) {
        error = "unsupported bit rate " + std::to_string(bitRate);
        return false;
    }
    if (stopBits != 1 && stopBits != 2) {
        error = "stop bits must be 1 or 2";
        return false;
    }
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) {
        error = Errno("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CSTOPB | PARENB | PARODD | CSIZE);
    tio.c_cflag |= CS8;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK);
    if (stopBits == 2) {
        tio.c_cflag |= CSTOPB;
    }
    if (parity != Parity::None) {
        tio.c_cflag |= PARENB;
        tio.c_iflag |= INPCK;
        if (parity == Parity::Odd) {
            tio.c_cflag |= PARODD;
        }
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, code);
    cfsetospeed(&tio, code);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        error = Errno("tcsetattr");
        return false;
    }
    termios back{};
    if (tcgetattr(fd, &back) != 0) {
        error = Errno("tcgetattr");
        return false;
    }
    const tcflag_t parityBits = PARENB | PARODD;
    const tcflag_t wanted = CSIZE | CSTOPB | parityBits;
    const tcflag_t differ = (back.c_cflag ^ tio.c_cflag) & wanted;
    if (cfgetospeed(&back) == code && (differ == parityBits || differ == PARENB) && IsPty(fd)) {
        warning = "parity has no meaning on a pseudo-terminal and is ignored";
        return true;
    }
    if (differ != 0 || cfgetospeed(&back) != code) {
        error = "the device did not take the line settings";
        return false;
    }
    return true;
}

}  // namespace

bool ParseParity(const std::string& text, Parity& parity)
{
    if (text == "none" || text == "n") {
        parity = Parity::None;
    } else if (text == "even" || text == "e") {
        parity = Parity::Even;
    } else if (text == "odd" || text == "o") {
        parity = Parity::Odd;
    } else {
        return false;
    }
    return true;
}

TtyPort::~TtyPort() { Close(); }

bool TtyPort::Open(const std::string& path, uint32_t bitRate, Parity parity, uint32_t stopBits,
                   std::string& error)
{
    Close();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) {
        return OpenSocket(path, error);
    }
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = Errno(path.c_str());
        return false;
    }
    warning.clear();
    if (!Configure(fd, bitRate, parity, stopBits, error, warning)) {
        Close();
        return false;
    }
    tcflush(fd, TCIOFLUSH);
    return true;
}

bool TtyPort::OpenPty(uint32_t bitRate, std::string& slavePath, std::string& error)
{
    Close();
    fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0) {
        error = Errno("posix_openpt");
        Close();
        return false;
    }
    char name[128];
    if (::ptsname_r(fd, name, sizeof(name)) != 0) {
        error = Errno("ptsname_r");
        Close();
        return false;
    }
    slavePath = name;
    ptySlaveFd = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (ptySlaveFd < 0) {
        error = Errno(name);
        Close();
        return false;
    }
    warning.clear();
    if (!Configure(ptySlaveFd, bitRate, Parity::None, 1, error, warning)) {
        Close();
        return false;
    }
    return true;
}

bool TtyPort::OpenSocket(const std::string& path, std::string& error)
{
    Close();
    sockaddr_un sa{};
    if (path.size() >= sizeof sa.sun_path) {
        error = "socket path too long: " + path;
        return false;
    }
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = Errno(path.c_str());
        Close();
        return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    warning.clear();
    return true;
}

void TtyPort::Close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    if (ptySlaveFd >= 0) {
        ::close(ptySlaveFd);
        ptySlaveFd = -1;
    }
}

bool TtyPort::WaitReadable(int timeoutMs) const
{
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN) != 0;
}

long TtyPort::Read(uint8_t* buffer, size_t capacity)
{
    for (;;) {
        const ssize_t n = ::read(fd, buffer, capacity);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno == EINTR) {
            continue;
        }
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

bool TtyPort::WriteAll(const uint8_t* data, size_t len)
{
    size_t done = 0;
    while (done < len) {
        const ssize_t n = ::write(fd, data + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
            continue;
        }
        return false;
    }
    return true;
}

}  // namespace zok2tools
