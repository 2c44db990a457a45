// Simulated serial line with pacing and fault injection; see linepipe.h.
#include "linepipe.h"

namespace zok2tools {

namespace {
constexpr uint64_t US_PER_MS = 1000;
constexpr uint64_t US_PER_S = 1000000;
}  // namespace

LineChannel::LineChannel(uint32_t rate, uint32_t bits, uint32_t seed)
    : bitRate(rate), bitsPerChar(bits), rng(seed)
{}

void LineChannel::SetFaults(double flipProbability, double dropProbability)
{
    flipP = flipProbability;
    dropP = dropProbability;
}

void LineChannel::DropNext(size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        script.push_back({Script::Drop, 0});
    }
}

void LineChannel::FlipNext(size_t count, uint8_t mask)
{
    for (size_t i = 0; i < count; ++i) {
        script.push_back({Script::Flip, mask});
    }
}

void LineChannel::Write(const uint8_t* data, size_t len, uint64_t nowMs)
{
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::uniform_int_distribution<int> bit(0, 7);
    const uint64_t nowUs = nowMs * US_PER_MS;
    const uint64_t charUs = bitRate == 0 ? 0 : (US_PER_S * bitsPerChar + bitRate - 1) / bitRate;
    for (size_t i = 0; i < len; ++i) {
        ++counters.written;
        uint8_t value = data[i];
        // A lost byte still occupied its time on the line.
        const uint64_t start = lineFreeUs > nowUs ? lineFreeUs : nowUs;
        lineFreeUs = start + charUs;
        bool drop = false;
        if (!script.empty()) {
            const ScriptedFault f = script.front();
            script.pop_front();
            if (f.kind == Script::Drop) {
                drop = true;
            } else {
                value = static_cast<uint8_t>(value ^ f.mask);
                ++counters.flipped;
            }
        } else {
            if (dropP > 0.0 && chance(rng) < dropP) {
                drop = true;
            } else if (flipP > 0.0 && chance(rng) < flipP) {
                value = static_cast<uint8_t>(value ^ (1u << bit(rng)));
                ++counters.flipped;
            }
        }
        if (drop) {
            ++counters.dropped;
            continue;
        }
        line.push_back({value, lineFreeUs});
    }
}

Bytes LineChannel::Read(uint64_t nowMs)
{
    Bytes out;
    const uint64_t nowUs = nowMs * US_PER_MS;
    while (!line.empty() && line.front().arrivesUs <= nowUs) {
        out.push_back(line.front().value);
        line.pop_front();
    }
    counters.delivered += out.size();
    return out;
}

}  // namespace zok2tools
