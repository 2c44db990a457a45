// The host end of one host link as pure logic, driven by the caller's clock:
// what to clock out next (queued frames and packets, else fill), what the
// board clocked back (decoded into messages), the keep-alive connection
// packet and the supervision of the board's link. No threads and no I/O, so
// that tests run it against a controllable clock; hostlink_client.h puts it
// on a socket. Not thread safe: the client serialises calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "hostlink_codec.h"

namespace hostlink {

// Largest burst the rate cap lets through at once, in bytes: a quarter of
// the board's receive FIFO.
constexpr uint32_t kMaxBurstBytes = 2048;

struct LinkConfig {
    uint32_t connectionWindowMs = 1000;  // send 10 06 after this long without sending anything
    uint32_t recvTimeoutMs = 2000;       // the board's link is down after more silence than this
    bool keepAlive = true;               // false: send connection packets only on request
    // Cap on queued bytes clocked out per second; 0 = as fast as the link goes.
    // The board empties its receive FIFO (8 KiB) once per 10 ms worker pass, so
    // an unthrottled stream of frames at the full SPI rate overruns it. The
    // default lets an eighth of the FIFO in per pass, and with a full burst
    // allowance (kMaxBurstBytes) half of it over three passes: a pass that
    // comes late (its task waits while the router empties the mailbox) still
    // finds room, and small messages rarely fill the router mailbox at all.
    uint32_t maxTxBytesPerSec = 100000;
};

struct LinkStats {
    uint64_t bytesClocked = 0;   // words exchanged, each way
    uint64_t dataBytesSent = 0;  // bytes of frames and packets clocked out
    uint64_t framesSent = 0;
    uint64_t connectionsSent = 0;
    uint64_t framesReceived = 0;
    uint64_t connectionsReceived = 0;
    uint64_t payloadBytesReceived = 0;
    uint64_t crcErrors = 0;
    uint64_t shortTexts = 0;
    uint64_t formatErrors = 0;
    uint64_t linkUps = 0;
    uint64_t linkDowns = 0;
};

class LinkEngine {
public:
    using MessageHandler = std::function<void(const Message&)>;
    using LinkHandler = std::function<void(bool up)>;

    LinkEngine(const LinkConfig& config, uint64_t nowMs);

    // Queues a frame; any frame also postpones the next connection packet.
    void queueMessage(const Message& msg, uint64_t nowMs);
    // Queues bytes as they are (malformed frames, packets by hand).
    void queueRaw(const std::vector<uint8_t>& bytes, uint64_t nowMs);
    void queueConnection(uint64_t nowMs);

    // Supervision and keep-alive: call before building each chunk.
    void tick(uint64_t nowMs);
    // Supervision only, for a link that is not being clocked.
    void supervise(uint64_t nowMs);
    // The next bytes to clock out: queued bytes (at most maxLen, within the
    // rate cap), or idleLen fill bytes when nothing may go. Fill never goes
    // inside a frame: a frame cut by maxLen continues in the next chunk.
    std::vector<uint8_t> nextChunk(uint64_t nowMs, size_t idleLen, size_t maxLen);
    // Bytes the board clocked back.
    void received(const uint8_t* bytes, size_t len, uint64_t nowMs);

    bool linkUp() const { return linkUp_; }
    size_t pendingBytes() const { return pendingBytes_; }
    const LinkStats& stats() const { return stats_; }
    void setKeepAlive(bool on) { config_.keepAlive = on; }
    void setMaxTxBytesPerSec(uint32_t rate) { config_.maxTxBytesPerSec = rate; }

    void onMessage(MessageHandler handler) { onMessage_ = std::move(handler); }
    void onLink(LinkHandler handler) { onLink_ = std::move(handler); }

private:
    struct Unit {
        std::vector<uint8_t> bytes;
        size_t sent = 0;
        bool frame = false;
        bool connection = false;
    };

    void queueUnit(Unit unit, uint64_t nowMs);
    void setLink(bool up);

    LinkConfig config_;
    std::deque<Unit> queue_;
    size_t pendingBytes_ = 0;
    uint64_t markSentMs_;  // last frame or packet queued
    uint64_t markRecvMs_;  // last frame or packet received
    bool linkUp_ = false;
    double budget_ = 0;  // bytes that may still go under the rate cap
    uint64_t budgetMs_;
    Decoder decoder_;
    LinkStats stats_;
    MessageHandler onMessage_;
    LinkHandler onLink_;
};

}  // namespace hostlink
