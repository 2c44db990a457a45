// The runner in a network namespace of its own (--netns), started from a
// namespace of the test's own (root only; skipped with the reason otherwise):
// it replaces a stale pair, prints the host-side names, the veth pairs exist
// while it runs; configured as on a real network (192.168.1.10 behind
// 192.168.1.1) its addresses and default routes appear and a datagram from
// the host side reaches the host link; all is gone once it has stopped.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <net/if.h>
#include <sched.h>

#include "e2etest.h"
#include "hostnetlink.h"
#include "hostnetns.h"

namespace {

constexpr uint32_t kRepeatMs = 500;  // the peer's repeat while the link comes up
constexpr int kStopMs = 10000;

TEST(RunnerNetns, VethPairsLiveAsLongAsTheBoard)
{
    if (unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "cannot make a network namespace (needs root): " << std::strerror(errno);
    }
    const int stale = hostLinkCreateVeth("zok2h0", "stale0", -1);  // left by an earlier run
    if (stale != 0) {
        GTEST_SKIP() << "cannot create a veth pair: " << std::strerror(-stale);
    }
    Runner board({"--console", "pty", "--netns", "--netns-host-addr0", "192.168.1.1/24"});
    // The second host link comes up from the running firmware: from then on a
    // SIGTERM is a clean stop (one before the scheduler runs would be lost).
    board.WaitFor("host link 2", kStartMs, Background::Err);
    const std::string err = board.Stderr();
    EXPECT_NE(err.find("replacing stale veth zok2h0"), std::string::npos) << err;
    EXPECT_NE(err.find("Ethernet 0 on eth0 <-> zok2h0 on the host, Ethernet 1 on eth1 <-> zok2h1"),
              std::string::npos)
        << err;
    EXPECT_EQ(if_nametoindex("stale0"), 0u);
    EXPECT_TRUE(hostLinkIsVeth("zok2h0"));
    EXPECT_TRUE(hostLinkIsVeth("zok2h1"));
    EXPECT_TRUE(hostNetAddressIsLocal(inet_addr("192.168.1.1")));
    const std::string boardLinks = slurp("/proc/" + std::to_string(board.pid) + "/net/dev");
    EXPECT_NE(boardLinks.find("eth0:"), std::string::npos) << boardLinks;
    EXPECT_NE(boardLinks.find("eth1:"), std::string::npos) << boardLinks;

    // Configured like a board on a real network; group 1 too, so that the
    // router forwards.
    const std::string groups[2][4] = {{"192.168.1.10", "192.168.1.1", "0101A8C0", "eth0"},
                                      {"192.168.2.10", "192.168.2.1", "0102A8C0", "eth1"}};
    for (int n = 1; n <= 2; ++n) {
        std::string out;
        ASSERT_TRUE(board.Configure(n, groups[n - 1][1], groups[n - 1][0], {}, out)) << out;
    }
    const std::string addrs = slurp("/proc/" + std::to_string(board.pid) + "/net/fib_trie");
    const std::string routes = slurp("/proc/" + std::to_string(board.pid) + "/net/route");
    for (const auto& g : groups) {
        EXPECT_NE(addrs.find(g[0] + "\n"), std::string::npos) << g[0] << " in\n" << addrs;
        EXPECT_NE(routes.find(g[3] + "\t00000000\t" + g[2]), std::string::npos)
            << "default route via " << g[1] << " in\n"
            << routes;
    }
    hostlink::Client host;
    ASSERT_TRUE(host.connect(board.Link(1)));
    const int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    const sockaddr_in from{AF_INET, htons(4711), {inet_addr("192.168.1.1")}, {}};
    ASSERT_EQ(0, ::bind(peer, reinterpret_cast<const sockaddr*>(&from), sizeof from));
    const sockaddr_in to{AF_INET, htons(2000), {inet_addr("192.168.1.10")}, {}};
    const char text[] = "across the veth";
    // Until the board's side of the new link is up the router drops what it
    // would send there, so the peer repeats its datagram once per wait.
    hostlink::Message m;
    bool arrived = false;
    for (uint32_t waited = 0; !arrived && waited < kLinkMs + kMessageMs; waited += kRepeatMs) {
        ::sendto(peer, text, sizeof text, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        arrived = waitData(host, m, kRepeatMs);
    }
    ::close(peer);
    ASSERT_TRUE(arrived) << "datagram from the host side to the board's port 2000";
    EXPECT_EQ(std::vector<uint8_t>(text, text + sizeof text), m.payload);
    EXPECT_EQ(0xC0A80101u, m.sourceAddr) << "the peer's own address";
    EXPECT_EQ(4711u, m.sourcePort);
    EXPECT_EQ(2000u, m.destPort);
    host.disconnect();

    board.Signal(SIGTERM);
    EXPECT_EQ(0, board.Wait(kStopMs)) << "the runner did not stop cleanly on SIGTERM";
    // Gone as soon as the runner has exited, with nothing left for the next run.
    EXPECT_EQ(if_nametoindex("zok2h0"), 0u);
    EXPECT_EQ(if_nametoindex("zok2h1"), 0u);
}

}  // namespace
