// The board's presence on one Ethernet interface: gives the interface its
// static address, owns up to MAX_NUM_UDP_PORTS ports (opened in order, never
// closed, each joined to the gate's multicast groups) and polls them from
// its worker task every tick. Created and extended in the router task during
// configuration; the router sends through it; the console reads statistics.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "errcodes.h"
#include "kernel.h"
#include "udpapl.h"

constexpr uint32_t MAX_NUM_UDP_PORTS = 18;
constexpr uint32_t MAX_NUM_MULTI_ADDR = 8;

struct IPGATE_CONFIG_T {
    SOURCES_E source;          // SOURCE_ETH0 or SOURCE_ETH1
    uint32_t ethIndex;         // Ethernet interface, 0 or 1
    uint32_t netMask;          // network byte order
    uint32_t ipAddr;           // the board's address on the interface, network byte order
    uint32_t gatewayIpAddr;    // default gateway, network byte order
    uint32_t numOfMultiAddrs;  // valid entries of listOfMultiAddrs
    uint32_t listOfMultiAddrs[MAX_NUM_MULTI_ADDR];  // groups every port joins
};

class IpGate {
public:
    // Replaces the interface's static addresses with this gate's and starts
    // the worker task. More than MAX_NUM_MULTI_ADDR groups is fatal
    // (EC_ERROR_INVALID_ARGUMENT), a refused address EC_ERROR_IP_ADD, the
    // task EC_ERROR_TASK_CREATION.
    explicit IpGate(IPGATE_CONFIG_T config);

    // Receive callback of every port: posts the BD to the router mailbox
    // (BdMail::PostOrRecycle), or, when the mailbox stays full, returns it to
    // the pool and counts the drop.
    static void RecvMessageHandler(BD* bd);
    // Datagrams of this interface the mailbox refused since the last reset.
    uint32_t GetNumOfMailboxDrops() const;

    uint32_t GetEthIndex() const { return ethIndex; }
    uint32_t GetIpAddr() const { return ipAddr; }
    uint32_t GetNumOfUdpPorts() const { return numOfUdpPorts; }
    // Fills the addressing and the groups; source and ethIndex stay as they were.
    void GetConfig(IPGATE_CONFIG_T& config) const;

    // Creates, opens and joins a port (network order). The 19th port is
    // fatal (EC_ERROR_INVALID_ARGUMENT), a failed open EC_ERROR_UDP_OPEN.
    void OpenUdpPort(uint16_t port);
    // Index of the first port with this local port; EC_FAIL when none.
    ERROR_CODES_E GetUdpPortIndex(uint16_t port, uint32_t& portIndex) const;
    // Sends through the port at portIndex (fatal beyond the ports opened);
    // EC_FAIL without sending when the BD is for another port.
    ERROR_CODES_E SendUdpPort(uint32_t portIndex, BD* bd);
    // Sends through the first port matching the BD's destination port.
    ERROR_CODES_E SendUdp(BD* bd);
    // Fatal (EC_ERROR_INVALID_ARGUMENT) beyond the ports opened.
    void GetStatsUdpPort(uint32_t portIndex, UDP_STATS_T& stats) const;
    // Resets every port's statistics and the mailbox drops.
    void ResetStatsUdp();

    // Task body; arg0 is the gate.
    static void WorkerTask(UArg arg0, UArg arg1);
    // One pass of the worker task over the open ports, the later-opened
    // first, at most one datagram each. Public so that a test or fuzz
    // harness can run passes under a controllable clock.
    void PollPorts();

private:
    const SOURCES_E source;
    const uint32_t ethIndex;
    const uint32_t netMask;
    const uint32_t ipAddr;
    const uint32_t gatewayIpAddr;
    const uint32_t numOfMultiAddrs;
    uint32_t listOfMultiAddrs[MAX_NUM_MULTI_ADDR];
    // Written only after the port in udpSet is complete, so the worker never
    // sees a half-made port.
    volatile uint32_t numOfUdpPorts;
    UDP* udpSet[MAX_NUM_UDP_PORTS];  // in opening order; null at and beyond numOfUdpPorts
};
