// Configuration and status messages: see hostconfig.h.
#include "hostconfig.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace zok2tools {

namespace {

constexpr size_t MIN_LEN = 42;
constexpr size_t MAX_MULTICAST = 8;
constexpr size_t MAX_PORTS = 18;
constexpr uint32_t INTERCHAR_UNIT_MS = 8;
constexpr uint32_t MAX_INTERCHAR_UNITS = 63;

struct Baud {
    uint32_t rate;
    uint8_t code;
};
const Baud kBauds[] = {{9600, 1}, {19200, 2}, {28800, 3}, {38400, 4}, {57600, 5}, {115200, 8}};

void put32(std::vector<uint8_t>& m, uint32_t v)
{
    for (int s = 24; s >= 0; s -= 8) m.push_back(static_cast<uint8_t>(v >> s));
}

uint32_t get32(const std::vector<uint8_t>& m, size_t at)
{
    return static_cast<uint32_t>(m[at]) << 24 | static_cast<uint32_t>(m[at + 1]) << 16 |
           static_cast<uint32_t>(m[at + 2]) << 8 | m[at + 3];
}

std::string dotted(uint32_t a)
{
    char b[20];
    std::snprintf(b, sizeof b, "%u.%u.%u.%u", a >> 24, (a >> 16) & 0xFF, (a >> 8) & 0xFF, a & 0xFF);
    return b;
}

bool encodeLine(const LineConfig& l, uint8_t rec[4], std::string* error)
{
    uint8_t standard = 0;
    if (l.standard == "rs232") {
        standard = 0;
    } else if (l.standard == "rs422") {
        standard = 1;
    } else if (l.standard == "rs485") {
        standard = 2;
    } else {
        *error = "line standard " + l.standard;
        return false;
    }
    if (l.protocol != "bacm" && l.protocol != "rawos") {
        *error = "protocol " + l.protocol;
        return false;
    }
    uint8_t code = 0;
    for (const Baud& b : kBauds) {
        if (b.rate == l.baud) code = b.code;
    }
    if (code == 0) {
        *error = "bit rate " + std::to_string(l.baud);
        return false;
    }
    uint8_t parity = 0;
    if (l.parity == "odd") {
        parity = 1;
    } else if (l.parity == "even") {
        parity = 2;
    } else if (l.parity != "none") {
        *error = "parity " + l.parity;
        return false;
    }
    const uint32_t units = l.interCharMs / INTERCHAR_UNIT_MS;
    if (l.interCharMs % INTERCHAR_UNIT_MS != 0 || units > MAX_INTERCHAR_UNITS) {
        *error = "inter-character time-out " + std::to_string(l.interCharMs) + " ms";
        return false;
    }
    rec[0] = static_cast<uint8_t>(standard << 6 | (l.protocol == "rawos" ? 0x10 : 0) | code);
    rec[1] = static_cast<uint8_t>(units << 2 | parity);
    rec[2] = 0;
    rec[3] = 0;
    return true;
}

std::string describeLine(const uint8_t* rec)
{
    static const char* const standards[] = {"RS-232", "RS-422", "RS-485", "RS-485"};
    static const char* const parities[] = {"none", "odd", "even", "none"};
    uint32_t baud = 19200;
    for (const Baud& b : kBauds) {
        if (b.code == (rec[0] & 0x0F)) baud = b.rate;
    }
    std::ostringstream o;
    o << standards[rec[0] >> 6] << ", " << ((rec[0] & 0x10) ? "RAWoS" : "BAC-M") << ", " << baud
      << " bit/s, parity " << parities[rec[1] & 0x03] << ", inter-character "
      << (rec[1] >> 2) * INTERCHAR_UNIT_MS << " ms";
    return o.str();
}

}  // namespace

uint8_t ConfigChecksum(const uint8_t* data, size_t len)
{
    uint8_t sum = 0;
    for (size_t i = 0; i < len; ++i) {
        const uint8_t t = static_cast<uint8_t>(sum + data[i]);
        sum = static_cast<uint8_t>(t << 1 | t >> 7);
    }
    return sum;
}

