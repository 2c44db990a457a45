// Shared by the end-to-end tests: the bounds they wait with on a loaded
// machine, the runner in the background and our tools run to their end.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "process.h"

constexpr int kStartMs = 10000;        // start-up of a loaded machine, far above the usual 100 ms
constexpr int kToolMs = 20000;         // a tool run to its end
constexpr uint32_t kLinkMs = 3000;     // the board's keep-alive comes once a second
constexpr uint32_t kMessageMs = 5000;  // one message over any path, with repeats

// The runner in the background, its output in its run folder; by default
// with its console on a PTY and the watchdog ending it.
class Runner : public Background {
public:
    explicit Runner(std::vector<std::string> options = {"--console", "pty", "--watchdog", "exit"},
                    const std::string& runDir = makeTempDir())
        : Background(runDir, withRunDir(runDir, std::move(options)))
    {}

    // The endpoint the runner announced for host link n (1 or 2).
    std::string Endpoint(int n) const
    {
        const std::string i = std::to_string(n);
        return WaitForMatch("host link " + i + " \\(SPI" + i + "\\) on (\\S+)", kStartMs, Err);
    }
    // Host link n on its default Unix socket.
    std::string Link(int n) const { return "unix:" + dir + "/spi" + std::to_string(n) + ".sock"; }

private:
    static std::vector<std::string> withRunDir(const std::string& runDir,
                                               std::vector<std::string> options)
    {
        options.insert(options.begin(), {ZOK2GW_PATH, "--run-dir", runDir});
        return options;
    }
};

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
