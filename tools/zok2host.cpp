// zok2host: the host processor's end of a host link, for a person at a
// terminal. Connects to a host-link socket of the runner, keeps the link up,
// sends an addressed message or a configuration (raw, or built from
// options), prints every frame the board sends with its addressing and the
// status message field by field, and can stay on as the host of the group:
// each line typed or piped in goes to a given port. With --capture it
// writes what the link carried, unit by unit, to a pcapng file.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "edgecapture.h"
#include "hostconfig.h"
#include "hostlink_client.h"

namespace {

constexpr uint16_t kConfigPort = 1024;
// Generous: the board answers within about a second (its keep-alive period);
// the tool returns as soon as the link is up.
constexpr uint32_t kLinkWaitMs = 10000;

volatile std::sig_atomic_t gInterrupted = 0;

void onSignal(int) { gInterrupted = 1; }

void usage()
{
    std::fprintf(
        stderr,
        "usage: zok2host [--link ENDPOINT] COMMAND [ARGS]\n"
        "  ENDPOINT: unix:PATH, PATH, tcp:HOST:PORT or tcp:PORT (default run/spi1.sock)\n"
        "commands:\n"
        "  send --to ADDR:PORT [--from ADDR:PORT] (--text TEXT | --hex BYTES) [--wait MS]\n"
        "      send one addressed message, then print what arrives for MS ms (default 1000)\n"
        "  config HEXBYTES [--wait MS]\n"
        "      send a raw configuration message (port 1024, addresses 0) and print the answer\n"
        "  configure --mask A.B.C.D --gateway A.B.C.D --address A.B.C.D [--multicast A.B.C.D]...\n"
        "            [--port N]... [--line1 LINE] [--line2 LINE] [--bacm-addr N] [--wait MS]\n"
        "      send the group's configuration (the link chooses the group) and print the answer\n"
        "      (returns once the group is configured, or after --wait ms); exits 1 with the\n"
        "      reason when no status came, the group is not configured, or it runs another\n"
        "      configuration;\n"
        "      no --port: the board's 15 default ports; LINE: STANDARD:PROTOCOL:BAUD:PARITY[:MS]\n"
        "      as rs232|rs422|rs485 : bacm|rawos : 9600..115200 : none|odd|even : inter-char ms\n"
        "      (default rs232:bacm:115200:none)\n"
        "  monitor\n"
        "      keep the link up and print every frame the board sends until interrupted\n"
        "  host --to ADDR:PORT [--from ADDR:PORT]\n"
        "      as monitor, and send each line read from standard input as one message\n"
        "options:\n"
        "  --rate BYTES_PER_S   cap on bytes clocked into the board (default 100000, 0 = none):\n"
        "      the board takes up to 8192 bytes per 10 ms pass of its link; the default\n"
        "      (with bursts of at most 2048 bytes) stays well below, with room for a\n"
        "      pass that comes late; a higher rate may overrun it (its SPI page counts\n"
        "      RecvDataQueueFullErrors)\n"
        "  --capture FILE       write every unit the link carries to FILE (pcapng; open it with\n"
        "                       wireshark -X lua_script:tools/wireshark/zok2.lua FILE)\n");
}

bool parseEndpoint(const std::string& text, uint32_t& addr, uint16_t& port)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    char* end = nullptr;
    const unsigned long p = std::strtoul(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || p > 0xFFFF || colon + 1 == text.size()) {
        return false;
    }
    port = static_cast<uint16_t>(p);
    return hostlink::parseAddr(text.substr(0, colon), addr);
}

void printMessage(const hostlink::Message& m)
{
    std::string status;
    if (m.destPort == kConfigPort && m.sourcePort == kConfigPort &&
        zok2tools::DescribeStatus(m.payload, status)) {
        std::printf("%s", status.c_str());
    }
    std::string text;
    bool printable = !m.payload.empty();
    for (uint8_t b : m.payload) {
        printable = printable && b >= 0x20 && b < 0x7F;
        text += static_cast<char>(b);
    }
    std::printf("frame to %s:%u from %s:%u, %zu bytes: %s",
                hostlink::formatAddr(m.destAddr).c_str(), m.destPort,
                hostlink::formatAddr(m.sourceAddr).c_str(), m.sourcePort, m.payload.size(),
                hostlink::toHex(m.payload).c_str());
    if (printable) {
        std::printf("  \"%s\"", text.c_str());
    }
    std::printf("\n");
    std::fflush(stdout);
}

