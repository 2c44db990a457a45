// The runner in a network namespace of its own (--netns), started from a
// namespace of the test's own (root only; skipped with the reason otherwise):
// it replaces a stale pair, prints the host-side names, the veth pairs exist
// while it runs, and they are gone once it has stopped on SIGTERM.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <net/if.h>
#include <sched.h>

#include "hostnetlink.h"
#include "hostnetns.h"
#include "process.h"

namespace {

constexpr int kStartMs = 10000;  // start-up of a loaded machine, far above the usual 100 ms
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
    Zok2gw board({"--console", "pty", "--netns", "--netns-host-addr0", "192.168.1.1/24"});
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

    board.Signal(SIGTERM);
    EXPECT_EQ(0, board.Wait(kStopMs)) << "the runner did not stop cleanly on SIGTERM";
    // Gone as soon as the runner has exited, with nothing left for the next run.
    EXPECT_EQ(if_nametoindex("zok2h0"), 0u);
    EXPECT_EQ(if_nametoindex("zok2h1"), 0u);
}

}  // namespace
