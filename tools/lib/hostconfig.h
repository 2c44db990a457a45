// The host's configuration message and the board's status message, built
// and read field by field from the wire layout, independently of the
// firmware's handler: one group's Ethernet addressing, multicast groups,
// UDP ports and serial-line records, closed by the 8-bit rotating checksum.
// Pure code: no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zok2tools {

constexpr uint16_t CONFIG_PORT = 1024;

struct LineConfig {
    std::string standard = "rs232";  // rs232, rs422 or rs485
    std::string protocol = "bacm";   // bacm or rawos
    uint32_t baud = 115200;          // 9600, 19200, 28800, 38400, 57600 or 115200
    std::string parity = "none";     // none, odd or even
    uint32_t interCharMs = 0;        // RAWoS silence, a multiple of 8 ms up to 504
};

struct GroupConfig {
    uint32_t mask = 0;  // host order: 255.255.255.0 is 0xFFFFFF00
    uint32_t gateway = 0;
    uint32_t address = 0;
    std::vector<uint32_t> multicast;  // at most 8
    std::vector<uint16_t> ports;      // at most 18; none: the board's defaults
    LineConfig line[2];
    uint8_t bacmAddr = 1;
};

// The 8-bit checksum: add each byte, then rotate left by one.
uint8_t ConfigChecksum(const uint8_t* data, size_t len);
// The message, or false with the reason for a value the format cannot carry.
bool EncodeConfig(const GroupConfig& cfg, std::vector<uint8_t>& out, std::string* error);
// "rs232:bacm:115200:none" or "rs422:rawos:9600:odd:80".
bool ParseLine(const std::string& text, LineConfig& line);
// True when `status` is the answer of a group that runs the configuration
// `sent`: every field the board keeps is as sent (the MAC address, the
// firmware version and the checksum are the board's own).
bool StatusEchoes(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& status);
// The status message, one field per line; false when it is not one.
bool DescribeStatus(const std::vector<uint8_t>& msg, std::string& text);

}  // namespace zok2tools
