// tshark with our dissector, for the tests that read a capture back.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "process.h"

constexpr int kTsharkMs = 60000;  // tshark starting with a Lua script, on a loaded machine

// tshark's standard output for the file with the extra arguments; a failed
// run (a file cut short, a dissector error) fails the calling test.
inline std::string tshark(const std::string& file, const std::vector<std::string>& more)
{
    std::vector<std::string> args = {
        "/usr/bin/env",
        "tshark",
        "-n",
        "-r",
        file,
        "-X",
        std::string("lua_script:") + ZOK2_SOURCE_DIR + "/tools/wireshark/zok2.lua"};
    args.insert(args.end(), more.begin(), more.end());
    const ProcessResult r = runProcess(args, kTsharkMs);
    // As root tshark warns on standard error; only the status and output count.
    EXPECT_TRUE(r.exited && r.status == 0) << r.err;
    return r.out;
}
