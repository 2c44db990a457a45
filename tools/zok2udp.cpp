// zok2udp: a UDP peer of the board's Ethernet ports for a person, the tests
// and the benchmarks. Sends numbered, time-stamped datagrams, receives and
// accounts them (lost, reordered, duplicates), echoes them, or measures round
// trips against an echo; ends with one summary line on standard output.
#include <arpa/inet.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "udppeer.h"

namespace {

using zok2tools::UdpPeerMode;

constexpr int EXIT_NOTHING_RECEIVED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_SOCKET = 3;
constexpr uint64_t DEFAULT_SEND_COUNT = 10;

std::atomic<bool> gStop{false};

void onSignal(int) { gStop.store(true); }

void usage()
{
    std::fprintf(stderr,
        "usage: zok2udp MODE [options]\n"
        "modes:\n"
        "  send      send numbered datagrams to --to\n"
        "  recv      receive on --bind and count lost, reordered and duplicate datagrams\n"
        "  echo      send every datagram received on --bind back to its sender\n"
        "  pingpong  send to an echo at --to and measure round trips\n"
        "options:\n"
        "  --to HOST:PORT        destination (send, pingpong)\n"
        "  --bind [ADDR:]PORT    local address and port (default any address, any port)\n"
        "  --rate N              datagrams per second (default: as fast as possible; pingpong:\n"
        "                        one at a time, the next when the answer came)\n"
        "  --size BYTES          payload size, 16 to 65507 (default 64)\n"
        "  --count N             send: datagrams to send (default 10 without --duration);\n"
        "                        recv, echo: stop after N datagrams\n"
        "  --join MCAST          join this multicast group (repeatable)\n"
        "  --duration S          stop after S seconds\n"
        "  --timeout S           recv, echo: stop after S seconds without a datagram;\n"
        "                        pingpong: wait S seconds for answers (default 1)\n"
        "Payload: \"ZUDP\", 32-bit sequence number from 0, 64-bit send time (ns), filler.\n"
        "Exit status: 0 done, 1 nothing received (recv, pingpong), 2 usage, 3 socket error.\n");
}

bool parseNumber(const char* text, double& out)
{
    char* end = nullptr;
    out = std::strtod(text, &end);
    return end != text && *end == '\0' && out >= 0;
}

bool parseMode(const std::string& text, UdpPeerMode& mode)
{
    if (text == "send") {
        mode = UdpPeerMode::Send;
    } else if (text == "recv") {
        mode = UdpPeerMode::Recv;
    } else if (text == "echo") {
        mode = UdpPeerMode::Echo;
    } else if (text == "pingpong") {
        mode = UdpPeerMode::Pingpong;
    } else {
        return false;
    }
    return true;
}

bool parseArgs(int argc, char** argv, zok2tools::UdpPeerOptions& o)
{
    if (argc < 2 || !parseMode(argv[1], o.mode)) {
        return false;
    }
    bool haveTo = false;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "zok2udp: %s needs a value\n", a.c_str());
            return false;
        }
        const char* v = argv[++i];
        double n = 0;
        bool ok = true;
        if (a == "--to") {
            ok = zok2tools::ParseUdpEndpoint(v, o.toAddr, o.toPort) && std::strchr(v, ':');
            haveTo = ok;
        } else if (a == "--bind") {
            ok = zok2tools::ParseUdpEndpoint(v, o.bindAddr, o.bindPort);
        } else if (a == "--rate") {
            ok = parseNumber(v, o.rate);
        } else if (a == "--size") {
            ok = parseNumber(v, n);
            o.size = static_cast<size_t>(n);
        } else if (a == "--count") {
            ok = parseNumber(v, n);
            o.count = static_cast<uint64_t>(n);
        } else if (a == "--duration") {
            ok = parseNumber(v, o.durationS);
        } else if (a == "--timeout") {
            ok = parseNumber(v, o.timeoutS);
        } else if (a == "--join") {
            in_addr g{};
            ok = ::inet_pton(AF_INET, v, &g) == 1 && IN_MULTICAST(ntohl(g.s_addr));
            o.joins.push_back(g.s_addr);
        } else {
            std::fprintf(stderr, "zok2udp: unknown option %s\n", a.c_str());
            return false;
        }
        if (!ok) {
            std::fprintf(stderr, "zok2udp: bad value for %s: %s\n", a.c_str(), v);
            return false;
        }
    }
    const bool sends = o.mode == UdpPeerMode::Send || o.mode == UdpPeerMode::Pingpong;
    if (sends && !haveTo) {
        std::fprintf(stderr, "zok2udp: %s needs --to HOST:PORT\n", argv[1]);
        return false;
    }
    if (sends && o.count == 0 && o.durationS == 0) {
        o.count = DEFAULT_SEND_COUNT;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        usage();
        return 0;
    }
    zok2tools::UdpPeerOptions options;
    if (!parseArgs(argc, argv, options)) {
        usage();
        return EXIT_USAGE;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    zok2tools::UdpPeer peer;
    std::string err;
    if (!peer.Open(options, err)) {
        std::fprintf(stderr, "zok2udp: %s\n", err.c_str());
        return EXIT_SOCKET;
    }
    if (options.mode == UdpPeerMode::Recv || options.mode == UdpPeerMode::Echo) {
        std::fprintf(stderr, "zok2udp: %s on port %u\n", argv[1], peer.LocalPort());
    }
    zok2tools::UdpPeerReport report;
    const bool ok = peer.Run(report, err, &gStop);
    std::printf("zok2udp %s: %s\n", argv[1], zok2tools::FormatUdpSummary(options.mode, report).c_str());
    std::fflush(stdout);
    if (!ok) {
        std::fprintf(stderr, "zok2udp: %s\n", err.c_str());
        return EXIT_SOCKET;
    }
    const bool receives = options.mode == UdpPeerMode::Recv || options.mode == UdpPeerMode::Pingpong;
    return receives && report.seq.received() == 0 ? EXIT_NOTHING_RECEIVED : 0;
}
