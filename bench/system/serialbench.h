// Serial line to a host socket: a writer plays the far end of a line on a
// PTY, paced at the line's bit rate, while a relay (ser2net, socat, the gateway) carries the bytes
// to a UDP socket of ours. All relays of a case run side by side, each on its own PTY, so a noisy
// machine treats them alike.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "report.h"

struct SerialCase {
    uint32_t bitRate;  // 8N1: ten bit times per character
    uint32_t frameBytes;
    double gapChars;  // silence between frames, in character times
    uint32_t frames;
    bool plot;  // its latencies go into the plot
};

// Runs one case on every relay and on the gateway (runner: its path) and
// appends one row per relay. logDir keeps the relays' configuration and output.
void runSerialCase(const SerialCase& c, const std::string& runner, const std::string& logDir,
                   std::vector<Row>& rows);
