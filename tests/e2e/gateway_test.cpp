// The whole gateway from outside, on real time: its host links on Unix and
// TCP sockets (one master at a time, reconnection, zok2host on them); one
// runner configured by zok2host over both host links, then messages between
// the host links and serial line 1 (BAC-M, the peer as master), line 2
// (RAWoS), line 3, and UDP peers on both Ethernet interfaces, unicast and
// broadcast (loopback addresses and ports of this process's own). Bounds come from the lines'
// time-outs, generous.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <tuple>
#include <unistd.h>

#include "bacmpeer.h"
#include "e2etest.h"
#include "rawospeer.h"
#include "testnet.h"
#include "ttyport.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
constexpr size_t kBacmMessages = 200;
constexpr size_t kWindow = 8;          // below both BAC-M send queues (16)
const uint32_t kSciAddr = 0x0A500001;  // 10.80.0.1
// The BAC-M master's wait for an answer: far beyond the 200 ms the board
// keeps its turn waiting for a message (and a loaded machine's delays). A
// master that repeats sooner makes the board deliver its INFO twice.
constexpr uint32_t kBacmRecvTimeoutMs = 2000;
constexpr int kPumpMs = 2;  // the longest a serial peer waits for its line unheard

// A serial-line peer (BAC-M or RAWoS library) on the runner's PTY or line
// socket, pumped by the test's own loops.
template <typename Peer>
class LinePeer {
public:
    LinePeer(const std::string& path, Peer& peer) : peer(peer)
    {
        std::string error;
        ok = port.Open(path, 115200, zok2tools::Parity::None, 1, error);
    }
    // Waits up to `waitMs` for the line, hands the peer what came, lets it
    // run and writes out what it queued.
    void Pump(int waitMs)
    {
        port.WaitReadable(waitMs);
        const uint64_t now = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count());
        uint8_t buf[512];
        for (long n; (n = port.Read(buf, sizeof buf)) > 0;)
            peer.Receive(buf, static_cast<size_t>(n), now);
        peer.Poll(now);
        const Bytes out = peer.TakeOutput();
        if (!out.empty()) port.WriteAll(out.data(), out.size());
    }
    bool ok = false;

private:
    Peer& peer;
    zok2tools::TtyPort port;
    const Clock::time_point t0 = Clock::now();
};

hostlink::Message toLine(uint16_t port, const Bytes& payload)
{
    return {port, kSciAddr, port, 0x0A500010, payload};
}

// A message with DLE and frame bytes in it, numbered.
Bytes numbered(uint8_t tag, size_t i)
{
    Bytes m = {0x10, 0x02, 0x10, 0x03, 0x10, 0x10, 0x16, 0x06, 0x15};
    m.insert(m.begin(), {tag, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)});
    return m;
}

TEST(HostLinkE2E, LinksOnUnixAndTcpTakeOneMasterAtATimeAndZok2hostTalksOnThem)
{
    const std::string at = "tcp:" + testnet::text(1) + ":";
    Runner board({"--console", "pty", "--watchdog", "exit", "--spi2", at + "0"});
    const std::string endpoint = board.Endpoint(1);
    EXPECT_EQ(board.Link(1), endpoint);
    const std::string tcp = board.Endpoint(2);
    ASSERT_EQ(0u, tcp.rfind(at, 0)) << tcp;
    EXPECT_NE(at + "0", tcp);
    {
        hostlink::Client first;
        ASSERT_TRUE(first.connect(endpoint));
        ASSERT_TRUE(first.waitLink(true, kLinkMs));
        hostlink::Client second;
        second.connect(endpoint);
        EXPECT_TRUE(pollUntil(kLinkMs, [&] { return !second.connected(); }))
            << "a second master is turned away";
        EXPECT_TRUE(first.connected());
    }
    // Both gone: a reconnection finds the link running, each time.
    for (const std::string& e : {endpoint, tcp, endpoint}) {
        SCOPED_TRACE(e);
        hostlink::Client client;
        std::string error;
        ASSERT_TRUE(client.connect(e, &error)) << error;
        EXPECT_TRUE(client.waitLink(true, kLinkMs));
        const hostlink::LinkStats s = client.stats();
        // The board's first word may be its keep-alive or the status message
        // it posts for the group when the link comes up.
        EXPECT_GE(s.connectionsReceived + s.framesReceived, 1u);
        EXPECT_EQ(0u, s.crcErrors + s.formatErrors + s.shortTexts);
    }

    const std::string tool = toolPath("zok2host");
    std::string out;
    EXPECT_TRUE(runTool({tool, "--link", endpoint, "send", "--to", "10.80.0.1:2010", "--from",
                         "10.80.0.16:2010", "--text", "abc", "--wait", "100"},
                        out))
        << out;
    EXPECT_NE(std::string::npos, out.find("board link up")) << out;
    EXPECT_TRUE(runTool({tool, "--link", endpoint, "config",
                         "96 E1 00 00 00 00 00 00 FF FF FF 00 C0 A8 01 01 C0 A8 01 0A 00 00 00 00 "
                         "00 00 00 00 00 00 08 00 00 00 58 29 00 00 05 00 00 22",
                         "--wait", "100"},
                        out))
        << out;

    // Monitoring runs until interrupted, then ends cleanly.
    const ProcessResult r = runProcess({tool, "--link", tcp, "monitor"}, 2500);
    EXPECT_FALSE(r.exited);
    EXPECT_NE(std::string::npos, r.err.find("board link up")) << r.err;
}

