// Captures read back by tshark with our dissector: zok2host's of one host
// link (every unit once, in order, decoded; readable when the writer was
// killed mid-run) and the runner's of every edge of the board, with a
// message on each path and a BAC-M repeat after a flipped byte, checked
// against what the far ends themselves sent and heard.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <map>
#include <netinet/in.h>
#include <sstream>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

#include "bacmpeer.h"
#include "e2etest.h"
#include "hostkernel.h"
#include "testnet.h"
#include "tshark.h"
#include "ttyport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

size_t count(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

TEST(CaptureE2E, Zok2hostCapturesWhatTheHostLinkCarried)
{
    Runner board;
    ASSERT_EQ(board.Link(1), board.Endpoint(1));
    const std::string file = board.dir + "/link1.pcapng";
    std::string out;
    ASSERT_TRUE(board.Configure(1, "127.0.10.1", "127.0.10.2",
                                {"--bacm-addr", "5", "--capture", file}, out))
        << out;
    const std::vector<std::string> fields = {"-T", "fields",
                                             "-E", "separator=|",
                                             "-e", "frame.interface_name",
                                             "-e", "zok2.dir",
                                             "-e", "zok2.unit",
                                             "-e", "zok2.crc_ok",
                                             "-e", "zok2.cfg.checksum_ok",
                                             "-e", "zok2.cfg.address",
                                             "-e", "zok2.cfg.bacm_addr"};
    // To the board: keep-alives and the one configuration message; from it
    // keep-alives and each status message zok2host printed, the last one
    // configured. Nothing broken, nothing stray.
    std::string toBoard;
    std::vector<std::string> statuses;
    for (const std::string& l : lines(tshark(file, fields))) {
        SCOPED_TRACE(l);
        if (l == "host link 1|0|2||||" || l == "host link 1|1|2||||") continue;
        if (l.rfind("host link 1|0|", 0) == 0) {
            toBoard += l + "\n";
        } else {
            ASSERT_EQ(0u, l.rfind("host link 1|1|1|1|1|", 0));
            statuses.push_back(l);
        }
    }
    EXPECT_EQ("host link 1|0|1|1|1|127.0.10.2|0x05\n", toBoard);
    EXPECT_EQ(count(out, "frame to 0.0.0.0:1024"), statuses.size()) << out;
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ("host link 1|1|1|1|1|127.0.10.2|0x05", statuses.back());

    // Killed while it runs: the file holds every unit up to then, whole. A
    // second configuration makes the board answer with the first one's
    // status, and zok2host waits on after it.
    const std::string killed = board.dir + "/killed.pcapng";
    Background monitor(makeTempDir(),
                       {toolPath("zok2host"), "--link", board.Link(1), "--capture", killed, "send",
                        "--to", "0.0.0.0:1024", "--hex",
                        "96E1000000000000FFFFFF00C0A80101C0A8010A00000000000000000000080000005829"
                        "0000050000 22",
                        "--wait", "600000"});
    ASSERT_TRUE(monitor.WaitFor("status: group configured", kStartMs)) << monitor.Stderr();
    monitor.Signal(SIGKILL);
    const std::string after = tshark(killed, {"-Y", "zok2.dir == 1 && zok2.cfg.address"});
    EXPECT_NE(std::string::npos, after.find("Status message, address 127.0.10.2")) << after;
}

// One serial line's far end on the runner's PTY: raw bytes, or a BAC-M
// peer pumped here, whose next INFO can be sent with one text byte flipped.
class FarEnd {
public:
    explicit FarEnd(const std::string& path)
    {
        std::string error;
        ok = port.Open(path, 115200, zok2tools::Parity::None, 1, error);
    }
    void Pump(zok2tools::BacmPeer& peer)
    {
        port.WaitReadable(kPumpMs);
        const auto now = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
        uint8_t buf[512];
        for (long n; (n = port.Read(buf, sizeof buf)) > 0;) {
            peer.Receive(buf, static_cast<size_t>(n), now);
        }
        peer.Poll(now);
        Bytes out = peer.TakeOutput();
        // An INFO is address, DLE, STX, then its text.
        for (size_t i = 0; flipNextInfo && i + 3 < out.size(); ++i) {
            if (out[i + 1] == zok2tools::bacmwire::DLE && out[i + 2] == zok2tools::bacmwire::STX) {
                out[i + 3] ^= 0x01;
                flipNextInfo = false;
            }
        }
        if (!out.empty()) port.WriteAll(out.data(), out.size());
    }
    // What arrives until `len` bytes came (or the time is up).
    Bytes Take(size_t len)
    {
        Bytes got;
        pollUntil(kMessageMs, [&] {
            uint8_t buf[512];
            port.WaitReadable(kPumpMs);
            for (long n; (n = port.Read(buf, sizeof buf)) > 0;) got.insert(got.end(), buf, buf + n);
            return got.size() >= len;
        });
        return got;
    }
    void Write(const std::string& text)
    {
        port.WriteAll(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }

    bool ok = false;
    bool flipNextInfo = false;

private:
    static constexpr int kPumpMs = 2;
    zok2tools::TtyPort port;
    const Clock::time_point t0 = Clock::now();
};

// The master's wait for an answer: far beyond the board's turn (200 ms) and
// a loaded machine's delays, so that repeats come from the flipped byte only.
constexpr uint32_t kBacmRecvTimeoutMs = 2000;
const uint32_t kSciAddr = 0x0A500001;

hostlink::Message toLine(uint16_t port, const std::string& text)
{
    return {port, kSciAddr, port, 0x0A500010, Bytes(text.begin(), text.end())};
}

std::string hex(const std::string& text)
{
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 0xF];
    }
    return out;
}

