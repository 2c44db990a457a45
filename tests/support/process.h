// Programs of ours (the runner, a tool) as child processes of the
// end-to-end tests: run to their end with their output collected, or in the
// background with their output in files.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

struct ProcessResult {
    bool exited = false;  // ended by itself (not by the time limit)
    int status = -1;      // exit status when exited
    std::string out;      // standard output
    std::string err;      // standard error
};

// Runs args[0] with the rest as arguments. After timeoutMs the child gets
// SIGTERM (then SIGKILL a second later) and `exited` is false. With `stopOn`
// given, the child gets SIGTERM once its standard output holds that text, as
// a person stops it with Ctrl-C; `exited` then tells whether it stopped.
ProcessResult runProcess(const std::vector<std::string>& args, int timeoutMs,
                         const std::string& stopOn = "");

// Checks `done` every 20 ms until it holds (true) or `timeoutMs` has
// passed (false).
bool pollUntil(int timeoutMs, const std::function<bool()>& done);

// A fresh folder under the system's temporary folder.
std::string makeTempDir();

// The whole content of a file ("" if it cannot be read).
std::string slurp(const std::string& path);

// A program of ours running in the background, as the end-to-end tests
// start the runner or a tool: standard output and error go to files of a
// folder (`dir`, the runner's run folder), standard input is /dev/null or,
// with `withInput`, a pipe for Write. Killed on destruction if still running.
class Background {
public:
    enum Stream { Out, Err };

    Background(const std::string& dir, const std::vector<std::string>& args,
               bool withInput = false);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    std::string Stdout() const { return slurp(dir + "/stdout"); }
    std::string Stderr() const { return slurp(dir + "/stderr"); }
    std::string Text(Stream stream) const { return stream == Out ? Stdout() : Stderr(); }
    // Waits until the stream holds `needle`; false when the time is up.
    bool WaitFor(const std::string& needle, int timeoutMs, Stream stream = Out) const;
    // Waits for the first match of `pattern` in the stream; its first group,
    // or "" when the time is up.
    std::string WaitForMatch(const std::string& pattern, int timeoutMs, Stream stream) const;
    // Waits for the program to end: its exit status, or -1 on time-out or signal.
    int Wait(int timeoutMs);
    // Whether the program has ended; its wait status in `status` then.
    bool Ended(int& status);
    void Signal(int sig) const;
    void Write(const std::string& text) const;
    void CloseInput();

    const std::string dir;
    pid_t pid = -1;

private:
    bool exited = false;
    int waitStatus = 0;
    int inFd = -1;
};
