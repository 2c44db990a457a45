// Child process control and per-thread CPU accounting from /proc.
#include "proc.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {
constexpr int POLL_STEP_MS = 5;
constexpr int MAX_INHERITED_FD = 1024;
}  // namespace

uint64_t nowNs()
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::string findProgram(const std::string& name)
{
    if (name.find('/') != std::string::npos) {
        return ::access(name.c_str(), X_OK) == 0 ? name : std::string();
    }
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    dirs += ":/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = dirs.find(':', start);
        const std::string dir =
            dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string full = dir + "/" + name;
        if (!dir.empty() && ::access(full.c_str(), X_OK) == 0) return full;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return std::string();
}

pid_t startProcess(const std::vector<std::string>& args, const std::string& logPath)
{
    const std::string program = findProgram(args.at(0));
    if (program.empty()) return -1;
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    const int in = ::open("/dev/null", O_RDONLY);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ::dup2(in, STDIN_FILENO);
    ::dup2(log, STDOUT_FILENO);
    ::dup2(log, STDERR_FILENO);
    // Nothing of the driver's (PTYs, sockets) may leak into a relay: a relay
    // holding another relay's line would be taken for ready.
    for (int fd = STDERR_FILENO + 1; fd < MAX_INHERITED_FD; ++fd) ::close(fd);
    ::setpgid(0, 0);  // keeps a terminal's Ctrl-C for the driver, which stops its children
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    _exit(127);
}

bool waitProcess(pid_t pid, int timeoutMs, int& status)
{
    for (int waited = 0;; waited += POLL_STEP_MS) {
        int raw = 0;
        const pid_t r = ::waitpid(pid, &raw, WNOHANG);
        if (r == pid) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            return true;
        }
        if (r < 0 || waited >= timeoutMs) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_STEP_MS));
    }
}

int stopProcess(pid_t pid, int graceMs)
{
    if (pid <= 0) return -1;
    int status = -1;
    ::kill(pid, SIGTERM);
    if (waitProcess(pid, graceMs, status)) return status;
    ::kill(pid, SIGKILL);
    waitProcess(pid, graceMs, status);
    return -1;
}

uint64_t processCpuNs(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return 0;
    uint64_t total = 0;
    while (const dirent* e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name + "/schedstat");
        uint64_t onCpu = 0;
        if (in >> onCpu) total += onCpu;
    }
    ::closedir(d);
    return total;
}
