#include "process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <regex>
#include <sstream>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
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
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its runner along
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

std::string slurp(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

Background::Background(const std::string& dir, const std::vector<std::string>& args, bool withInput)
    : dir(dir)
{
    int in[2] = {-1, -1};
    if (withInput && ::pipe(in) != 0) {
        return;
    }
    pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // a test that dies takes its runner along
        const int input = withInput ? in[0] : ::open("/dev/null", O_RDONLY);
        const int out = ::open((dir + "/stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(input, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        if (withInput) ::close(in[1]);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    if (withInput) {
        ::close(in[0]);
        inFd = in[1];
    }
}

Background::~Background()
{
    CloseInput();
    if (pid > 0 && !exited) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

bool Background::WaitFor(const std::string& needle, int timeoutMs, Stream stream) const
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while ((stream == Out ? Stdout() : Stderr()).find(needle) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string Background::WaitForMatch(const std::string& pattern, int timeoutMs, Stream stream) const
{
    const std::regex re(pattern);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::smatch m;
        const std::string text = stream == Out ? Stdout() : Stderr();
        if (std::regex_search(text, m, re)) return m[1];
        if (std::chrono::steady_clock::now() > deadline) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int Background::Wait(int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        if (!exited && ::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        if (exited || std::chrono::steady_clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void Background::Signal(int sig) const { ::kill(pid, sig); }

void Background::Write(const std::string& text) const
{
    ASSERT_EQ(::write(inFd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void Background::CloseInput()
{
    if (inFd >= 0) ::close(inFd);
    inFd = -1;
}