// True for the status message of a configured group (its configured word
// is not zero): the answer a configuration waits for.
bool isConfiguredStatus(const hostlink::Message& m)
{
    constexpr size_t kConfiguredAt = 16;
    return m.destPort == kConfigPort && m.sourcePort == kConfigPort &&
           m.payload.size() >= kConfiguredAt + 4 &&
           (m.payload[kConfiguredAt] | m.payload[kConfiguredAt + 1] | m.payload[kConfiguredAt + 2] |
            m.payload[kConfiguredAt + 3]) != 0;
}

// What the board's status messages said while printFor ran.
struct StatusSeen {
    bool any = false;
    bool configured = false;  // a configured group's status came (and ended the wait)
    std::vector<uint8_t> last;
};

// Prints arriving frames until the time is up (0: until interrupted), or,
// with untilConfigured, until the group's configured status has arrived.
StatusSeen printFor(hostlink::Client& client, uint32_t ms, bool untilConfigured)
{
    StatusSeen seen;
    uint32_t waited = 0;
    while (!gInterrupted && (ms == 0 || waited < ms)) {
        hostlink::Message m;
        if (client.waitMessage(m, 50)) {
            printMessage(m);
            if (m.destPort == kConfigPort && m.sourcePort == kConfigPort) {
                seen.any = true;
                seen.last = m.payload;
            }
            if (untilConfigured && isConfiguredStatus(m)) {
                seen.configured = true;
                return seen;
            }
        } else {
            waited += 50;
        }
        if (!client.connected()) {
            std::fprintf(stderr, "zok2host: the board closed the link\n");
            return seen;
        }
    }
    return seen;
}

// The exit status of `configure`: 0 only when the group runs what was sent;
// otherwise a line that says why.
int judgeConfigure(const StatusSeen& seen, const std::vector<uint8_t>& sent, uint32_t waitMs)
{
    if (!seen.any) {
        std::fprintf(stderr, "zok2host: no status message from the board within %u ms\n", waitMs);
        return 1;
    }
    if (!seen.configured) {
        std::fprintf(stderr,
                     "zok2host: the group is not configured: the board refused the "
                     "configuration (its console says why)\n");
        return 1;
    }
    if (!zok2tools::StatusEchoes(sent, seen.last)) {
        std::fprintf(stderr,
                     "zok2host: the group runs another configuration than the one sent "
                     "(configured before?)\n");
        return 1;
    }
    return 0;
}

// The capture's interface name: as the runner names the link ("host link
// 2" for its spi2.sock), else after the endpoint.
std::string linkName(const std::string& endpoint)
{
    const size_t at = endpoint.rfind("spi");
    if (at != std::string::npos && endpoint.size() == at + 9 &&
        endpoint.compare(at + 4, 5, ".sock") == 0 &&
        (endpoint[at + 3] == '1' || endpoint[at + 3] == '2')) {
        return std::string("host link ") + endpoint[at + 3];
    }
    return "host link " + endpoint;
}

// Writes what the client clocks out and back; times are the host's clock
// from the start of the capture, placed at the calendar time it started.
class LinkCapture {
public:
    bool open(const std::string& path, const std::string& endpoint, std::string* error)
    {
        if (!capture_.open(path, "zok2host", error)) return false;
        const auto wall = std::chrono::system_clock::now().time_since_epoch();
        const auto sec = std::chrono::duration_cast<std::chrono::seconds>(wall);
        capture_.setEpochOffset(sec.count());
        baseNs_ = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(wall - sec).count());
        start_ = std::chrono::steady_clock::now();
        edge_ = capture_.addHostLink(linkName(endpoint));
        return true;
    }
    void bytes(bool toBoard, const uint8_t* data, size_t len)
    {
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
            std::chrono::steady_clock::now() - start_);
        capture_.hostLinkBytes(edge_,
                               toBoard ? capture::Direction::Inbound : capture::Direction::Outbound,
                               data, len, baseNs_ + static_cast<uint64_t>(ns.count()));
    }
    void close() { capture_.close(); }

private:
    capture::EdgeCapture capture_;
    int edge_ = -1;
    uint64_t baseNs_ = 0;
    std::chrono::steady_clock::time_point start_;
};

}  // namespace

