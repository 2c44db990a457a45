// The runner as a person starts it and as a board: start-up output, a clean
// stop, the statuses of failed starts and of --watchdog exit when restarts
// stop (SIGUSR1) or after a fatal error (SIGUSR2), the host CPU time the
// board costs at rest, the console on its PTY (the banner, the menu typed
// while the host tools configure the board and talk on a serial line, the
// reboot key and the watchdog reset) and, as root, the board in a network
// namespace of its own. Real time, generous bounds; the watchdog's intervals
// on virtual time, as the runner names them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <regex>
#include <sched.h>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "e2etest.h"
#include "hostkernel.h"
#include "hostnetlink.h"
#include "hostnetns.h"
#include "hostwdt.h"
#include "soc_sys.h"
#include "testnet.h"
#include "ttyport.h"
#include "versionapl.h"
#include "wdtdrvapl.h"

namespace {

using Clock = std::chrono::steady_clock;
// Restart time-out of the watchdog is about 9.5 s; allow for a slow machine.
constexpr int kResetMs = 25000;

std::string banner()
{
    return std::string("\r\n\r\n*** ") + AppSwVer::Name + " ***\r\nv" + AppSwVer::Version + " " +
           AppSwVer::Date + "\r\n" + AppSwVer::Copyright + "\r\n\r\n";
}

// The runner in the background with the PTYs of its consoles.
class Board : public Runner {
public:
    explicit Board(const std::vector<std::string>& options) : Runner(options) {}
    ~Board()
    {
        for (int fd : ptys) ::close(fd);
    }

