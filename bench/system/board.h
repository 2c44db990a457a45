// The runner as the benchmark drives it: started with its lines on PTYs
// and its host links on Unix sockets in a folder of its own, then
// configured over the host links as a host processor would (the
// configuration message on port 1024, answered by the status message).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>

#include "hostconfig.h"
#include "hostlink_client.h"

// A loopback address 127.B.third.fourth (no privileges needed), B taken from
// this process's id within 128-247, so that two benchmark runs side by side
// do not meet on an address.
uint32_t benchAddr(uint32_t third, uint32_t fourth);
// Addresses of the two groups: 127.B.110.2 and 127.B.120.2.
extern const uint32_t GROUP0_ADDR;
extern const uint32_t GROUP1_ADDR;
constexpr uint32_t SCI_ADDR = 0x0A500001;  // how the router names the serial lines
constexpr uint16_t CONFIG_PORT = 1024;
constexpr uint32_t INTERCHAR_UNIT_MS = 8;  // one unit of the RAWoS time-out

struct Board {
    pid_t pid = -1;
    std::string dir;
    std::string log;
    std::unique_ptr<hostlink::Client> link[2];
    bool socketLines = false;  // serial lines on Unix sockets instead of PTYs

    ~Board();
    // Starts the runner (release build), its serial lines on PTYs or on
    // Unix sockets, and waits for its host links.
    bool start(const std::string& runner, const std::string& runDir, const std::string& logPath,
               std::string& error, bool onSockets = false);
    // Where serial line n (1 to 3) is: its PTY, or its socket when the
    // runner was started with socket lines.
    std::string line(int n) const;
    // Connects host link `group` (0 or 1) and sends the group's configuration;
    // true once the board answered "group configured".
    bool configure(int group, const zok2tools::GroupConfig& cfg, std::string& error);
    // Stops the runner; its exit status (0 after a clean stop on SIGTERM).
    int stop();
    // After a stop: how far the runner's simulated time fell behind the host
    // clock, as it reported it ("N ms", or "unknown").
    std::string largestLag() const;
};

// A group on loopback: mask /24, gateway .1, the board's 15 default ports.
zok2tools::GroupConfig loopbackGroup(int group);
