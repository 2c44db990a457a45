// Linux side of the Ethernet model: the facts of a named interface (sysfs
// and the ethtool ioctl), its MAC counters and the namespace's protocol
// counters. Read on demand; nothing here is cached, so the pages show the
// interface as it is now.
#include <cstring>
#include <fstream>
#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hostinternal.h"
#include "netinternal.h"

namespace hostnet {
namespace {

constexpr const char* SYS_NET = "/sys/class/net/";
constexpr const char* PROC_SNMP = "/proc/net/snmp";
constexpr const char* COUNTER_NAMES[] = {
    "rx_packets", "tx_packets", "rx_bytes", "tx_bytes", "multicast", "collisions",
    "rx_crc_errors", "rx_frame_errors", "rx_length_errors", "rx_over_errors",
    "rx_fifo_errors", "rx_missed_errors", "rx_dropped", "tx_fifo_errors",
    "tx_carrier_errors", "tx_aborted_errors", "tx_window_errors", "rx_errors",
};

bool readNumber(const std::string& path, uint64_t& value)
{
    std::ifstream f(path);
    long long v = 0;
    if (!(f >> v) || v < 0) {
        return false;  // virtual interfaces refuse speed and duplex
    }
    value = static_cast<uint64_t>(v);
    return true;
}

std::string readWord(const std::string& path)
{
    std::ifstream f(path);
    std::string w;
    f >> w;
    return w;
}

// Auto-negotiation is not in sysfs; the ethtool ioctl has it.
bool autoNegotiates(const std::string& name)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    ethtool_cmd cmd{};
    cmd.cmd = ETHTOOL_GSET;
    ifreq req{};
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    req.ifr_data = reinterpret_cast<char*>(&cmd);
    const bool ok = ::ioctl(fd, SIOCETHTOOL, &req) == 0;
    ::close(fd);
    return ok && cmd.autoneg == AUTONEG_ENABLE;
}

}  // namespace

bool ifExists(const std::string& name)
{
    return !name.empty() && if_nametoindex(name.c_str()) != 0;
}

IfInfo ifInfo(const std::string& name)
{
    HostScope host;
    IfInfo info;
    info.exists = ifExists(name);
    if (!info.exists) {
        return info;
    }
    const std::string dir = SYS_NET + name + "/";
    uint64_t v = 0;
    info.mtu = readNumber(dir + "mtu", v) ? static_cast<uint32_t>(v) : 0;
    const std::string oper = readWord(dir + "operstate");
    // Loopback reports "unknown" while it works.
    info.linkUp = oper == "up" || oper == "unknown";
    info.speed = readNumber(dir + "speed", v) ? static_cast<uint32_t>(v) : 0;
    info.fullDuplex = readWord(dir + "duplex") == "full";
    info.autoNeg = autoNegotiates(name);
    return info;
}

std::map<std::string, uint64_t> ifCounters(const std::string& name)
{
    HostScope host;
    std::map<std::string, uint64_t> out;
    const std::string dir = SYS_NET + name + "/statistics/";
    for (const char* c : COUNTER_NAMES) {
        uint64_t v = 0;
        if (readNumber(dir + c, v)) {
            out[c] = v;
        }
    }
    return out;
}

std::map<std::string, uint64_t> snmpCounters()
{
    HostScope host;
    std::map<std::string, uint64_t> out;
    std::ifstream f(PROC_SNMP);
    std::string names;
    std::string values;
    // The file pairs a line of names with a line of values per protocol.
    while (std::getline(f, names) && std::getline(f, values)) {
        std::istringstream n(names);
        std::istringstream v(values);
        std::string proto;
        std::string proto2;
        n >> proto;
        v >> proto2;
        if (proto.empty() || proto != proto2) {
            break;
        }
        proto.pop_back();  // the colon
        std::string key;
        long long value = 0;
        while (n >> key && v >> value) {
            out[proto + "." + key] = value < 0 ? 0 : static_cast<uint64_t>(value);
        }
    }
    return out;
}

}  // namespace hostnet