TEST(GatewayE2E, ConfiguredByTheHostItForwardsBetweenHostLinksSerialLinesAndEthernet)
{
    Runner board({"--console", "pty", "--watchdog", "exit", "--sci3", "unix"});
    ASSERT_TRUE(board.WaitFor("host link 2", kStartMs, Runner::Err)) << board.Stderr();

    // Each group on a network of this process's own, with a port of its own.
    const uint16_t ports[2] = {testnet::port(0), testnet::port(1)};
    std::string out;
    ASSERT_TRUE(
        board.Configure(1, testnet::text(1), testnet::text(2),
                        {"--port", std::to_string(ports[0]), "--line1", "rs232:bacm:115200:none",
                         "--line2", "rs232:rawos:115200:none:16", "--bacm-addr", "5"},
                        out))
        << out;
    EXPECT_NE(std::string::npos, out.find("status: group configured")) << "group 0: " << out;
    EXPECT_NE(std::string::npos, out.find("address          " + testnet::text(2))) << out;
    ASSERT_TRUE(board.Configure(
        2, testnet::text(257), testnet::text(258),
        {"--port", std::to_string(ports[1]), "--line1", "rs485:rawos:115200:none:16"}, out))
        << out;
    EXPECT_NE(std::string::npos, out.find("UDP ports        " + std::to_string(ports[1])))
        << "group 1: " << out;

    hostlink::Client host1, host2;
    ASSERT_TRUE(host1.connect(board.Link(1)));
    ASSERT_TRUE(host2.connect(board.Link(2)));
    ASSERT_TRUE(host1.waitLink(true, kLinkMs));
    ASSERT_TRUE(host2.waitLink(true, kLinkMs));

    // Serial line 1, BAC-M with the peer as master: 200 each way, in order.
    {
        zok2tools::BacmPeer peer({/*master=*/true, /*address=*/5, kBacmRecvTimeoutMs});
        LinePeer line(board.dir + "/sci1", peer);
        ASSERT_TRUE(line.ok);
        // The board's slave refuses messages while its link is down: start
        // once the master has heard it answer.
        ASSERT_TRUE(pollUntil(kMessageMs, [&] {
            line.Pump(kPumpMs);
            return peer.LinkUp();
        })) << "BAC-M link on line 1";
        // BAC-M has no sequence numbers: an acknowledgement that comes late
        // (a busy host can hold either end past the window) makes the sender
        // repeat, and the receiver delivers the message again, right after
        // the first copy. Those repeats are set aside and bounded; anything
        // else out of order still fails below.
        struct Flow {
            size_t sent = 0;
            std::vector<Bytes> got;
            size_t repeats = 0;
            bool MaySend() const { return sent < kBacmMessages && sent < got.size() + kWindow; }
            void Take(Bytes m)
            {
                if (!got.empty() && got.back() == m) {
                    ++repeats;
                } else {
                    got.push_back(std::move(m));
                }
            }
        } toHost, fromHost;  // from line 1 to host link 1, and back
        const auto end = Clock::now() + std::chrono::seconds(60);
        while ((toHost.got.size() < kBacmMessages || fromHost.got.size() < kBacmMessages) &&
               Clock::now() < end) {
            while (fromHost.MaySend()) host1.send(toLine(2010, numbered('h', fromHost.sent++)));
            while (toHost.MaySend() && peer.Send(numbered('l', toHost.sent))) ++toHost.sent;
            line.Pump(kPumpMs);
            for (Bytes& m : peer.TakeReceived()) fromHost.Take(std::move(m));
            hostlink::Message m;
            while (waitData(host1, m, 1)) {
                EXPECT_EQ(2010, m.destPort);
                EXPECT_EQ(2010, m.sourcePort);
                EXPECT_EQ(kSciAddr, m.destAddr);
                EXPECT_EQ(kSciAddr, m.sourceAddr);
                toHost.Take(m.payload);
            }
        }
        ASSERT_EQ(kBacmMessages, fromHost.got.size()) << "host to line 1";
        ASSERT_EQ(kBacmMessages, toHost.got.size()) << "line 1 to host";
        EXPECT_LE(toHost.repeats, peer.Counters().infoRepeated) << "line 1 to host";
        // The board's repeats are not visible from here: it repeats a packet
        // at most twice before its link counts as down.
        EXPECT_LE(fromHost.repeats, 2 * kBacmMessages) << "host to line 1";
        for (size_t i = 0; i < kBacmMessages; ++i) {
            EXPECT_EQ(numbered('h', i), fromHost.got[i]) << "host to line 1, message " << i;
            EXPECT_EQ(numbered('l', i), toHost.got[i]) << "line 1 to host, message " << i;
        }
    }

    // Serial lines 2 (RAWoS, host link 1) and 3 (host link 2, on a socket),
    // both ways; a second peer plugs into line 3 once the first has left.
    const std::tuple<const char*, const char*, hostlink::Client*, uint16_t> raws[] = {
        {"line 2", "/sci2", &host1, 2011},
        {"line 3", "/sci3.sock", &host2, 2010},
        {"line 3, second peer", "/sci3.sock", &host2, 2010}};
    for (const auto& [name, device, host, port] : raws) {
        SCOPED_TRACE(name);
        zok2tools::RawosPeer peer(zok2tools::RawosPeerConfig{});
        LinePeer line(board.dir + device, peer);
        ASSERT_TRUE(line.ok);
        host->send(toLine(port, numbered('h', 1)));
        std::vector<Bytes> got;
        pollUntil(kMessageMs, [&] {
            line.Pump(kPumpMs);
            got = peer.TakeReceived();
            return !got.empty();
        });
        EXPECT_EQ(std::vector<Bytes>{numbered('h', 1)}, got) << "host to " << name;
        peer.Send(numbered('l', 2));
        line.Pump(0);
        hostlink::Message m;
        ASSERT_TRUE(waitData(*host, m, kMessageMs)) << name << " to host";
        EXPECT_EQ(numbered('l', 2), m.payload);
        EXPECT_EQ(port, m.destPort);
        EXPECT_EQ(kSciAddr, m.sourceAddr);
    }

    // Ethernet 0 and 1: a host message leaves from the board's own port to
    // the peer; the peer's datagram comes back with the peer's address and port.
    const std::tuple<const char*, hostlink::Client*, uint32_t, uint32_t, uint16_t> eths[] = {
        {"Ethernet 0", &host1, testnet::hostAddr(2), testnet::hostAddr(3), ports[0]},
        {"Ethernet 1", &host2, testnet::hostAddr(258), testnet::hostAddr(259), ports[1]}};
    for (const auto& [name, host, boardAddr, peerAddr, port] : eths) {
        SCOPED_TRACE(name);
        // The router sends by destination port, so the peer listens on the
        // number of a port the board opened, at its own address.
        const hostlink::Message m{port, peerAddr, port, boardAddr, numbered('u', 3)};
        const int peerFd = ::socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in at{AF_INET, htons(port), {htonl(peerAddr)}, {}};
        const timeval timeout{static_cast<time_t>(kMessageMs / 1000), 0};
        ::setsockopt(peerFd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        ASSERT_EQ(0, ::bind(peerFd, reinterpret_cast<const sockaddr*>(&at), sizeof at));
        host->send(m);
        uint8_t buf[64];
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t got =
            ::recvfrom(peerFd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        ASSERT_EQ(static_cast<ssize_t>(m.payload.size()), got) << name << ": host to peer";
        EXPECT_EQ(m.payload, Bytes(buf, buf + got));
        EXPECT_EQ(htonl(boardAddr), from.sin_addr.s_addr) << "leaves from the board's address";
        EXPECT_EQ(htons(port), from.sin_port) << "and from the board's own port";

        // To the board, then to its network's broadcast address: both reach
        // the host stamped with the board's own address.
        for (const uint32_t toAddr : {boardAddr, boardAddr | 0xFFu}) {
            const Bytes back = numbered('p', toAddr & 0xFFu);
            const sockaddr_in to{AF_INET, htons(port), {htonl(toAddr)}, {}};
            ::sendto(peerFd, back.data(), back.size(), 0, reinterpret_cast<const sockaddr*>(&to),
                     sizeof to);
            hostlink::Message r;
            ASSERT_TRUE(waitData(*host, r, kMessageMs)) << name << ": peer to host";
            EXPECT_EQ(back, r.payload);
            EXPECT_EQ(peerAddr, r.sourceAddr) << "the peer's own address";
            EXPECT_EQ(port, r.sourcePort) << "the peer's own port";
            EXPECT_EQ(boardAddr, r.destAddr);
            EXPECT_EQ(port, r.destPort);
        }
        ::close(peerFd);
    }
}

}  // namespace
