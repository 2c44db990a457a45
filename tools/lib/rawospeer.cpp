// RAWoS line end for tests and zok2line; see rawospeer.h.
#include "rawospeer.h"

namespace zok2tools {

RawosPeer::RawosPeer(const RawosPeerConfig& config) : cfg(config) {}

bool RawosPeer::Send(const Bytes& message)
{
    if (message.empty() || message.size() > cfg.maxMessage) {
        return false;
    }
    output.insert(output.end(), message.begin(), message.end());
    ++counters.messagesSent;
    counters.bytesSent += message.size();
    return true;
}

void RawosPeer::Receive(const uint8_t* data, size_t len, uint64_t nowMs)
{
    for (size_t i = 0; i < len; ++i) {
        // A byte after a long silence starts a new message even if Poll was
        // not called in between.
        if (!current.empty() && nowMs - lastByteMs > cfg.interCharGapMs) {
            ++counters.endedBySilence;
            EndMessage(lastByteMs);
        }
        current.push_back(data[i]);
        ++counters.bytesReceived;
        lastByteMs = nowMs;
        if (current.size() >= cfg.maxMessage) {
            ++counters.endedByLength;
            EndMessage(nowMs);
        }
    }
}

void RawosPeer::Poll(uint64_t nowMs)
{
    if (!current.empty() && nowMs - lastByteMs > cfg.interCharGapMs) {
        ++counters.endedBySilence;
        EndMessage(nowMs);
    }
}

void RawosPeer::EndMessage(uint64_t nowMs)
{
    received.push_back(current);
    current.clear();
    ++counters.messagesReceived;
    everReceived = true;
    lastMessageMs = nowMs;
}

bool RawosPeer::LinkUp(uint64_t nowMs) const
{
    return everReceived && nowMs - lastMessageMs <= cfg.recvTimeoutMs;
}

Bytes RawosPeer::TakeOutput()
{
    Bytes out;
    out.swap(output);
    return out;
}

std::vector<Bytes> RawosPeer::TakeReceived()
{
    std::vector<Bytes> out;
    out.swap(received);
    return out;
}

}  // namespace zok2tools
