// Stand-in for the IP gate while the networking modules are being written:
// the interface the configuration handler and the router call, with an
// in-memory implementation that records what they did (standin_net.h).
// Used by the routing tests, and by the firmware build only as long as the
// tree has no networking modules of its own.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "errcodes.h"

constexpr uint32_t MAX_NUM_UDP_PORTS = 18;
constexpr uint32_t MAX_NUM_MULTI_ADDR = 8;

struct IPGATE_CONFIG_T {
    SOURCES_E source;
    uint32_t ethIndex;
    uint32_t netMask;
    uint32_t ipAddr;
    uint32_t gatewayIpAddr;
    uint32_t numOfMultiAddrs;
    uint32_t listOfMultiAddrs[MAX_NUM_MULTI_ADDR];
};

class IpGate {
public:
    explicit IpGate(IPGATE_CONFIG_T config);
    static void RecvMessageHandler(BD* bd);
    uint32_t GetEthIndex() const { return ethIndex; }
    uint32_t GetIpAddr() const { return ipAddr; }
    uint32_t GetNumOfUdpPorts() const { return numOfUdpPorts; }
    void GetConfig(IPGATE_CONFIG_T& config) const;
    void OpenUdpPort(uint16_t port);
    ERROR_CODES_E GetUdpPortIndex(uint16_t port, uint32_t& portIndex) const;
    ERROR_CODES_E SendUdpPort(uint32_t portIndex, BD* bd);

    const SOURCES_E source;
    const uint32_t ethIndex;
    const uint32_t netMask;
    const uint32_t ipAddr;
    const uint32_t gatewayIpAddr;
    const uint32_t numOfMultiAddrs;
    uint32_t listOfMultiAddrs[MAX_NUM_MULTI_ADDR];
    uint32_t numOfUdpPorts;
    uint16_t ports[MAX_NUM_UDP_PORTS];
};