// A host link's far end that keeps what it sent and what came, as the
// capture should show it: "dir|dest port|payload in hex".
struct HostEnd {
    hostlink::Client client;
    std::vector<std::string> seen;
    void Send(const hostlink::Message& m)
    {
        client.send(m);
        seen.push_back("0|" + std::to_string(m.destPort) + "|" +
                       hex(std::string(m.payload.begin(), m.payload.end())));
    }
    // Every data message that comes within `ms`; true when one has `text`.
    bool Hear(const std::string& text, uint32_t ms)
    {
        bool found = false;
        hostlink::Message m;
        for (uint32_t wait = ms; waitData(client, m, wait); wait = found ? 1 : ms) {
            const std::string got(m.payload.begin(), m.payload.end());
            seen.push_back("1|" + std::to_string(m.destPort) + "|" + hex(got));
            found = found || got == text;
        }
        return found;
    }
};

TEST(CaptureE2E, TheRunnersCaptureHoldsEveryUnitOfEveryEdgeDecoded)
{
    const std::string dir = makeTempDir();
    const std::string file = dir + "/board.pcapng";
    Runner board({"--console", "pty", "--watchdog", "exit", "--capture", file}, dir);
    ASSERT_TRUE(board.WaitFor("capture of the board's edges in " + file, kStartMs, Runner::Err))
        << board.Stderr();
    const uint16_t ports[2] = {testnet::port(0), testnet::port(1)};
    std::string out;
    ASSERT_TRUE(
        board.Configure(1, testnet::text(1), testnet::text(2),
                        {"--port", std::to_string(ports[0]), "--line1", "rs232:bacm:115200:none",
                         "--line2", "rs232:rawos:115200:none:16", "--bacm-addr", "5"},
                        out))
        << out;
    ASSERT_TRUE(board.Configure(
        2, testnet::text(257), testnet::text(258),
        {"--port", std::to_string(ports[1]), "--line1", "rs485:rawos:115200:none:16"}, out))
        << out;
    HostEnd host1, host2;
    ASSERT_TRUE(host1.client.connect(board.Link(1)) && host2.client.connect(board.Link(2)));
    ASSERT_TRUE(host1.client.waitLink(true, kLinkMs) && host2.client.waitLink(true, kLinkMs));

    // Line 1, BAC-M, the far end master: one message each way, the line's
    // one arriving damaged first (NACKed, then repeated).
    zok2tools::BacmPeer peer({/*master=*/true, /*address=*/5, kBacmRecvTimeoutMs});
    {
        FarEnd line(dir + "/sci1");
        ASSERT_TRUE(line.ok);
        ASSERT_TRUE(pollUntil(kMessageMs, [&] {
            line.Pump(peer);
            return peer.LinkUp();
        }));
        host1.Send(toLine(2010, "to line 1"));
        ASSERT_TRUE(pollUntil(kMessageMs, [&] {
            line.Pump(peer);
            return !peer.TakeReceived().empty();
        }));
        line.flipNextInfo = true;
        peer.Send(Bytes{'l', 'i', 'n', 'e', ' ', '1'});
        ASSERT_TRUE(pollUntil(kMessageMs, [&] {
            line.Pump(peer);
            return host1.Hear("line 1", 1);
        }));
        // The line goes quiet with the master's turn over: every unit is whole.
        pollUntil(kMessageMs, [&] {
            line.Pump(peer);
            return peer.Queued() == 0 && !peer.HoldsTurn();
        });
    }
    // Lines 2 and 3, RAWoS.
    const std::tuple<const char*, HostEnd*, uint16_t> raws[] = {{"/sci2", &host1, 2011},
                                                                {"/sci3", &host2, 2010}};
    for (const auto& [device, host, port] : raws) {
        FarEnd line(dir + device);
        ASSERT_TRUE(line.ok);
        host->Send(toLine(port, "to raw"));
        EXPECT_EQ((Bytes{'t', 'o', ' ', 'r', 'a', 'w'}), line.Take(6));
        line.Write("raw");
        EXPECT_TRUE(host->Hear("raw", kMessageMs)) << device;
    }
    // Ethernet 0: the host's message leaves to the peer, the peer answers.
    const uint32_t boardAddr = testnet::hostAddr(2);
    const uint32_t peerAddr = testnet::hostAddr(3);
    const int peerFd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in at{AF_INET, htons(ports[0]), {htonl(peerAddr)}, {}};
    const timeval timeout{static_cast<time_t>(kMessageMs / 1000), 0};
    ::setsockopt(peerFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ASSERT_EQ(0, ::bind(peerFd, reinterpret_cast<const sockaddr*>(&at), sizeof at));
    host1.Send({ports[0], peerAddr, ports[0], boardAddr, Bytes{'u', 'p'}});
    uint8_t buf[16];
    ASSERT_EQ(2, ::recv(peerFd, buf, sizeof buf, 0));
    const sockaddr_in boardAt{AF_INET, htons(ports[0]), {htonl(boardAddr)}, {}};
    ::sendto(peerFd, "down", 4, 0, reinterpret_cast<const sockaddr*>(&boardAt), sizeof boardAt);
    EXPECT_TRUE(host1.Hear("down", kMessageMs));
    // To the network's broadcast address: captured with that destination.
    const uint32_t bcastAddr = boardAddr | 0xFFu;
    const sockaddr_in bcastAt{AF_INET, htons(ports[0]), {htonl(bcastAddr)}, {}};
    ::sendto(peerFd, "all", 3, 0, reinterpret_cast<const sockaddr*>(&bcastAt), sizeof bcastAt);
    EXPECT_TRUE(host1.Hear("all", kMessageMs));
    ::close(peerFd);
    host1.client.disconnect();
    host2.client.disconnect();
    board.Signal(SIGTERM);
    ASSERT_EQ(0, board.Wait(kStartMs)) << board.Stderr();

    // Keep-alives and status messages aside, each interface's units in
    // order, each once, as the far ends sent and heard them.
    std::map<std::string, std::vector<std::string>> byInterface;
    for (const std::string& l : lines(tshark(file, {"-Y", "!zok2.keepalive && !(zok2.port == 1024)",
                                                    "-T", "fields",
                                                    "-E", "separator=|",
                                                    "-e", "frame.interface_name",
                                                    "-e", "zok2.dir",
                                                    "-e", "zok2.unit",
                                                    "-e", "zok2.crc_ok",
                                                    "-e", "zok2.dst_port",
                                                    "-e", "zok2.payload",
                                                    "-e", "zok2.bacm.type",
                                                    "-e", "zok2.bacm.text",
                                                    "-e", "zok2.rawos.data",
                                                    "-e", "udp.srcport",
                                                    "-e", "udp.dstport",
                                                    "-e", "udp.payload"}))) {
        byInterface[l.substr(0, l.find('|'))].push_back(l.substr(l.find('|') + 1));
    }
    std::vector<std::string> link1, link2;
    for (const std::string& s : host1.seen) {
        const size_t bar = s.rfind('|');
        link1.push_back(s.substr(0, 2) + "1|1|" + s.substr(2, bar - 2) + "|" + s.substr(bar + 1) +
                        "||||||");
    }
    for (const std::string& s : host2.seen) {
        const size_t bar = s.rfind('|');
        link2.push_back(s.substr(0, 2) + "1|1|" + s.substr(2, bar - 2) + "|" + s.substr(bar + 1) +
                        "||||||");
    }
    EXPECT_EQ(link1, byInterface["host link 1"]);
    EXPECT_EQ(link2, byInterface["host link 2"]);
    const std::string port0 = std::to_string(ports[0]);
    EXPECT_EQ((std::vector<std::string>{"||||||||" + port0 + "|" + port0 + "|7570",
                                        "||||||||" + port0 + "|" + port0 + "|646f776e",
                                        "||||||||" + port0 + "|" + port0 + "|616c6c"}),
              byInterface["eth0"]);
    char bcastText[INET_ADDRSTRLEN] = {};
    const in_addr bcastIn{htonl(bcastAddr)};
    ::inet_ntop(AF_INET, &bcastIn, bcastText, sizeof bcastText);
    EXPECT_EQ(std::string(bcastText) + "\n",
              tshark(file, {"-Y", "udp.payload == 61:6c:6c", "-T", "fields", "-e", "ip.dst"}));
    for (const char* raw : {"sci2", "sci3"}) {
        EXPECT_EQ((std::vector<std::string>{"1|6||||||746f20726177|||", "0|6||||||726177|||"}),
                  byInterface[raw])
            << raw;
    }
    // Line 1 against the master's own counts: its INFOs (the flipped one
    // flagged by its CRC, then the good repeat) and ACKs, the board's INFO,
    // ACKs and the NACK of the flipped one.
    std::map<std::string, uint64_t> sci1;
    std::vector<std::string> fromMaster;
    for (const std::string& l : byInterface["sci1"]) {
        ++sci1[l.substr(0, l.find('|', 2))];
        if (l.rfind("0|3|", 0) == 0) fromMaster.push_back(l);
    }
    const zok2tools::BacmPeerCounters& c = peer.Counters();
    EXPECT_EQ(c.ackSent, sci1["0|4"]);
    // The board may pass the turn back once more (an ACK after its window)
    // just as the far end stops listening: on the wire, never received.
    EXPECT_LE(c.ackReceived, sci1["1|4"]);
    EXPECT_GE(c.ackReceived + 1, sci1["1|4"]);
    EXPECT_EQ(c.nakReceived, sci1["1|5"]);
    EXPECT_EQ(c.infoSent, sci1["0|3"]);
    EXPECT_EQ(c.infoReceived, sci1["1|3"]);
    EXPECT_LE(1u, c.nakReceived);
    ASSERT_LE(2u, fromMaster.size());
    EXPECT_EQ("0|3|0|||0x02|6d696e652031||||", fromMaster.front());
    EXPECT_EQ("0|3|1|||0x02|6c696e652031||||", fromMaster.back());
    EXPECT_NE(byInterface["sci1"].end(),
              std::find(byInterface["sci1"].begin(), byInterface["sci1"].end(),
                        "1|3|1|||0x02|746f206c696e652031||||"));
    // Nothing unknown: every packet a known unit or an IPv4/UDP datagram.
    EXPECT_EQ("", tshark(file, {"-Y", "!zok2.unit && !udp || zok2.unit >= 7"}));
}

// The watchdog's reload time-out after a fatal error, with room for a loaded machine.
constexpr int kFatalEndMs = 30000;

TEST(CaptureE2E, ABoardKilledByAFatalErrorLeavesACaptureReadableToTheFault)
{
    const std::string dir = makeTempDir();
    const std::string file = dir + "/board.pcapng";
    // The console on standard output (a file): the fatal error's report
    // never waits for a reader.
    Runner board({"--watchdog", "exit", "--capture", file}, dir);
    ASSERT_EQ(board.Link(1), board.Endpoint(1));
    std::string out;
    ASSERT_TRUE(board.Configure(1, testnet::text(1), testnet::text(2), {}, out)) << out;
    // Once the configuration's console report has left the line: a fatal
    // report that must wait for the console's FIFO in the abort handler
    // stalls the simulated clock (a kernel matter of its own).
    ASSERT_TRUE(board.WaitFor("Opening UDP port 53300 for " + testnet::text(2) + "...", kStartMs))
        << board.Stdout();
    // The firmware aborts (a fatal error) and freezes; the watchdog ends the
    // run a reload time-out (about 9.5 s) after the main task's last restart.
    board.Signal(SIGUSR2);
    ASSERT_EQ(hostExitStatusForFatal(-3), board.Wait(kFatalEndMs)) << board.Stderr();
    EXPECT_NE(
        std::string::npos,
        tshark(file, {"-Y", "zok2.dir == 1"}).find("Status message, address " + testnet::text(2)));
}

}  // namespace
