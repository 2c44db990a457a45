// Stand-in networking modules: see ipgateapl.h and standin_net.h. Firmware
// code only: no OS calls, no allocation after configuration.
#include "standin_net.h"

#include "bdmailapl.h"
#include "ethapl.h"
#include "exmapl.h"
#include "ipgateapl.h"

static const char _MODULE_[] = "standin_net.cpp";

namespace standin {

static void (*mSendHook)(uint32_t, const BD*) = nullptr;
static void (*mMacHook)() = nullptr;

void onSend(void (*hook)(uint32_t ethIndex, const BD* bd)) { mSendHook = hook; }

void macOf(uint32_t ethIndex, uint8_t mac[6])
{
    const uint8_t base[6] = {0x02, 0x00, 0x5A, 0x4B, 0x32, 0x00};
    for (int i = 0; i < 6; ++i) mac[i] = base[i];
    mac[5] = static_cast<uint8_t>(ethIndex);
}

void onNextMacRead(void (*hook)()) { mMacHook = hook; }

}  // namespace standin

void Ethernet::Init() {}

void Ethernet::DiscoverDevices() {}

void Ethernet::GetMacAddr(uint32_t ethIndex, uint32_t capacity, uint8_t* macAddr)
{
    if (capacity < 6) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    void (*hook)() = standin::mMacHook;
    standin::mMacHook = nullptr;
    if (hook != nullptr) {
        hook();
    }
    standin::macOf(ethIndex, macAddr);
}

IpGate::IpGate(IPGATE_CONFIG_T config)
    : source(config.source),
      ethIndex(config.ethIndex),
      netMask(config.netMask),
      ipAddr(config.ipAddr),
      gatewayIpAddr(config.gatewayIpAddr),
      numOfMultiAddrs(config.numOfMultiAddrs),
      listOfMultiAddrs{},
      numOfUdpPorts(0),
      ports{}
{
    if (numOfMultiAddrs > MAX_NUM_MULTI_ADDR) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    for (uint32_t i = 0; i < numOfMultiAddrs; ++i) listOfMultiAddrs[i] = config.listOfMultiAddrs[i];
}

void IpGate::RecvMessageHandler(BD* bd) { (void)BdMail::PostOrRecycle(bd); }

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
    if (numOfUdpPorts >= MAX_NUM_UDP_PORTS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    ports[numOfUdpPorts++] = port;
}

ERROR_CODES_E IpGate::GetUdpPortIndex(uint16_t port, uint32_t& portIndex) const
{
    for (uint32_t i = 0; i < numOfUdpPorts; ++i) {
        if (ports[i] == port) {
            portIndex = i;
            return EC_SUCCESS;
        }
    }
    return EC_FAIL;
}

ERROR_CODES_E IpGate::SendUdpPort(uint32_t portIndex, BD* bd)
{
    if (portIndex >= numOfUdpPorts) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    if (ports[portIndex] != bd->DestPort()) {
        return EC_FAIL;
    }
    if (standin::mSendHook != nullptr) {
        standin::mSendHook(ethIndex, bd);
    }
    return EC_SUCCESS;
}
