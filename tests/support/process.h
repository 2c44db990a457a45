// Runs a program of ours (the runner, a tool) as a child process for the
// end-to-end tests, with its standard output and error collected.
#pragma once

#include <string>
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

// A fresh folder under the system's temporary folder.
std::string makeTempDir();