    // Opens the PTY the console link points to once it differs from `previous`.
    int OpenConsole(const std::string& previous, std::string* target)
    {
        int fd = -1;
        pollUntil(kResetMs, [&] {
            char buf[256];
            const ssize_t n = ::readlink((dir + "/console").c_str(), buf, sizeof(buf) - 1);
            if (n <= 0 || std::string(buf, static_cast<size_t>(n)) == previous) return false;
            *target = std::string(buf, static_cast<size_t>(n));
            fd = ::open(target->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
            return fd >= 0;
        });
        if (fd >= 0) ptys.push_back(fd);
        return fd;
    }

    // Reads from `fd` into `text` until it holds `needle` or the time is up.
    static bool ReadUntil(int fd, std::string& text, const std::string& needle, int timeoutMs)
    {
        return pollUntil(timeoutMs, [&] {
            char buf[1024];
            for (ssize_t n; (n = ::read(fd, buf, sizeof(buf))) > 0;) {
                text.append(buf, static_cast<size_t>(n));
            }
            return text.find(needle) != std::string::npos;
        });
    }

    // User plus system CPU time of the runner, in clock ticks.
    long CpuTicks() const
    {
        const std::string stat = slurp("/proc/" + std::to_string(pid) + "/stat");
        long utime = 0, stime = 0;
        // After the name: state and 10 fields, then utime and stime.
        std::sscanf(stat.c_str() + stat.rfind(')') + 2,
                    "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %ld %ld", &utime, &stime);
        return utime + stime;
    }

    std::vector<int> ptys;
};

TEST(Runner, AttachmentsPrecedeTheBannerAndACleanStopLeavesAnEmptyRunFolder)
{
    const std::string dir = makeTempDir();
    // Standard error joined to standard output (the console), so that their
    // order shows; stopped as soon as the banner begins.
    const ProcessResult r =
        runProcess({"/bin/sh", "-c", "exec \"$0\" --run-dir \"$1\" 2>&1", ZOK2GW_PATH, dir},
                   kToolMs, "\r\n*** ");
    ASSERT_TRUE(r.exited) << r.out;
    EXPECT_EQ(0, r.status) << r.out;
    const size_t banner = r.out.find("\r\n*** ");
    for (const char* line : {"UART 0 (console) on", "UART 3 (sci3) on", "host link 1 (SPI1) on",
                             "host link 2 (SPI2) on"}) {
        EXPECT_LT(r.out.find(line), banner) << line << " in\n" << r.out;
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "PTY links and sockets of the runner";
}

// Watchdog time-outs: Init's count, then the reload value every restart
// gives; the main task restarts it once a second.
constexpr auto kWdtInit =
    std::chrono::milliseconds((0x100000000ull - INITIAL_COUNT_VALUE) * 1000 / SOC_WDT_CLOCK_HZ);
constexpr auto kWdtReload =
    std::chrono::milliseconds((0x100000000ull - HOST_WDT_WLDR_RESET) * 1000 / SOC_WDT_CLOCK_HZ);
constexpr auto kMainTaskPeriod = std::chrono::seconds(1);

TEST(BadStart, EndsWithTheProgramsStatusAndLines)
{
    // The runner in a run folder of its own, ended by its watchdog; on
    // virtual time unless the firmware busy-polls the clock, which only
    // real time moves on.
    const auto gw = [](const std::vector<std::string>& options, bool virtualTime = true) {
        std::vector<std::string> args = {ZOK2GW_PATH, "--run-dir", makeTempDir(), "--watchdog",
                                         "exit"};
        if (virtualTime) args.push_back("--virtual-time");
        return joined(args, options);
    };
    const std::string host = toolPath("zok2host");
    const std::string nowhere = makeTempDir() + "/none.sock";
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* out = "";
        const char* err = "";
        // A fatal error: the simulated time it came at least this late, the
        // watchdog a reload time-out after it (the fatal path restarts it).
        std::optional<std::chrono::milliseconds> fatalAfter{};
    };
    const Case cases[] = {
        {gw({"--fail-task-create", "main"}), hostExitStatusForFatal(-10),
         "\r\nFATAL ERROR: code= -10 module= main.cpp file= main.cpp line= ", "",
         std::chrono::seconds(0)},
        // The board waits one second for its interfaces before it gives up.
        {gw({"--eth1", "zok2-missing0"}, false), hostExitStatusForFatal(-40),
         "FATAL ERROR: code= -40 module= ethapl.cpp", "Ethernet 1: Linux interface zok2-missing0",
         std::chrono::seconds(1)},
        {gw({"--no-such-option"}), 2, "", "usage:"},
        {{host}, 2},
        {{host, "send", "--to", "10.80.0.1", "--text", "x"}, 2},
        {{host, "send", "--to", "10.80.0.1:2010", "--hex", "0g"}, 2},
        {{host, "send", "--to", "10.80.0.1:2010", "--hex", std::string(2 * 1469, 'a')}, 2},
        {{host, "config", "96E"}, 2},
        {{host, "--link", nowhere, "monitor"}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        // On real time: start-up on a loaded machine, the wait, the reload
        // time-out and a period for the fatal report.
        const auto realTime = std::chrono::milliseconds(kStartMs) +
                              c.fatalAfter.value_or(std::chrono::milliseconds(0)) + kWdtReload +
                              kMainTaskPeriod;
        const ProcessResult r =
            runProcess(c.args, std::max(kToolMs, static_cast<int>(realTime.count())));
        ASSERT_TRUE(r.exited) << r.err;
        EXPECT_EQ(c.status, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.out.find(c.out)) << r.out;
        EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
        if (c.fatalAfter) {
            std::smatch m;
            ASSERT_TRUE(std::regex_search(
                r.err, m,
                std::regex("watchdog expired after fatal error -?\\d+ at simulated time "
                           "(\\d+) ms")))
                << r.err;
            EXPECT_GE(std::chrono::milliseconds(std::stoull(m[1].str())),
                      *c.fatalAfter + kWdtReload)
                << r.err;
        }
    }
}

TEST(Board, WatchdogExitStatusNamesTheCause)
{
    // On virtual time: the runner names the simulated time of the request
    // and of the expiry, so the interval is the firmware's, not the host's.
    const std::tuple<int, int, const char*, const char*> cases[] = {
        {SIGUSR1, HOST_WDT_EXIT_STATUS, "watchdog restarts blocked \\(SIGUSR1\\)",
         "watchdog expired"},
        {SIGUSR2, hostExitStatusForFatal(-3), "firmware abort requested \\(SIGUSR2\\)",
         "watchdog expired after fatal error -3"}};
    for (const auto& [sig, status, request, expiry] : cases) {
        SCOPED_TRACE(sig);
        Board b({"--watchdog", "exit", "--virtual-time"});
        ASSERT_TRUE(b.WaitFor(banner(), kStartMs)) << b.Stdout();
        ASSERT_EQ(0u, b.Stdout().find(banner())) << b.Stdout();
        b.Signal(sig);
        EXPECT_EQ(status, b.Wait(kResetMs)) << b.Stderr();
        const std::string at = " at simulated time (\\d+) ms\n";
        const std::string signalled =
            b.WaitForMatch(std::string("zok2gw: ") + request + at, 0, Background::Err);
        const std::string expired =
            b.WaitForMatch(std::string("zok2gw: ") + expiry + at, 0, Background::Err);
        ASSERT_FALSE(signalled.empty()) << b.Stderr();
        ASSERT_FALSE(expired.empty()) << b.Stderr();
        // A full reload time-out from the last restart, which the main task
        // made one period before the request at most. This also shows that
        // the main task restarted it: Init's time-out alone is shorter. The
        // fatal path restarts it while it reports, a period at most.
        static_assert(kWdtInit < kWdtReload - kMainTaskPeriod);
        const auto interval =
            std::chrono::milliseconds(std::stoull(expired) - std::stoull(signalled));
        EXPECT_GE(interval, kWdtReload - kMainTaskPeriod) << b.Stderr();
        EXPECT_LE(interval, kWdtReload + kMainTaskPeriod) << b.Stderr();
    }
}

TEST(Board, AtRestTheBoardCostsOnlyAFewPercentOfOneCore)
{
    Board b({"--console", "pty"});
    std::string target;
    ASSERT_GE(b.OpenConsole("", &target), 0);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const long before = b.CpuTicks();
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const long used = b.CpuTicks() - before;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double share = static_cast<double>(used) / ::sysconf(_SC_CLK_TCK) / seconds;
    RecordProperty("cpu_share_percent", std::to_string(share * 100.0));
    std::printf("runner at rest: %.1f %% of one core\n", share * 100.0);
    EXPECT_LT(share, 0.15);
}

TEST(Board, ConsoleMenuTypedOnThePtyEndsInARebootByTheWatchdog)
{
    Board b({"--console", "pty"});
    std::string first;
    const int fd = b.OpenConsole("", &first);
    ASSERT_GE(fd, 0) << b.Stderr();
    std::string text;
    const std::string started =
        "2 Ethernet interfaces detected: lo lo\r\nWaiting for configuration...\r\n";
    ASSERT_TRUE(Board::ReadUntil(fd, text, banner() + started, kStartMs)) << text;
    EXPECT_EQ(banner() + started, text) << "nothing but the interfaces and the router at start";
    EXPECT_NE(std::string::npos, b.Stderr().find("UART 0 (console) on " + first));
    EXPECT_EQ("", b.Stdout());  // nothing of the console reaches standard output

    // Types keys, then waits for what a person waits to see before going on.
    const auto type = [&](const std::string& keys, const std::string& shows) {
        text.clear();
        EXPECT_EQ(static_cast<ssize_t>(keys.size()), ::write(fd, keys.data(), keys.size()));
        return Board::ReadUntil(fd, text, shows, kStartMs);
    };
    ASSERT_TRUE(type(" ", "\r\n*** Main Menu ***\r\n[1] Version\r\n")) << text;
    EXPECT_EQ(0u, text.find("\r\n*** Main Menu")) << "no stray output before the first key";
    ASSERT_TRUE(type("1", std::string("\r\n") + AppSwVer::Name + "\r\nv" + AppSwVer::Version + " " +
                              AppSwVer::Date + "\r\n" + AppSwVer::Copyright + "\r\n"))
        << text;
    ASSERT_TRUE(type("61", "\r\nRouter Statistics:\r\nState:             Configuration\r\n"))
        << text;

    // A configuration the board refuses: the board stays up and says why on
    // its console, zok2host fails with its reason.
    std::string out;
    const std::string port0 = std::to_string(testnet::port(0));
    EXPECT_FALSE(b.Configure(1, testnet::text(1), testnet::text(2),
                             {"--port", port0, "--port", port0, "--wait", "2000"}, out))
        << out;
    EXPECT_NE(std::string::npos, out.find("zok2host: the group is not configured")) << out;
    EXPECT_TRUE(Board::ReadUntil(fd, text, "ERROR: Duplicate UDP port on group 0.\r\n", kStartMs))
        << text;

    // Both groups configured by the host, on networks and ports of this
    // process's own; line 2 runs RAWoS with even parity.
    ASSERT_TRUE(b.Configure(1, testnet::text(1), testnet::text(2),
                            {"--port", port0, "--line2", "rs232:rawos:115200:even:16"}, out))
        << out;
    // The group runs its first configuration, not another one sent later.
    EXPECT_FALSE(b.Configure(1, testnet::text(1), testnet::text(3), {"--wait", "2000"}, out))
        << out;
    EXPECT_NE(std::string::npos, out.find("zok2host: the group runs another configuration")) << out;
    ASSERT_TRUE(b.Configure(2, testnet::text(257), testnet::text(258),
                            {"--port", std::to_string(testnet::port(1))}, out))
        << out;
    ASSERT_TRUE(type("1", "\r\nRouter Statistics:\r\nState:                    Steady\r\n"))
        << text;
    ASSERT_TRUE(type("x22",
                     "\r\nUART index:        2\r\nInterface:         RS232\r\n"
                     "Baud rate:         115200\r\nWord length:       8\r\n"
                     "Stop bits:         1\r\nParity:            EVEN\r\n"
                     "Protocol type:     RAWoS\r\nInterchar timeout: 16\r\n"
                     "Reception timeout: 60000\r\n"))
        << text;

    // One five-byte message on line 2; its counters show once it is in.
    ASSERT_TRUE(runTool({"/bin/sh", "-c",
                         "echo hello | \"$0\" --device \"$1\" --protocol rawos "
                         "--rate 115200 --parity even --linger 100",
                         toolPath("zok2line"), b.dir + "/sci2"},
                        out))
        << out;
    const std::string counted =
        "\r\nUART Statistics:\r\n"
        "BytesSent:                    0  BytesRecvd:                   5\r\n"
        "BreakDetectedErrors:          0  FramingErrors:                0\r\n"
        "ParityErrors:                 0  OverrunErrors:                0\r\n"
        "RecvTimeoutErrors:            0\r\n"
        "\r\nRAWoS Statistics:\r\nLink: UP\r\n"
        "RecvdMessages:                    1  SentMessages:                     0\r\n";
    ASSERT_TRUE(type("x4", "[r] Reset Statistics\r\n[ESC] Main page\r\n")) << text;
    EXPECT_TRUE(pollUntil(kStartMs, [&] {
        return type("2", "RecvdMsgLengthErrors: ") &&
               Board::ReadUntil(fd, text, "\r\n", kStartMs) &&
               text.find(counted) != std::string::npos;
    })) << text;

    struct Step {
        char key;
        std::string shows;
    };
    const Step steps[] = {
        {'x', "[7] Other\r\n"},
        {'7', "[r] Reboot\r\n[ESC] Main page\r\n"},
        {'1',
         "Total number of BDs: 128\r\nNumber of free BDs:  128\r\nBD capacity:         1468\r\n"},
        {'5', "CPU load: "},
        {'r', "\r\nFATAL ERROR: code= -1 module= dcmenuapl.cpp file= dcmenuapl.cpp line= "},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(1, s.key));
        ASSERT_TRUE(type(std::string(1, s.key), s.shows)) << text;
        if (s.key == '5') {
            ASSERT_TRUE(Board::ReadUntil(fd, text, "%\r\n", kStartMs)) << text;
            const std::string load = text.substr(text.find("CPU load: ") + 10);
            const int percent = std::stoi(load);
            EXPECT_TRUE(percent >= 0 && percent <= 100) << text;
        }
    }

    std::string second;
    const int fd2 = b.OpenConsole(first, &second);
    ASSERT_GE(fd2, 0) << b.Stderr();
    std::string again;
    EXPECT_TRUE(Board::ReadUntil(fd2, again, banner(), kResetMs)) << again;
    EXPECT_NE(std::string::npos, b.Stderr().find("watchdog expired after fatal error -1"));
    b.Signal(SIGTERM);
    EXPECT_EQ(0, b.Wait(kStartMs));
}

// The number after `label` in the last page that shows it (-1 if none).
long pageCount(const std::string& page, const std::string& label)
{
    const size_t at = page.rfind(label);
    return at == std::string::npos ? -1
                                   : std::strtol(page.c_str() + at + label.size(), nullptr, 10);
}

// zok2host at its default rate is paced so that the board loses nothing of
// a stream of small messages; a stream beyond what a serial line can carry
// is delivered or counted, message for message, on the console's pages.
TEST(Board, HostStreamsArriveWholeOrCountedOnThePages)
{
    Board b({"--console", "pty", "--watchdog", "exit"});
    std::string target;
    const int fd = b.OpenConsole("", &target);
    ASSERT_GE(fd, 0) << b.Stderr();
    std::string text;
    ASSERT_TRUE(Board::ReadUntil(fd, text, "Waiting for configuration...\r\n", kStartMs)) << text;
    const std::string esc = "\x1b";  // back to the main menu
    std::string out;
    // Networks and ports of this process's own; the UDP peer at the gateway.
    const std::string udpPort = std::to_string(testnet::port(0));
    ASSERT_TRUE(b.Configure(1, testnet::text(1), testnet::text(2),
                            {"--port", udpPort, "--line2", "rs232:rawos:115200:none:16"}, out))
        << out;
    ASSERT_TRUE(b.Configure(2, testnet::text(257), testnet::text(258),
                            {"--port", std::to_string(testnet::port(1))}, out))
        << out;
    // A page's text once it has printed the line that starts with `last`.
    const auto page = [&](const std::string& keys, const std::string& last) {
        text.clear();
        EXPECT_EQ(static_cast<ssize_t>(keys.size()), ::write(fd, keys.data(), keys.size()));
        EXPECT_TRUE(pollUntil(kStartMs,
                              [&] {
                                  Board::ReadUntil(fd, text, last, 0);
                                  const size_t at = text.rfind(last);
                                  return at != std::string::npos &&
                                         text.find("\r\n", at) != std::string::npos;
                              }))
            << keys << ": " << text;
        return text;
    };

    // 3,000 four-byte lines to a UDP peer.
    constexpr long kLines = 3000;
    page(esc + "5r", "[ESC] Main page");
    const int peer = ::socket(AF_INET, SOCK_DGRAM, 0);
    // Room for the whole stream, should this process be held up (the
    // forced size needs the right to administer the network).
    const int big = 1 << 22;
    if (::setsockopt(peer, SOL_SOCKET, SO_RCVBUFFORCE, &big, sizeof big) != 0) {
        ::setsockopt(peer, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
    const timeval slice{0, 100000};
    ::setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice);
    const sockaddr_in at{AF_INET, htons(testnet::port(0)), {testnet::netAddr(1)}, {}};
    ASSERT_EQ(0, ::bind(peer, reinterpret_cast<const sockaddr*>(&at), sizeof at));
    {
        Background host(makeTempDir(),
                        {toolPath("zok2host"), "--link", b.Link(1), "host", "--to",
                         testnet::text(1) + ":" + udpPort},
                        true);
        std::string lines;
        for (long i = 0; i < kLines; ++i) {
            char line[8];
            std::snprintf(line, sizeof line, "%04ld\n", i);
            lines += line;
        }
        host.Write(lines);
        host.CloseInput();
        std::vector<std::string> got;
        const auto end = Clock::now() + std::chrono::milliseconds(kToolMs);
        while (static_cast<long>(got.size()) < kLines && Clock::now() < end) {
            char buf[64];
            const ssize_t n = ::recv(peer, buf, sizeof buf, 0);
            if (n > 0) got.emplace_back(buf, static_cast<size_t>(n));
        }
        ASSERT_EQ(kLines, static_cast<long>(got.size())) << host.Stderr();
        for (long i = 0; i < kLines; ++i) {
            char line[8];
            std::snprintf(line, sizeof line, "%04ld", i);
            ASSERT_EQ(line, got[static_cast<size_t>(i)]) << "in order, each once";
        }
    }
    ::close(peer);
    const std::string spi = page(esc + "51", "MailboxFullErrors:");
    EXPECT_EQ(kLines, pageCount(spi, "RecvdMessages:")) << spi;
    EXPECT_EQ(0, pageCount(spi, "RecvDataQueueFullErrors:")) << "paced below the board's rate";
    EXPECT_EQ(0, pageCount(spi, "MailboxFullErrors:")) << spi;

    // 500 messages of 100 bytes to serial line 2 (RAWoS, 115200 bit/s): far
    // more than its transmit FIFO holds while the line carries 11.5 kB/s.
    constexpr long kFlood = 500;
    constexpr size_t kLen = 100;
    page("r" + esc + "6r", "[ESC] Main page");
    page(esc + "4r", "[ESC] Main page");
    zok2tools::TtyPort line2;
    ASSERT_TRUE(line2.Open(b.dir + "/sci2", 115200, zok2tools::Parity::None, 1, out)) << out;
    std::string carried;
    const auto readLine = [&] {
        uint8_t buf[4096];
        for (long n; (n = line2.Read(buf, sizeof buf)) > 0;) {
            carried.append(reinterpret_cast<char*>(buf), static_cast<size_t>(n));
        }
    };
    long sent = 0, refused = 0;
    {
        Background host(
            makeTempDir(),
            {toolPath("zok2host"), "--link", b.Link(1), "host", "--to", "10.80.0.1:2011"}, true);
        std::string lines;
        for (long i = 0; i < kFlood; ++i) {
            lines += std::string(kLen - 4, static_cast<char>('a' + i % 26)) +
                     std::to_string(1000 + i) + "\n";
        }
        host.Write(lines);
        host.CloseInput();
        // Until the router has handled them all: sent on the line or refused.
        pollUntil(kToolMs, [&] {
            readLine();
            refused = pageCount(page(esc + "61", "SendRefusedErrors:"), "SendRefusedErrors:");
            sent = pageCount(page(esc + "42", "MailboxFullErrors:"), "SentMessages:");
            return sent + refused >= kFlood;
        });
    }
    EXPECT_EQ(kFlood, sent + refused) << "each message sent on the line or counted as refused";
    EXPECT_GT(refused, 0) << "the flood is beyond what the line carries";
    // What the line carried: exactly the messages sent, whole.
    pollUntil(kToolMs, [&] {
        line2.WaitReadable(100);
        readLine();
        return static_cast<long>(carried.size()) >= sent * static_cast<long>(kLen);
    });
    ASSERT_EQ(static_cast<size_t>(sent) * kLen, carried.size());
    for (size_t i = 0; i < carried.size(); i += kLen) {
        ASSERT_EQ(std::string(kLen - 4, carried[i]), carried.substr(i, kLen - 4)) << i;
    }
}

constexpr uint32_t kRepeatMs = 500;  // the peer's repeat while the link comes up

// Started from a namespace of the test's own (root only; skipped with the
// reason otherwise): it replaces a stale pair; configured as on a real
// network (192.168.1.10 behind 192.168.1.1) its addresses and default routes
// appear, a datagram from the host side reaches the host link, and the
// broadcasts of each network (to its own broadcast address and to
// 255.255.255.255) reach the host link of that interface's group only.
TEST(RunnerNetns, VethPairsLiveAsLongAsTheBoard)
{
    // Back in the process's own namespace at the end: the later tests of this
    // binary use its loopback addresses.
    struct OwnNetns {
        const int fd = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
        ~OwnNetns()
        {
            if (fd >= 0) {
                EXPECT_EQ(0, ::setns(fd, CLONE_NEWNET)) << std::strerror(errno);
                ::close(fd);
            }
        }
    } ownNetns;
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
    const std::string procNet = "/proc/" + std::to_string(board.pid) + "/net/";
    const std::string boardLinks = slurp(procNet + "dev");
    EXPECT_NE(boardLinks.find("eth0:"), std::string::npos) << boardLinks;
    EXPECT_NE(boardLinks.find("eth1:"), std::string::npos) << boardLinks;

    // Configured like a board on a real network; group 1 too, so that the
    // router forwards.
    const std::string groups[2][4] = {{"192.168.1.10", "192.168.1.1", "0101A8C0", "eth0"},
                                      {"192.168.2.10", "192.168.2.1", "0102A8C0", "eth1"}};
    for (int n = 1; n <= 2; ++n) {
        const auto& g = groups[n - 1];
        std::string out;
        ASSERT_TRUE(board.Configure(n, g[1], g[0], {}, out)) << out;
        const std::string addrs = slurp(procNet + "fib_trie");
        const std::string routes = slurp(procNet + "route");
        EXPECT_NE(addrs.find(g[0] + "\n"), std::string::npos) << g[0] << " in\n" << addrs;
        EXPECT_NE(routes.find(g[3] + "\t00000000\t" + g[2]), std::string::npos)
            << "default route via " << g[1] << " in\n"
            << routes;
    }
    hostlink::Client host;
    ASSERT_TRUE(host.connect(board.Link(1)));
    // A peer on each network, on the host side of its pair.
    std::string err2;
    ASSERT_TRUE(hostNetAddAddress("zok2h1", inet_addr("192.168.2.1"), 24, err2)) << err2;
    int peers[2];
    for (int n = 0; n < 2; ++n) {
        peers[n] = ::socket(AF_INET, SOCK_DGRAM, 0);
        const int on = 1;
        ::setsockopt(peers[n], SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        const sockaddr_in from{
            AF_INET, htons(static_cast<uint16_t>(4711 + n)), {inet_addr(groups[n][1].c_str())}, {}};
        ASSERT_EQ(0, ::bind(peers[n], reinterpret_cast<const sockaddr*>(&from), sizeof from));
    }
    const auto sendTo = [&](int n, const char* to, const std::string& text) {
        const sockaddr_in a{AF_INET, htons(2000), {inet_addr(to)}, {}};
        return ::sendto(peers[n], text.data(), text.size(), 0,
                        reinterpret_cast<const sockaddr*>(&a),
                        sizeof a) == static_cast<ssize_t>(text.size());
    };
    // Until the board's side of the new link is up the router drops what it
    // would send there, so the peer repeats its datagram once per wait.
    const std::string text = "across the veth";
    hostlink::Message m;
    const bool arrived = pollUntil(static_cast<int>(kLinkMs + kMessageMs), [&] {
        sendTo(0, "192.168.1.10", text);
        return waitData(host, m, kRepeatMs);
    });
    ASSERT_TRUE(arrived) << "datagram from the host side to the board's port 2000";
    EXPECT_EQ(std::vector<uint8_t>(text.begin(), text.end()), m.payload);
    EXPECT_EQ(0xC0A80101u, m.sourceAddr) << "the peer's own address";
    EXPECT_EQ(4711u, m.sourcePort);
    EXPECT_EQ(2000u, m.destPort);
    // Repeats of it may still come.
    while (waitData(host, m, kRepeatMs)) {}

    hostlink::Client host2;
    ASSERT_TRUE(host2.connect(board.Link(2)));
    ASSERT_TRUE(host2.waitLink(true, kLinkMs));
    // Each network's limited broadcast is sent before the other's, so that a
    // stray copy on the other interface would come ahead of what is awaited.
    ASSERT_TRUE(sendTo(0, "255.255.255.255", "limited 0"));
    ASSERT_TRUE(sendTo(1, "255.255.255.255", "limited 1"));
    ASSERT_TRUE(sendTo(0, "255.255.255.255", "limited 0 again"));
    ASSERT_TRUE(sendTo(0, "192.168.1.255", "subnet 0"));
    ASSERT_TRUE(sendTo(1, "192.168.2.255", "subnet 1"));
    const std::tuple<hostlink::Client*, uint32_t, std::multiset<std::string>> expected[] = {
        {&host, 0xC0A8010Au, {"limited 0", "limited 0 again", "subnet 0"}},
        {&host2, 0xC0A8020Au, {"limited 1", "subnet 1"}}};
    for (const auto& [client, boardAddr, texts] : expected) {
        SCOPED_TRACE(boardAddr);
        std::multiset<std::string> got;
        while (got.size() < texts.size() && waitData(*client, m, kMessageMs)) {
            got.emplace(m.payload.begin(), m.payload.end());
            EXPECT_EQ(boardAddr, m.destAddr) << "the port's own address";
            EXPECT_EQ(2000u, m.destPort);
        }
        EXPECT_EQ(texts, got);
    }
    for (int fd : peers) ::close(fd);
    host.disconnect();
    host2.disconnect();

    board.Signal(SIGTERM);
    EXPECT_EQ(0, board.Wait(kStartMs)) << "the runner did not stop cleanly on SIGTERM";
    // Gone as soon as the runner has exited, with nothing left for the next run.
    EXPECT_EQ(if_nametoindex("zok2h0"), 0u);
    EXPECT_EQ(if_nametoindex("zok2h1"), 0u);
}

}  // namespace
