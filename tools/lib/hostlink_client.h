// The host processor's end of a host link over the runner's socket: a
// background thread plays the SPI master, clocking queued bytes (or fill)
// into the board and feeding every byte clocked back to a LinkEngine.
// While the board has something to say, or bytes are queued, it clocks
// without pause; otherwise it polls with a short burst every pollIntervalMs.
// All public operations are thread safe.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "hostlink_engine.h"

namespace hostlink {

struct ClientOptions {
    LinkConfig link;
    uint32_t pollIntervalMs = 5;        // pause between idle bursts
    size_t idleBurst = 32;              // fill bytes clocked per idle poll
    size_t maxChunk = 4096;             // bytes clocked per exchange at most
    uint32_t replyTimeoutMs = 3000;     // a board that stops answering this long is dropped
    size_t maxQueuedMessages = 100000;  // received messages kept for waitMessage
};

class Client {
public:
    explicit Client(const ClientOptions& options = ClientOptions());
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Endpoint: "unix:PATH", "tcp:HOST:PORT", "tcp:PORT" (localhost) or a
    // plain path (a Unix socket). Starts the clocking thread. False with a
    // reason in *error when the board cannot be reached.
    bool connect(const std::string& endpoint, std::string* error = nullptr);
    // Stops clocking and closes the socket; the board's link then times out.
    void disconnect();
    // False once the board closed the connection or stopped answering.
    bool connected() const { return connected_.load(); }

    void send(const Message& msg);
    void sendRaw(const std::vector<uint8_t>& bytes);
    void sendConnection();
    // Waits until every queued byte has been clocked out and answered.
    bool waitSent(uint32_t timeoutMs);

    // Next message the board sent, oldest first.
    bool waitMessage(Message& out, uint32_t timeoutMs);
    size_t queuedMessages();

    bool linkUp();
    bool waitLink(bool up, uint32_t timeoutMs);

    void setKeepAlive(bool on);
    void setMaxTxBytesPerSec(uint32_t rate);
    LinkStats stats();

    // Called on the clocking thread; set before connect.
    void onMessage(LinkEngine::MessageHandler handler) { userOnMessage_ = std::move(handler); }
    void onLink(LinkEngine::LinkHandler handler) { userOnLink_ = std::move(handler); }
    // Every byte as it crossed the link: clocked out (toBoard) once written,
    // clocked back once read. Called on the clocking thread; set before connect.
    using ByteTap = std::function<void(bool toBoard, const uint8_t* bytes, size_t len)>;
    void onBytes(ByteTap tap) { tap_ = std::move(tap); }

private:
    void run();
    uint64_t nowMs() const;

    ClientOptions options_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    LinkEngine engine_;
    std::deque<Message> inbox_;
    LinkEngine::MessageHandler userOnMessage_;
    LinkEngine::LinkHandler userOnLink_;
    ByteTap tap_;
    size_t inflightBytes_ = 0;  // clocked out, not yet answered
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    bool wake_ = false;
};

}  // namespace hostlink