int main(int argc, char** argv)
{
    std::string endpoint = "run/spi1.sock";
    std::vector<std::string> args;
    uint32_t rate = hostlink::LinkConfig().maxTxBytesPerSec;
    std::string capturePath;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--link" && i + 1 < argc) {
            endpoint = argv[++i];
        } else if (a == "--rate" && i + 1 < argc) {
            rate = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (a == "--capture" && i + 1 < argc) {
            capturePath = argv[++i];
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else {
            args.push_back(a);
        }
    }
    if (args.empty()) {
        usage();
        return 2;
    }

    const std::string command = args[0];
    hostlink::Message msg;
    bool haveMessage = false;
    bool hostMode = false;
    uint32_t waitMs = 1000;
    if (command == "send") {
        bool haveTo = false;
        bool havePayload = false;
        for (size_t i = 1; i < args.size(); ++i) {
            const bool hasValue = i + 1 < args.size();
            if (args[i] == "--to" && hasValue) {
                haveTo = parseEndpoint(args[++i], msg.destAddr, msg.destPort);
                if (!haveTo) {
                    std::fprintf(stderr, "zok2host: bad --to %s\n", args[i].c_str());
                    return 2;
                }
            } else if (args[i] == "--from" && hasValue) {
                if (!parseEndpoint(args[++i], msg.sourceAddr, msg.sourcePort)) {
                    std::fprintf(stderr, "zok2host: bad --from %s\n", args[i].c_str());
                    return 2;
                }
            } else if (args[i] == "--text" && hasValue) {
                const std::string& t = args[++i];
                msg.payload.assign(t.begin(), t.end());
                havePayload = true;
            } else if (args[i] == "--hex" && hasValue) {
                if (!hostlink::parseHex(args[++i], msg.payload)) {
                    std::fprintf(stderr, "zok2host: bad hex bytes\n");
                    return 2;
                }
                havePayload = true;
            } else if (args[i] == "--wait" && hasValue) {
                waitMs = static_cast<uint32_t>(std::strtoul(args[++i].c_str(), nullptr, 10));
            } else {
                usage();
                return 2;
            }
        }
        if (!haveTo || !havePayload) {
            usage();
            return 2;
        }
        haveMessage = true;
    } else if (command == "config") {
        if (args.size() < 2 || !hostlink::parseHex(args[1], msg.payload)) {
            std::fprintf(stderr, "zok2host: config needs the message as hex bytes\n");
            return 2;
        }
        for (size_t i = 2; i + 1 < args.size(); i += 2) {
            if (args[i] == "--wait") {
                waitMs = static_cast<uint32_t>(std::strtoul(args[i + 1].c_str(), nullptr, 10));
            }
        }
        msg.destPort = kConfigPort;
        msg.sourcePort = kConfigPort;
        haveMessage = true;
    } else if (command == "configure") {
        zok2tools::GroupConfig cfg;
        bool haveAddr = false;
        for (size_t i = 1; i < args.size(); ++i) {
            if (i + 1 >= args.size()) {
                usage();
                return 2;
            }
            const std::string& opt = args[i];
            const std::string& v = args[++i];
            uint32_t a = 0;
            bool ok = true;
            if (opt == "--mask" || opt == "--gateway" || opt == "--address" ||
                opt == "--multicast") {
                ok = hostlink::parseAddr(v, a);
                if (opt == "--mask") cfg.mask = a;
                if (opt == "--gateway") cfg.gateway = a;
                if (opt == "--address") {
                    cfg.address = a;
                    haveAddr = ok;
                }
                if (opt == "--multicast") cfg.multicast.push_back(a);
            } else if (opt == "--port") {
                char* end = nullptr;
                const unsigned long p = std::strtoul(v.c_str(), &end, 10);
                ok = *end == '\0' && p > 0 && p <= 0xFFFF;
                cfg.ports.push_back(static_cast<uint16_t>(p));
            } else if (opt == "--line1" || opt == "--line2") {
                ok = zok2tools::ParseLine(v, cfg.line[opt == "--line1" ? 0 : 1]);
            } else if (opt == "--bacm-addr") {
                char* end = nullptr;
                const unsigned long n = std::strtoul(v.c_str(), &end, 0);
                ok = *end == '\0' && n <= 0xFF;
                cfg.bacmAddr = static_cast<uint8_t>(n);
            } else if (opt == "--wait") {
                waitMs = static_cast<uint32_t>(std::strtoul(v.c_str(), nullptr, 10));
            } else {
                ok = false;
            }
            if (!ok) {
                std::fprintf(stderr, "zok2host: bad %s %s\n", opt.c_str(), v.c_str());
                return 2;
            }
        }
        std::string error;
        if (!haveAddr || !zok2tools::EncodeConfig(cfg, msg.payload, &error)) {
            std::fprintf(stderr,
                         "zok2host: configure needs --address (and --mask, --gateway)%s%s\n",
                         error.empty() ? "" : "; cannot encode ", error.c_str());
            return 2;
        }
        msg.destPort = kConfigPort;
        msg.sourcePort = kConfigPort;
        haveMessage = true;
    } else if (command == "host") {
        bool haveTo = false;
        for (size_t i = 1; i + 1 < args.size(); i += 2) {
            if (args[i] == "--to") {
                haveTo = parseEndpoint(args[i + 1], msg.destAddr, msg.destPort);
            } else if (args[i] == "--from") {
                if (!parseEndpoint(args[i + 1], msg.sourceAddr, msg.sourcePort)) haveTo = false;
            }
        }
        if (!haveTo || args.size() % 2 == 0) {
            std::fprintf(stderr, "zok2host: host needs --to ADDR:PORT\n");
            return 2;
        }
        hostMode = true;
    } else if (command != "monitor") {
        usage();
        return 2;
    }
    if (haveMessage && msg.payload.size() > hostlink::kMaxPayload) {
        std::fprintf(stderr, "zok2host: payload of %zu bytes exceeds %zu\n", msg.payload.size(),
                     hostlink::kMaxPayload);
        return 2;
    }

    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    hostlink::ClientOptions options;
    options.link.maxTxBytesPerSec = rate;
    // Before the client: its clocking thread writes to the capture until it ends.
    LinkCapture capture;
    hostlink::Client client(options);
    client.onLink(
        [](bool up) { std::fprintf(stderr, "zok2host: board link %s\n", up ? "up" : "down"); });
    std::string error;
    if (!capturePath.empty()) {
        if (!capture.open(capturePath, endpoint, &error)) {
            std::fprintf(stderr, "zok2host: %s\n", error.c_str());
            return 1;
        }
        std::fprintf(stderr, "zok2host: capturing %s in %s\n", linkName(endpoint).c_str(),
                     capturePath.c_str());
        client.onBytes([&capture](bool toBoard, const uint8_t* data, size_t len) {
            capture.bytes(toBoard, data, len);
        });
    }
    if (!client.connect(endpoint, &error)) {
        std::fprintf(stderr, "zok2host: %s\n", error.c_str());
        return 1;
    }
    // Frames count only once the board hears us, and it answers once its link is up.
    client.sendConnection();
    if (!client.waitLink(true, kLinkWaitMs)) {
        std::fprintf(stderr, "zok2host: the board's link did not come up within %u ms\n",
                     kLinkWaitMs);
        if (haveMessage) {
            return 1;
        }
    }
    if (haveMessage) {
        client.send(msg);
        if (!client.waitSent(kLinkWaitMs)) {
            std::fprintf(stderr, "zok2host: the message could not be clocked out\n");
            return 1;
        }
    }
    std::thread reader;
    if (hostMode) {
        // Standard input on its own thread, polled so that it ends with the
        // program; the frames are printed here.
        reader = std::thread([&client, msg]() {
            std::string line;
            char buf[512];
            while (!gInterrupted) {
                pollfd p{STDIN_FILENO, POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0) continue;
                const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
                if (n <= 0) return;  // end of input: keep printing what arrives
                for (ssize_t i = 0; i < n; ++i) {
                    if (buf[i] != '\n') {
                        line.push_back(buf[i]);
                        continue;
                    }
                    hostlink::Message m = msg;
                    m.payload.assign(line.begin(), line.end());
                    line.clear();
                    if (!m.payload.empty() && m.payload.size() <= hostlink::kMaxPayload) {
                        client.send(m);
                    }
                }
            }
        });
    }
    const StatusSeen seen =
        printFor(client, haveMessage ? waitMs : 0, command == "configure" || command == "config");
    gInterrupted = 1;
    if (reader.joinable()) reader.join();
    client.disconnect();
    capture.close();
    return command == "configure" ? judgeConfigure(seen, msg.payload, waitMs) : 0;
}
