// Host end of a host link over a stream socket: see hostlink_client.h.
#include "hostlink_client.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

namespace hostlink {

namespace {

constexpr size_t kExchangesAhead = 2;

int connectUnix(const std::string& path, std::string* error)
{
    sockaddr_un sa{};
    if (path.size() >= sizeof sa.sun_path) {
        if (error) *error = "socket path too long: " + path;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (error) *error = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (error) *error = "connect " + path + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

int connectTcp(const std::string& where, std::string* error)
{
    std::string host = "127.0.0.1";
    std::string port = where;
    const size_t colon = where.rfind(':');
    if (colon != std::string::npos) {
        host = where.substr(0, colon);
        port = where.substr(colon + 1);
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0) {
        if (error) *error = "resolve " + where + ": " + ::gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    std::string why = "no address";
    for (addrinfo* ai = res; ai != nullptr; ai = ai->ai_next) {
        fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            why = std::strerror(errno);
            continue;
        }
        if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) {
            break;
        }
        why = std::strerror(errno);
        ::close(fd);
        fd = -1;
    }
    ::freeaddrinfo(res);
    if (fd < 0) {
        if (error) *error = "connect tcp:" + where + ": " + why;
        return -1;
    }
    // Exchanges are small and answered one by one: do not let Nagle hold them.
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Moves all of buf through the socket; false on error, close or time-out.
bool writeAll(int fd, const uint8_t* buf, size_t len, int timeoutMs)
{
    while (len > 0) {
        pollfd p{fd, POLLOUT, 0};
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        const ssize_t n = ::send(fd, buf, len, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool readAll(int fd, uint8_t* buf, size_t len, int timeoutMs)
{
    while (len > 0) {
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc <= 0) return false;
        const ssize_t n = ::recv(fd, buf, len, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

Client::Client(const ClientOptions& options) : options_(options), engine_(options.link, nowMs()) {}

Client::~Client() { disconnect(); }

uint64_t Client::nowMs() const
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

bool Client::connect(const std::string& endpoint, std::string* error)
{
    disconnect();
    int fd;
    if (endpoint.rfind("tcp:", 0) == 0) {
        fd = connectTcp(endpoint.substr(4), error);
    } else if (endpoint.rfind("unix:", 0) == 0) {
        fd = connectUnix(endpoint.substr(5), error);
    } else {
        fd = connectUnix(endpoint, error);
    }
    if (fd < 0) {
        return false;
    }
    {
        // Each connection starts with a fresh link: nothing queued, link down.
        std::lock_guard<std::mutex> lock(mutex_);
        engine_ = LinkEngine(options_.link, nowMs());
        inbox_.clear();
        fd_ = fd;
        wake_ = false;
    }
    stop_ = false;
    connected_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void Client::disconnect()
{
    stop_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    connected_ = false;
}

void Client::run()
{
    std::vector<uint8_t> reply;
    std::vector<Message> gotMessages;
    std::vector<bool> gotLinks;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        engine_.onMessage([&](const Message& m) { gotMessages.push_back(m); });
        engine_.onLink([&](bool up) { gotLinks.push_back(up); });
    }
    const int timeout = static_cast<int>(options_.replyTimeoutMs);
    // Exchanges written but not yet answered, oldest first. While there is
    // work a second one is written ahead, so that the bus never idles
    // while a reply travels back.
    std::deque<size_t> inflight;
    bool failed = false;
    bool busy = false;
    bool boardTalking = false;
    while (!stop_ || !inflight.empty()) {
        // Once asked to stop, only the answers still travelling are read, so
        // that the board's side sees a clean end and lets the next master in.
        while (!stop_ && (inflight.empty() || (busy && inflight.size() < kExchangesAhead))) {
            std::vector<uint8_t> chunk;
            {
                // While the board talks, clock it out in long bursts.
                std::lock_guard<std::mutex> lock(mutex_);
                engine_.tick(nowMs());
                chunk = engine_.nextChunk(nowMs(),
                                          boardTalking ? options_.maxChunk : options_.idleBurst,
                                          options_.maxChunk);
                inflightBytes_ += chunk.size();
            }
            if (!writeAll(fd_, chunk.data(), chunk.size(), timeout)) {
                failed = true;
                break;
            }
            if (tap_) tap_(true, chunk.data(), chunk.size());
            inflight.push_back(chunk.size());
        }
        if (failed || inflight.empty()) {
            break;
        }
        // Every byte clocked in is answered by one byte out: read exactly as many.
        reply.resize(inflight.front());
        inflight.pop_front();
        if (!readAll(fd_, reply.data(), reply.size(), timeout)) {
            break;
        }
        if (tap_) tap_(false, reply.data(), reply.size());
        boardTalking = false;
        for (uint8_t b : reply) {
            boardTalking = boardTalking || b != kFill;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            inflightBytes_ -= reply.size();
            engine_.received(reply.data(), reply.size(), nowMs());
            for (const Message& m : gotMessages) {
                if (inbox_.size() < options_.maxQueuedMessages) {
                    inbox_.push_back(m);
                }
            }
            busy = engine_.pendingBytes() > 0 || boardTalking;
        }
        // Handlers run outside the lock so that they may call back into the client.
        for (const Message& m : gotMessages) {
            if (userOnMessage_) userOnMessage_(m);
        }
        for (bool up : gotLinks) {
            if (userOnLink_) userOnLink_(up);
        }
        if (!gotMessages.empty() || !gotLinks.empty()) {
            changed_.notify_all();
        }
        gotMessages.clear();
        gotLinks.clear();
        if (busy || !inflight.empty() || stop_) {
            continue;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(options_.pollIntervalMs),
                          [this] { return wake_; });
        wake_ = false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    engine_.onMessage(nullptr);
    engine_.onLink(nullptr);
    inflightBytes_ = 0;
    connected_ = false;
    changed_.notify_all();
}

void Client::send(const Message& msg)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        engine_.queueMessage(msg, nowMs());
        wake_ = true;
    }
    changed_.notify_all();
}

void Client::sendRaw(const std::vector<uint8_t>& bytes)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        engine_.queueRaw(bytes, nowMs());
        wake_ = true;
    }
    changed_.notify_all();
}

void Client::sendConnection()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        engine_.queueConnection(nowMs());
        wake_ = true;
    }
    changed_.notify_all();
}

bool Client::waitSent(uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(mutex_);
    while (engine_.pendingBytes() > 0 || inflightBytes_ > 0) {
        if (!connected_ || std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        lock.lock();
    }
    return true;
}

bool Client::waitMessage(Message& out, uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                           [this] { return !inbox_.empty(); })) {
        return false;
    }
    out = std::move(inbox_.front());
    inbox_.pop_front();
    return true;
}

size_t Client::queuedMessages()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return inbox_.size();
}

bool Client::linkUp()
{
    std::lock_guard<std::mutex> lock(mutex_);
    // A link that is no longer clocked still times out.
    engine_.supervise(nowMs());
    return engine_.linkUp();
}

bool Client::waitLink(bool up, uint32_t timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (linkUp() != up) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(10));
    }
    return true;
}

void Client::setKeepAlive(bool on)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_.link.keepAlive = on;
    engine_.setKeepAlive(on);
}

void Client::setMaxTxBytesPerSec(uint32_t rate)
{
    std::lock_guard<std::mutex> lock(mutex_);
    options_.link.maxTxBytesPerSec = rate;
    engine_.setMaxTxBytesPerSec(rate);
}

LinkStats Client::stats()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return engine_.stats();
}

}  // namespace hostlink
