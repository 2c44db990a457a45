// The runner in a network namespace of its own (--netns), started from a
// namespace of the test's own (root only; skipped with the reason otherwise):
// it replaces a stale pair, prints the host-side names, the veth pairs exist
// while it runs, and they are gone once it has stopped on SIGTERM.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "hostnetlink.h"
#include "hostnetns.h"
#include "process.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStartMs = 10000;  // start-up of a loaded machine, far above the usual 100 ms
constexpr int kStopMs = 10000;
constexpr int kPollMs = 20;

std::string Slurp(const std::string& path)
{
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(RunnerNetns, VethPairsLiveAsLongAsTheBoard)
{
    if (unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "cannot make a network namespace (needs root): " << std::strerror(errno);
    }
    const int stale = hostLinkCreateVeth("zok2h0", "stale0", -1);  // left by an earlier run
    if (stale != 0) {
        GTEST_SKIP() << "cannot create a veth pair: " << std::strerror(-stale);
    }
    const std::string dir = makeTempDir();
    const pid_t pid = fork();
    if (pid == 0) {
        const int err = ::open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = ::open("/dev/null", O_RDWR);
        ::dup2(in, STDIN_FILENO);
        ::dup2(in, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execl(ZOK2GW_PATH, ZOK2GW_PATH, "--run-dir", dir.c_str(), "--console", "pty", "--netns",
                "--netns-host-addr0", "192.168.1.1/24", static_cast<char*>(nullptr));
        _exit(127);
    }
    // The second host link comes up from the running firmware: from then on a
    // SIGTERM is a clean stop (one before the scheduler runs would be lost).
    std::string err;
    for (auto deadline = Clock::now() + std::chrono::milliseconds(kStartMs);
         err.find("host link 2") == std::string::npos && Clock::now() < deadline;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
        err = Slurp(dir + "/stderr");
    }
    EXPECT_NE(err.find("replacing stale veth zok2h0"), std::string::npos) << err;
    EXPECT_NE(err.find("Ethernet 0 on eth0 <-> zok2h0 on the host, Ethernet 1 on eth1 <-> zok2h1"),
              std::string::npos) << err;
    EXPECT_EQ(if_nametoindex("stale0"), 0u);
    EXPECT_TRUE(hostLinkIsVeth("zok2h0"));
    EXPECT_TRUE(hostLinkIsVeth("zok2h1"));
    EXPECT_TRUE(hostNetAddressIsLocal(inet_addr("192.168.1.1")));
    const std::string boardLinks = Slurp("/proc/" + std::to_string(pid) + "/net/dev");
    EXPECT_NE(boardLinks.find("eth0:"), std::string::npos) << boardLinks;
    EXPECT_NE(boardLinks.find("eth1:"), std::string::npos) << boardLinks;

    ::kill(pid, SIGTERM);
    int status = -1;
    for (auto deadline = Clock::now() + std::chrono::milliseconds(kStopMs);
         ::waitpid(pid, &status, WNOHANG) != pid;) {
        if (Clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            FAIL() << "the runner did not stop on SIGTERM";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    // Gone as soon as the runner has exited, with nothing left for the next run.
    EXPECT_EQ(if_nametoindex("zok2h0"), 0u);
    EXPECT_EQ(if_nametoindex("zok2h1"), 0u);
}

}  // namespace
