// Shared by the end-to-end tests: the bounds they wait with on a loaded
// machine, the runner in the background, our tools run to their end and
// the host links' data messages.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostlink_client.h"
#include "process.h"

constexpr int kStartMs = 10000;         // start-up of a loaded machine, far above the usual 100 ms
constexpr int kToolMs = 20000;          // a tool run to its end
constexpr uint32_t kLinkMs = 3000;      // the board's keep-alive comes once a second
constexpr uint32_t kMessageMs = 5000;   // one message over any path, with repeats
constexpr uint16_t kStatusPort = 1024;  // where the board's status messages go

// `a` followed by `b`.
inline std::vector<std::string> joined(std::vector<std::string> a,
                                       const std::vector<std::string>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::string toolPath(const std::string& name)
{
    return std::string(ZOK2_TOOLS_DIR) + "/" + name;
}

// Runs a program to its end: true when it stopped by itself with status 0;
// its standard output and error in `out`.
inline bool runTool(const std::vector<std::string>& args, std::string& out)
{
    const ProcessResult r = runProcess(args, kToolMs);
    out = r.out + r.err;
    return r.exited && r.status == 0;
}

// The runner in the background, its output in its run folder; by default
// with its console on a PTY and the watchdog ending it.
class Runner : public Background {
public:
    explicit Runner(std::vector<std::string> options = {"--console", "pty", "--watchdog", "exit"},
                    const std::string& runDir = makeTempDir())
        : Background(runDir, joined({ZOK2GW_PATH, "--run-dir", runDir}, options))
    {}

    // The endpoint the runner announced for host link n (1 or 2).
    std::string Endpoint(int n) const
    {
        const std::string i = std::to_string(n);
        return WaitForMatch("host link " + i + " \\(SPI" + i + "\\) on (\\S+)", kStartMs, Err);
    }
    // Host link n on its default Unix socket.
    std::string Link(int n) const { return "unix:" + dir + "/spi" + std::to_string(n) + ".sock"; }
    // zok2host configures the group of host link n: the board at `address`
    // behind `gateway` on a /24 network, then the `more` options.
    bool Configure(int n, const std::string& gateway, const std::string& address,
                   const std::vector<std::string>& more, std::string& out) const
    {
        return runTool(
            joined({toolPath("zok2host"), "--link", Link(n), "configure", "--wait", "8000",
                    "--mask", "255.255.255.0", "--gateway", gateway, "--address", address},
                   more),
            out);
    }
};

// The next message from the host link that is not a status message (a link
// coming up makes the board post its groups' status); false when none came.
inline bool waitData(hostlink::Client& c, hostlink::Message& m, uint32_t timeoutMs)
{
    while (c.waitMessage(m, timeoutMs)) {
        if (m.destPort != kStatusPort) return true;
    }
    return false;
}