bool EncodeConfig(const GroupConfig& cfg, std::vector<uint8_t>& out, std::string* error)
{
    std::string dummy;
    if (error == nullptr) error = &dummy;
    if (cfg.multicast.size() > MAX_MULTICAST || cfg.ports.size() > MAX_PORTS) {
        *error = "at most 8 multicast groups and 18 ports";
        return false;
    }
    std::vector<uint8_t> m = {0x96, 0xE1, 0, 0, 0, 0, 0, 0};
    put32(m, cfg.mask);
    put32(m, cfg.gateway);
    put32(m, cfg.address);
    m.push_back(static_cast<uint8_t>(cfg.multicast.size()));
    for (uint32_t a : cfg.multicast) put32(m, a);
    m.insert(m.end(), 8, 0);
    m.push_back(static_cast<uint8_t>(cfg.ports.size()));
    for (uint16_t p : cfg.ports) {
        m.push_back(static_cast<uint8_t>(p >> 8));
        m.push_back(static_cast<uint8_t>(p));
    }
    for (const LineConfig& l : cfg.line) {
        uint8_t rec[4];
        if (!encodeLine(l, rec, error)) return false;
        m.insert(m.end(), rec, rec + 4);
    }
    m.push_back(cfg.bacmAddr);
    m.push_back(0);
    m.push_back(0);
    m.push_back(ConfigChecksum(m.data(), m.size()));
    out = m;
    return true;
}

bool ParseLine(const std::string& text, LineConfig& line)
{
    std::vector<std::string> f;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ':');) f.push_back(part);
    if (f.size() < 4 || f.size() > 5) return false;
    line.standard = f[0];
    line.protocol = f[1];
    char* end = nullptr;
    line.baud = static_cast<uint32_t>(std::strtoul(f[2].c_str(), &end, 10));
    if (*end != '\0') return false;
    line.parity = f[3];
    line.interCharMs = 0;
    if (f.size() == 5) {
        line.interCharMs = static_cast<uint32_t>(std::strtoul(f[4].c_str(), &end, 10));
        if (*end != '\0') return false;
    }
    uint8_t rec[4];
    std::string error;
    return encodeLine(line, rec, &error);
}

bool StatusEchoes(const std::vector<uint8_t>& sent, const std::vector<uint8_t>& status)
{
    constexpr size_t kKeptFrom = 8;    // after the two marks and the MAC address
    constexpr size_t kBoardsTail = 3;  // version, revision, checksum
    return sent.size() == status.size() && sent.size() >= MIN_LEN &&
           std::equal(sent.begin() + kKeptFrom, sent.end() - kBoardsTail,
                      status.begin() + kKeptFrom);
}

bool DescribeStatus(const std::vector<uint8_t>& m, std::string& text)
{
    if (m.size() < MIN_LEN || m[0] != 0x96 || m[1] != 0xE1) return false;
    const size_t n = m[20];
    if (n > MAX_MULTICAST || 29 + 4 * n >= m.size()) return false;
    const size_t p = m[29 + 4 * n];
    const size_t s = 30 + 4 * n + 2 * p;
    if (p > MAX_PORTS || s + 12 != m.size()) return false;
    std::ostringstream o;
    char mac[24];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", m[2], m[3], m[4], m[5], m[6],
                  m[7]);
    const bool configured = get32(m, 16) != 0;
    o << "status: group " << (configured ? "configured" : "not configured") << "\n"
      << "  MAC address      " << mac << "\n"
      << "  subnet mask      " << dotted(get32(m, 8)) << "\n"
      << "  gateway          " << dotted(get32(m, 12)) << "\n"
      << "  address          " << dotted(get32(m, 16)) << "\n"
      << "  multicast groups";
    for (size_t i = 0; i < n; ++i) o << " " << dotted(get32(m, 21 + 4 * i));
    o << (n == 0 ? " none" : "") << "\n  UDP ports       ";
    for (size_t i = 0; i < p; ++i) o << " " << (m[30 + 4 * n + 2 * i] << 8 | m[31 + 4 * n + 2 * i]);
    o << (p == 0 ? " the defaults" : "") << "\n"
      << "  line 1           " << describeLine(&m[s]) << "\n"
      << "  line 2           " << describeLine(&m[s + 4]) << "\n"
      << "  BAC-M address    " << static_cast<unsigned>(m[s + 8]) << "\n"
      << "  firmware         " << (m[s + 9] >> 4) << "." << (m[s + 9] & 0x0F) << "."
      << (m[s + 10] >> 4) << (m[s + 10] & 0x0F) << "\n"
      << "  checksum         "
      << (ConfigChecksum(m.data(), s + 11) == m[s + 11] ? "correct" : "WRONG") << "\n";
    text = o.str();
    return true;
}

}  // namespace zok2tools
