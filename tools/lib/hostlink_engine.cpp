// Host end of a host link as pure logic: see hostlink_engine.h.
#include "hostlink_engine.h"

#include <algorithm>

namespace hostlink {

namespace {
constexpr double kMaxBurst = kMaxBurstBytes;
}  // namespace

LinkEngine::LinkEngine(const LinkConfig& config, uint64_t nowMs)
    : config_(config), markSentMs_(nowMs), markRecvMs_(nowMs), budget_(kMaxBurst), budgetMs_(nowMs)
{}

void LinkEngine::queueUnit(Unit unit, uint64_t nowMs)
{
    pendingBytes_ += unit.bytes.size();
    queue_.push_back(std::move(unit));
    markSentMs_ = nowMs;
}

void LinkEngine::queueMessage(const Message& msg, uint64_t nowMs)
{
    Unit u;
    u.bytes = encodeFrame(msg);
    u.frame = true;
    queueUnit(std::move(u), nowMs);
}

void LinkEngine::queueRaw(const std::vector<uint8_t>& bytes, uint64_t nowMs)
{
    Unit u;
    u.bytes = bytes;
    queueUnit(std::move(u), nowMs);
}

void LinkEngine::queueConnection(uint64_t nowMs)
{
    Unit u;
    u.bytes = connectionPacket();
    u.connection = true;
    queueUnit(std::move(u), nowMs);
}

void LinkEngine::setLink(bool up)
{
    if (up == linkUp_) {
        return;
    }
    linkUp_ = up;
    ++(up ? stats_.linkUps : stats_.linkDowns);
    if (onLink_) {
        onLink_(up);
    }
}

void LinkEngine::supervise(uint64_t nowMs)
{
    if (linkUp_ && nowMs - markRecvMs_ > config_.recvTimeoutMs) {
        setLink(false);
    }
}

void LinkEngine::tick(uint64_t nowMs)
{
    supervise(nowMs);
    if (config_.keepAlive && nowMs - markSentMs_ > config_.connectionWindowMs) {
        queueConnection(nowMs);
    }
}

std::vector<uint8_t> LinkEngine::nextChunk(uint64_t nowMs, size_t idleLen, size_t maxLen)
{
    if (config_.maxTxBytesPerSec != 0) {
        budget_ = std::min(kMaxBurst, budget_ + static_cast<double>(nowMs - budgetMs_) *
                                                    config_.maxTxBytesPerSec / 1000.0);
    }
    budgetMs_ = nowMs;

    std::vector<uint8_t> out;
    while (!queue_.empty() && out.size() < maxLen) {
        Unit& u = queue_.front();
        // The cap holds back only whole units: a unit already begun goes on,
        // since fill bytes inside a frame would become part of its text.
        if (u.sent == 0 && config_.maxTxBytesPerSec != 0 && budget_ <= 0) {
            break;
        }
        const size_t n = std::min(u.bytes.size() - u.sent, maxLen - out.size());
        out.insert(out.end(), u.bytes.begin() + static_cast<std::ptrdiff_t>(u.sent),
                   u.bytes.begin() + static_cast<std::ptrdiff_t>(u.sent + n));
        u.sent += n;
        pendingBytes_ -= n;
        budget_ -= static_cast<double>(n);
        if (u.sent == u.bytes.size()) {
            stats_.framesSent += u.frame ? 1 : 0;
            stats_.connectionsSent += u.connection ? 1 : 0;
            queue_.pop_front();
        }
    }
    stats_.dataBytesSent += out.size();
    if (out.empty()) {
        out.assign(idleLen, kFill);
    }
    stats_.bytesClocked += out.size();
    return out;
}

void LinkEngine::received(const uint8_t* bytes, size_t len, uint64_t nowMs)
{
    for (size_t i = 0; i < len; ++i) {
        switch (decoder_.feed(bytes[i])) {
        case Decoder::Event::None:
            break;
        case Decoder::Event::Frame:
            ++stats_.framesReceived;
            stats_.payloadBytesReceived += decoder_.message().payload.size();
            markRecvMs_ = nowMs;
            setLink(true);
            if (onMessage_) {
                onMessage_(decoder_.message());
            }
            break;
        case Decoder::Event::Connection:
            ++stats_.connectionsReceived;
            markRecvMs_ = nowMs;
            setLink(true);
            break;
        case Decoder::Event::CrcError:
            ++stats_.crcErrors;
            break;
        case Decoder::Event::ShortText:
            ++stats_.shortTexts;
            break;
        case Decoder::Event::FormatError:
            ++stats_.formatErrors;
            break;
        }
    }
}

}  // namespace hostlink
