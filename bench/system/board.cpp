// Starting and configuring the runner for the gateway's workloads.
#include "board.h"

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

#include "proc.h"

namespace {

constexpr int START_MS = 10000;
constexpr uint32_t LINK_MS = 3000;  // the board's keep-alive comes once a second
constexpr uint32_t ANSWER_MS = 3000;
constexpr int STOP_GRACE_MS = 3000;
constexpr int POLL_MS = 20;

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

}  // namespace

uint32_t benchAddr(uint32_t third, uint32_t fourth)
{
    const auto b = static_cast<uint32_t>(128 + ::getpid() % 120);
    return 0x7F000000u | b << 16 | third << 8 | fourth;
}

const uint32_t GROUP0_ADDR = benchAddr(110, 2);
const uint32_t GROUP1_ADDR = benchAddr(120, 2);

zok2tools::GroupConfig loopbackGroup(int group)
{
    zok2tools::GroupConfig g;
    g.mask = 0xFFFFFF00;
    g.address = group == 0 ? GROUP0_ADDR : GROUP1_ADDR;
    g.gateway = (g.address & g.mask) | 1;
    return g;
}

Board::~Board()
{
    if (pid > 0) stop();
}

bool Board::start(const std::string& runner, const std::string& runDir, const std::string& logPath,
                  std::string& error, bool onSockets)
{
    dir = runDir;
    log = logPath;
    std::ofstream(logPath, std::ios::trunc).flush();
    std::vector<std::string> args = {runner, "--run-dir",  runDir, "--console",
                                     "pty",  "--watchdog", "exit"};
    for (const char* line : {"--sci1", "--sci2", "--sci3"}) {
        if (onSockets) args.insert(args.end(), {line, "unix"});
    }
    socketLines = onSockets;
    pid = startProcess(args, logPath);
    if (pid < 0) {
        error = "no runner at " + runner + " (make bench builds it)";
        return false;
    }
    for (int waited = 0; waited < START_MS; waited += POLL_MS) {
        if (slurp(logPath).find("host link 2") != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_MS));
    }
    error = "the runner did not open its host links (" + logPath + ")";
    return false;
}

std::string Board::line(int n) const
{
    return dir + "/sci" + std::to_string(n) + (socketLines ? ".sock" : "");
}

bool Board::configure(int group, const zok2tools::GroupConfig& cfg, std::string& error)
{
    hostlink::ClientOptions options;
    options.pollIntervalMs = 1;  // latency is measured at this client
    options.link.maxTxBytesPerSec = 0;
    link[group] = std::make_unique<hostlink::Client>(options);
    hostlink::Client& c = *link[group];
    const std::string endpoint = "unix:" + dir + "/spi" + std::to_string(group + 1) + ".sock";
    if (!c.connect(endpoint, &error)) return false;
    c.sendConnection();
    if (!c.waitLink(true, LINK_MS)) {
        error = "host link " + std::to_string(group + 1) + " did not come up";
        return false;
    }
    hostlink::Message msg;
    msg.destPort = CONFIG_PORT;
    msg.sourcePort = CONFIG_PORT;
    if (!zok2tools::EncodeConfig(cfg, msg.payload, &error)) return false;
    c.send(msg);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ANSWER_MS);
    while (std::chrono::steady_clock::now() < end) {
        hostlink::Message m;
        if (!c.waitMessage(m, POLL_MS)) continue;
        std::string text;
        if (m.destPort == CONFIG_PORT && zok2tools::DescribeStatus(m.payload, text) &&
            text.find("group configured") != std::string::npos) {
            return true;
        }
    }
    error = "group " + std::to_string(group) + " not configured";
    return false;
}

int Board::stop()
{
    for (auto& l : link) {
        if (l) l->disconnect();
    }
    const int status = stopProcess(pid, STOP_GRACE_MS);
    pid = -1;
    return status;
}

std::string Board::largestLag() const
{
    const std::string text = slurp(log);
    const std::string key = "largest lag of simulated time ";
    const size_t at = text.rfind(key);
    if (at == std::string::npos) return "unknown";
    const size_t from = at + key.size();
    return text.substr(from, text.find('\n', from) - from);
}
