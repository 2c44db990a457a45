// Child processes of the end-to-end tests: a program run to its end with
// its output collected, or kept in the background with its output in files.
#include "process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <regex>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

bool pollUntil(int timeoutMs, const std::function<bool()>& done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

ProcessResult runProcess(const std::vector<std::string>& args, int timeoutMs,
                         const std::string& stopOn)
{
    ProcessResult r;
    Background child(makeTempDir(), args);
    if (child.pid <= 0) return r;
    auto nextKill = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    int signals = 0;
    bool stopSent = false;
    int status = 0;
    while (!child.Ended(status)) {
        if (!stopSent && !stopOn.empty() && child.Stdout().find(stopOn) != std::string::npos) {
            child.Signal(SIGTERM);
            stopSent = true;
        }
        if (std::chrono::steady_clock::now() >= nextKill) {
            child.Signal(signals++ == 0 ? SIGTERM : SIGKILL);
            nextKill = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    r.exited = signals == 0 && WIFEXITED(status);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = child.Stdout();
    r.err = child.Stderr();
    ::unlink((child.dir + "/stdout").c_str());
    ::unlink((child.dir + "/stderr").c_str());
    ::rmdir(child.dir.c_str());
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
    return std::string(std::istreambuf_iterator<char>(f), {});
}

Background::Background(const std::string& dir, const std::vector<std::string>& args, bool withInput)
    : dir(dir)
{
    int in[2] = {-1, -1};
    if (withInput && ::pipe(in) != 0) return;
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
    return pollUntil(timeoutMs, [&] { return Text(stream).find(needle) != std::string::npos; });
}

std::string Background::WaitForMatch(const std::string& pattern, int timeoutMs, Stream stream) const
{
    const std::regex re(pattern);
    std::string text;
    std::smatch m;
    const bool found = pollUntil(timeoutMs, [&] {
        text = Text(stream);
        return std::regex_search(text, m, re);
    });
    return found ? m[1].str() : "";
}

bool Background::Ended(int& status)
{
    if (!exited && pid > 0 && ::waitpid(pid, &waitStatus, WNOHANG) == pid) exited = true;
    status = waitStatus;
    return exited;
}

int Background::Wait(int timeoutMs)
{
    int status = 0;
    if (!pollUntil(timeoutMs, [&] { return Ended(status); })) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void Background::Signal(int sig) const
{
    if (pid > 0) ::kill(pid, sig);  // never -1: that would signal every process of ours
}

void Background::Write(const std::string& text) const
{
    ASSERT_EQ(::write(inFd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void Background::CloseInput()
{
    if (inFd >= 0) ::close(inFd);
    inFd = -1;
}
