#include "process.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {
void drain(int fd, std::string& into, bool& open)
{
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof(buf));
    if (n > 0) {
        into.append(buf, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        open = false;
    }
}
}  // namespace

ProcessResult runProcess(const std::vector<std::string>& args, int timeoutMs,
                         const std::string& stopOn)
{
    ProcessResult r;
    int out[2];
    int err[2];
    if (::pipe(out) != 0 || ::pipe(err) != 0) {
        return r;
    }
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        const int devnull = ::open("/dev/null", O_RDONLY);
        ::dup2(devnull, STDIN_FILENO);
        ::close(out[0]);
        ::close(err[0]);
        std::vector<char*> argv;
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    bool outOpen = true;
    bool errOpen = true;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int signals = 0;
    auto nextKill = deadline;
    bool stopSent = false;
    while (outOpen || errOpen) {
        if (!stopSent && !stopOn.empty() && r.out.find(stopOn) != std::string::npos) {
            ::kill(pid, SIGTERM);
            stopSent = true;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= nextKill) {
            ::kill(pid, signals == 0 ? SIGTERM : SIGKILL);
            ++signals;
            nextKill = now + std::chrono::seconds(1);
        }
        const short outEvents = outOpen ? POLLIN : 0;
        const short errEvents = errOpen ? POLLIN : 0;
        pollfd fds[2] = {{out[0], outEvents, 0}, {err[0], errEvents, 0}};
        const auto wait =
            std::chrono::duration_cast<std::chrono::milliseconds>(nextKill - now).count();
        ::poll(fds, 2, static_cast<int>(wait) + 1);
        if (outOpen && (fds[0].revents & (POLLIN | POLLHUP)) != 0) {
            drain(out[0], r.out, outOpen);
        }
        if (errOpen && (fds[1].revents & (POLLIN | POLLHUP)) != 0) {
            drain(err[0], r.err, errOpen);
        }
    }
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.exited = signals == 0 && WIFEXITED(status);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::string makeTempDir()
{
    std::string templ = "/tmp/zok2test.XXXXXX";
    const char* made = ::mkdtemp(&templ[0]);
    return made != nullptr ? made : "/tmp";
}
