// zok2line: a serial-line peer of the gateway for people and scripts. Speaks
// BAC-M (master or slave) or RAWoS on a tty or PTY at a bit rate and parity,
// sends each line of its standard input as one message, and prints every
// message it receives, link changes and, on request, the counters.
// Input lines: plain text is sent as it is (without the line end);
// "!hex 41 10 42" sends the bytes given; "!stats" prints the link state and
// counters; "!quit" ends. At the end of input it finishes sending, lingers
// for --linger ms to print late answers, and exits.
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <poll.h>
#include <string>
#include <unistd.h>

#include "bacmpeer.h"
#include "rawospeer.h"
#include "ttyport.h"

using namespace zok2tools;

namespace {

constexpr int POLL_MS = 2;  // loop period: well below any BAC-M time-out
constexpr size_t READ_CHUNK = 512;

struct Options {
    std::string protocol = "bacm";
    std::string device;
    bool makePty = false;
    uint32_t rate = 9600;
    Parity parity = Parity::None;
    uint32_t stopBits = 1;
    BacmPeerConfig bacm;
    RawosPeerConfig rawos;
    bool hexOnly = false;
    uint32_t lingerMs = 1000;
    bool recvTimeoutGiven = false;
};

// A BAC-M master that repeats sooner than the board's slave gives up its
// turn (200 ms) repeats into that turn, and the board delivers twice.
constexpr uint32_t MASTER_RECV_TIMEOUT_MS = 500;

void Usage()
{
    std::fprintf(stderr,
                 "usage: zok2line (--device PATH | --pty) [--protocol bacm|rawos]\n"
                 "                [--rate BPS] [--parity none|even|odd] [--stop 1|2]\n"
                 "  bacm:  [--master | --slave] [--addr N] [--recv-timeout MS (master: 500)]\n"
                 "         [--ack-window MS]\n"
                 "  rawos: [--gap MS] [--recv-timeout MS]\n"
                 "         [--hex] [--linger MS]\n"
                 "input: a text line is one message; !hex 41 10 42 | !stats | !quit\n");
}

bool ParseNumber(const char* text, uint32_t& value)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long v = std::strtoul(text, &end, 0);
    if (errno != 0 || end == text || *end != '\0' || v > 0xFFFFFFFFul) {
        return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseArgs(int argc, char** argv, Options& o)
{
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        uint32_t n = 0;
        auto number = [&](uint32_t& out) {
            if (!hasValue || !ParseNumber(argv[++i], n)) {
                return false;
            }
            out = n;
            return true;
        };
        if (a == "--device" && hasValue) {
            o.device = argv[++i];
        } else if (a == "--pty") {
            o.makePty = true;
        } else if (a == "--protocol" && hasValue) {
            o.protocol = argv[++i];
        } else if (a == "--rate") {
            if (!number(o.rate)) return false;
        } else if (a == "--parity" && hasValue) {
            if (!ParseParity(argv[++i], o.parity)) return false;
        } else if (a == "--stop") {
            if (!number(o.stopBits)) return false;
        } else if (a == "--master") {
            o.bacm.master = true;
        } else if (a == "--slave") {
            o.bacm.master = false;
        } else if (a == "--addr") {
            uint32_t addr = 0;
            if (!number(addr) || addr > 0xFF) return false;
            o.bacm.address = static_cast<uint8_t>(addr);
        } else if (a == "--recv-timeout") {
            uint32_t ms = 0;
            if (!number(ms)) return false;
            o.bacm.recvTimeoutMs = ms;
            o.rawos.recvTimeoutMs = ms;
            o.recvTimeoutGiven = true;
        } else if (a == "--ack-window") {
            if (!number(o.bacm.ackWindowMs)) return false;
        } else if (a == "--gap") {
            if (!number(o.rawos.interCharGapMs)) return false;
        } else if (a == "--hex") {
            o.hexOnly = true;
        } else if (a == "--linger") {
            if (!number(o.lingerMs)) return false;
        } else {
            return false;
        }
    }
    if (o.bacm.master && !o.recvTimeoutGiven) {
        o.bacm.recvTimeoutMs = MASTER_RECV_TIMEOUT_MS;
    }
    return (o.protocol == "bacm" || o.protocol == "rawos") && (o.makePty != !o.device.empty());
}

uint64_t NowMs()
{
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void PrintMessage(const Bytes& m, bool hexOnly)
{
    std::printf("rx %zu:", m.size());
    for (uint8_t b : m) {
        std::printf(" %02x", b);
    }
    if (!hexOnly) {
        std::printf("  |");
        for (uint8_t b : m) {
            std::putchar(b >= 0x20 && b < 0x7F ? b : '.');
        }
        std::putchar('|');
    }
    std::putchar('\n');
}

bool ParseHex(const std::string& text, Bytes& out)
{
    size_t pos = 0;
    while (pos < text.size()) {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t')) ++pos;
        if (pos >= text.size()) break;
        size_t end = pos;
        while (end < text.size() && text[end] != ' ' && text[end] != '\t') ++end;
        uint32_t v = 0;
        const std::string tok = "0x" + text.substr(pos, end - pos);
        if (!ParseNumber(tok.c_str(), v) || v > 0xFF) return false;
        out.push_back(static_cast<uint8_t>(v));
        pos = end;
    }
    return !out.empty();
}

// The two protocols behind one face for the loop below.
class Line {
public:
    virtual ~Line() = default;
    virtual bool Send(const Bytes& m) = 0;
    virtual void Receive(const uint8_t* d, size_t n, uint64_t now) = 0;
    virtual void Poll(uint64_t now) = 0;
    virtual Bytes TakeOutput() = 0;
    virtual std::vector<Bytes> TakeReceived() = 0;
    virtual bool Up(uint64_t now) const = 0;
    virtual bool Busy() const = 0;  // still has messages to send
    virtual void PrintStats(uint64_t now) const = 0;
};

class BacmLine : public Line {
public:
    BacmLine(const BacmPeerConfig& c, uint64_t now) : peer(c, now) {}
    bool Send(const Bytes& m) override { return peer.Send(m); }
    void Receive(const uint8_t* d, size_t n, uint64_t now) override { peer.Receive(d, n, now); }
    void Poll(uint64_t now) override { peer.Poll(now); }
    Bytes TakeOutput() override { return peer.TakeOutput(); }
    std::vector<Bytes> TakeReceived() override { return peer.TakeReceived(); }
    bool Up(uint64_t) const override { return peer.LinkUp(); }
    bool Busy() const override { return peer.Queued() != 0; }
    void PrintStats(uint64_t) const override
    {
        const BacmPeerCounters& c = peer.Counters();
        std::printf("link %s, queued %zu\n", peer.LinkUp() ? "up" : "down", peer.Queued());
        std::printf("info sent %llu (repeated %llu), received %llu\n",
                    static_cast<unsigned long long>(c.infoSent),
                    static_cast<unsigned long long>(c.infoRepeated),
                    static_cast<unsigned long long>(c.infoReceived));
        std::printf("ack sent %llu, received %llu; nak sent %llu, received %llu\n",
                    static_cast<unsigned long long>(c.ackSent),
                    static_cast<unsigned long long>(c.ackReceived),
                    static_cast<unsigned long long>(c.nakSent),
                    static_cast<unsigned long long>(c.nakReceived));
        std::printf(
            "crc errors %llu, format errors %llu, empty frames %llu, time-outs %llu, "
            "link downs %llu\n",
            static_cast<unsigned long long>(c.crcErrors),
            static_cast<unsigned long long>(c.formatErrors),
            static_cast<unsigned long long>(c.emptyFrames),
            static_cast<unsigned long long>(c.timeouts),
            static_cast<unsigned long long>(c.linkDowns));
    }

private:
    BacmPeer peer;
};

class RawosLine : public Line {
public:
    RawosLine(const RawosPeerConfig& c, uint32_t bitRate)
        : peer(c), rate(bitRate), gapMs(c.interCharGapMs), maxMessage(c.maxMessage)
    {}
    // Messages are released one at a time with a silence longer than the
    // gap behind each, so that every input line stays one message.
    bool Send(const Bytes& m) override
    {
        if (m.empty() || m.size() > maxMessage) return false;
        pending.push_back(m);
        return true;
    }
    void Receive(const uint8_t* d, size_t n, uint64_t now) override { peer.Receive(d, n, now); }
    void Poll(uint64_t now) override
    {
        peer.Poll(now);
        if (!pending.empty() && now >= nextFreeMs) {
            peer.Send(pending.front());
            nextFreeMs = now + LineTimeMs(pending.front().size()) + gapMs + 1;
            pending.pop_front();
        }
    }
    Bytes TakeOutput() override { return peer.TakeOutput(); }
    std::vector<Bytes> TakeReceived() override { return peer.TakeReceived(); }
    bool Up(uint64_t now) const override { return peer.LinkUp(now); }
    bool Busy() const override { return !pending.empty(); }
    void PrintStats(uint64_t now) const override
    {
        const RawosPeerCounters& c = peer.Counters();
        std::printf("link %s, queued %zu\n", peer.LinkUp(now) ? "up" : "down", pending.size());
        std::printf(
            "sent %llu messages (%llu bytes); received %llu messages (%llu bytes), "
            "%llu ended by silence, %llu by length\n",
            static_cast<unsigned long long>(c.messagesSent),
            static_cast<unsigned long long>(c.bytesSent),
            static_cast<unsigned long long>(c.messagesReceived),
            static_cast<unsigned long long>(c.bytesReceived),
            static_cast<unsigned long long>(c.endedBySilence),
            static_cast<unsigned long long>(c.endedByLength));
    }

private:
    static constexpr uint64_t BITS_PER_CHAR = 11;  // start, 8 data, parity, stop: the worst case

    uint64_t LineTimeMs(size_t len) const { return (len * BITS_PER_CHAR * 1000 + rate - 1) / rate; }

    RawosPeer peer;
    const uint32_t rate;
    const uint32_t gapMs;
    const size_t maxMessage;
    std::deque<Bytes> pending;
    uint64_t nextFreeMs = 0;
};

// Handles one input line; false when the user asked to quit.
bool HandleInput(const std::string& lineText, Line& line, uint64_t now)
{
    if (lineText == "!quit") {
        return false;
    }
    if (lineText == "!stats") {
        line.PrintStats(now);
        return true;
    }
    Bytes msg;
    if (lineText.rfind("!hex", 0) == 0) {
        if (!ParseHex(lineText.substr(4), msg)) {
            std::printf("error: bad hex bytes\n");
            return true;
        }
    } else {
        msg.assign(lineText.begin(), lineText.end());
    }
    if (!line.Send(msg)) {
        std::printf("error: message refused (empty, too long or queue full)\n");
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseArgs(argc, argv, o)) {
        Usage();
        return 2;
    }
    TtyPort port;
    std::string error;
    if (o.makePty) {
        std::string slave;
        if (!port.OpenPty(o.rate, slave, error)) {
            std::fprintf(stderr, "zok2line: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(stderr, "zok2line: pty %s\n", slave.c_str());
    } else if (!port.Open(o.device, o.rate, o.parity, o.stopBits, error)) {
        std::fprintf(stderr, "zok2line: %s\n", error.c_str());
        return 1;
    }
    if (!port.Warning().empty()) {
        std::fprintf(stderr, "zok2line: %s\n", port.Warning().c_str());
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);

    uint64_t now = NowMs();
    std::unique_ptr<Line> line;
    if (o.protocol == "bacm") {
        line.reset(new BacmLine(o.bacm, now));
    } else {
        line.reset(new RawosLine(o.rawos, o.rate));
    }

    std::string pendingInput;
    bool inputOpen = true;
    bool wasUp = false;
    uint64_t idleSince = 0;
    uint8_t buf[READ_CHUNK];
    for (;;) {
        pollfd fds[2] = {{port.Fd(), POLLIN, 0}, {inputOpen ? 0 : -1, POLLIN, 0}};
        ::poll(fds, 2, POLL_MS);
        now = NowMs();

        const long n = port.Read(buf, sizeof(buf));
        if (n < 0) {
            std::fprintf(stderr, "zok2line: the line is gone\n");
            return 1;
        }
        line->Receive(buf, static_cast<size_t>(n), now);

        if (inputOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            const ssize_t got = ::read(0, buf, sizeof(buf));
            if (got <= 0) {
                inputOpen = false;
                idleSince = now;
            } else {
                pendingInput.append(reinterpret_cast<const char*>(buf), static_cast<size_t>(got));
            }
        }
        size_t eol;
        while ((eol = pendingInput.find('\n')) != std::string::npos) {
            std::string text = pendingInput.substr(0, eol);
            pendingInput.erase(0, eol + 1);
            if (!text.empty() && text.back() == '\r') text.pop_back();
            if (text.empty()) continue;
            if (!HandleInput(text, *line, now)) return 0;
        }

        line->Poll(now);
        const Bytes out = line->TakeOutput();
        if (!out.empty() && !port.WriteAll(out.data(), out.size())) {
            std::fprintf(stderr, "zok2line: write failed\n");
            return 1;
        }
        for (const Bytes& m : line->TakeReceived()) {
            PrintMessage(m, o.hexOnly);
        }
        const bool up = line->Up(now);
        if (up != wasUp) {
            std::printf("link %s\n", up ? "up" : "down");
            wasUp = up;
        }
        if (!inputOpen) {
            if (line->Busy()) {
                idleSince = now;
            } else if (now - idleSince > o.lingerMs) {
                return 0;
            }
        }
    }
}
