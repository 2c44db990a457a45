// In-memory IP gate: see standin_net.h. Its ports are UDP objects that are
// never opened, so they only carry their local port.
#include "standin_net.h"

#include "bdmailapl.h"
#include "exmapl.h"
#include "ipgateapl.h"

static const char _MODULE_[] = "standin_net.cpp";

namespace standin {

static void (*mSendHook)(uint32_t, const BD*) = nullptr;
static void (*mGateHook)() = nullptr;

void onSend(void (*hook)(uint32_t ethIndex, const BD* bd)) { mSendHook = hook; }
void onNextGate(void (*hook)()) { mGateHook = hook; }

}  // namespace standin

IpGate::IpGate(IPGATE_CONFIG_T config)
    : source(config.source),
      ethIndex(config.ethIndex),
      netMask(config.netMask),
      ipAddr(config.ipAddr),
      gatewayIpAddr(config.gatewayIpAddr),
      numOfMultiAddrs(config.numOfMultiAddrs),
      listOfMultiAddrs{},
      numOfUdpPorts(0),
      udpSet{}
{
    if (numOfMultiAddrs > MAX_NUM_MULTI_ADDR) EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    for (uint32_t i = 0; i < numOfMultiAddrs; ++i) listOfMultiAddrs[i] = config.listOfMultiAddrs[i];
    void (*hook)() = standin::mGateHook;
    standin::mGateHook = nullptr;
    if (hook != nullptr) hook();
}

void IpGate::RecvMessageHandler(BD* bd) { (void)BdMail::PostOrRecycle(bd); }

uint32_t IpGate::GetNumOfMailboxDrops() const { return 0; }  // the routing tests post directly

void IpGate::GetConfig(IPGATE_CONFIG_T& config) const
{
    config.ipAddr = ipAddr;
    config.netMask = netMask;
    config.gatewayIpAddr = gatewayIpAddr;
    config.numOfMultiAddrs = numOfMultiAddrs;
    for (uint32_t i = 0; i < numOfMultiAddrs; ++i) config.listOfMultiAddrs[i] = listOfMultiAddrs[i];
}

void IpGate::OpenUdpPort(uint16_t port)
{
    if (numOfUdpPorts >= MAX_NUM_UDP_PORTS) EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    udpSet[numOfUdpPorts] = new UDP(UDP_CONFIG_T{source, RecvMessageHandler, port, ipAddr});
    numOfUdpPorts = numOfUdpPorts + 1;
}

ERROR_CODES_E IpGate::GetUdpPortIndex(uint16_t port, uint32_t& portIndex) const
{
    for (uint32_t i = 0; i < numOfUdpPorts; ++i) {
        if (udpSet[i]->GetLocalPort() == port) {
            portIndex = i;
            return EC_SUCCESS;
        }
    }
    return EC_FAIL;
}

ERROR_CODES_E IpGate::SendUdpPort(uint32_t portIndex, BD* bd)
{
    if (portIndex >= numOfUdpPorts) EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    if (udpSet[portIndex]->GetLocalPort() != bd->DestPort()) return EC_FAIL;
    if (standin::mSendHook != nullptr) standin::mSendHook(ethIndex, bd);
    return EC_SUCCESS;
}

ERROR_CODES_E IpGate::SendUdp(BD* bd)
{
    uint32_t index = 0;
    return GetUdpPortIndex(bd->DestPort(), index) == EC_SUCCESS ? SendUdpPort(index, bd) : EC_FAIL;
}

void IpGate::GetStatsUdpPort(uint32_t portIndex, UDP_STATS_T& stats) const
{
    if (portIndex >= numOfUdpPorts) EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    udpSet[portIndex]->GetStats(stats);
}

void IpGate::ResetStatsUdp() {}
