// The IP gate of one Ethernet interface: see ipgateapl.h.
#include "ipgateapl.h"

#include "bdmailapl.h"
#include "ethapl.h"
#include "exmapl.h"
#include "taskapl.h"

static const char _MODULE_[] = "ipgateapl.cpp";

static const uint32_t TIME_PERIOD_IPGATE_TASK = 1000;  // microseconds
static const int IPGATE_TASK_PRIORITY = 4;
static const uint32_t IPGATE_TASK_STACK = 4096;
// Domain handed to the stack with every address.
static const char IPGATE_DOMAIN[] = "zok2.local";
// The interface's number in a source's low nibble.
static const uint32_t SOURCE_INSTANCE_MASK = 0x0F;
static const uint32_t NUM_ETH_INTERFACES = 2;

// Per interface; written by the gates' worker tasks, read by the console.
static uint32_t mNumOfMailboxDrops[NUM_ETH_INTERFACES];

IpGate::IpGate(IPGATE_CONFIG_T config)
    : source(config.source),
      ethIndex(config.ethIndex),
      netMask(config.netMask),
      ipAddr(config.ipAddr),
      gatewayIpAddr(config.gatewayIpAddr),
      numOfMultiAddrs(config.numOfMultiAddrs),
      listOfMultiAddrs(),
      numOfUdpPorts(0),
      udpSet()
{
    if (numOfMultiAddrs > MAX_NUM_MULTI_ADDR) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    for (uint32_t i = 0; i < numOfMultiAddrs; ++i) {
        listOfMultiAddrs[i] = config.listOfMultiAddrs[i];
    }
    Ethernet::RemoveIpsFromDevice(ethIndex);
    if (Ethernet::AddIpToDevice(ethIndex, ipAddr, netMask, gatewayIpAddr, IPGATE_DOMAIN) !=
        EC_SUCCESS) {
        EXM_FATAL(EC_ERROR_IP_ADD);
    }
    taskCreate({"ipgate", IPGATE_TASK_PRIORITY, IPGATE_TASK_STACK, WorkerTask,
                reinterpret_cast<UArg>(this), 0},
               EXM_HERE);
}

void IpGate::RecvMessageHandler(BD* bd)
{
    const uint32_t instance = bd->Source() & SOURCE_INSTANCE_MASK;
    if (BdMail::PostOrRecycle(bd) != EC_SUCCESS && instance < NUM_ETH_INTERFACES) {
        ++mNumOfMailboxDrops[instance];
    }
}

uint32_t IpGate::GetNumOfMailboxDrops() const
{
    return mNumOfMailboxDrops[(source & SOURCE_INSTANCE_MASK) % NUM_ETH_INTERFACES];
}

void IpGate::GetConfig(IPGATE_CONFIG_T& config) const
{
    config.ipAddr = ipAddr;
    config.netMask = netMask;
    config.gatewayIpAddr = gatewayIpAddr;
    config.numOfMultiAddrs = numOfMultiAddrs;
    for (uint32_t i = 0; i < numOfMultiAddrs; ++i) {
        config.listOfMultiAddrs[i] = listOfMultiAddrs[i];
    }
}

void IpGate::OpenUdpPort(uint16_t port)
{
    const uint32_t n = numOfUdpPorts;
    if (n >= MAX_NUM_UDP_PORTS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    UDP_CONFIG_T cfg;
    cfg.source = source;
    cfg.recvCallback = RecvMessageHandler;
    cfg.localPort = port;
    cfg.localIpAddr = ipAddr;
    UDP* udp = new UDP(cfg);
    if (udp->Open() != EC_SUCCESS) {
        EXM_FATAL(EC_ERROR_UDP_OPEN);
    }
    for (uint32_t i = 0; i < numOfMultiAddrs; ++i) {
        (void)udp->Join(listOfMultiAddrs[i]);  // the port prints a refusal; it still serves unicast
    }
    udpSet[n] = udp;
    numOfUdpPorts = n + 1;  // publishes the port to the worker task
}

ERROR_CODES_E IpGate::GetUdpPortIndex(uint16_t port, uint32_t& portIndex) const
{
    const uint32_t n = numOfUdpPorts;
    for (uint32_t i = 0; i < n; ++i) {
        if (udpSet[i]->GetLocalPort() == port) {
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
    if (udpSet[portIndex]->GetLocalPort() != bd->DestPort()) {
        return EC_FAIL;
    }
    return udpSet[portIndex]->Send(bd);
}

ERROR_CODES_E IpGate::SendUdp(BD* bd)
{
    uint32_t index = 0;
    if (GetUdpPortIndex(bd->DestPort(), index) != EC_SUCCESS) {
        return EC_FAIL;
    }
    return udpSet[index]->Send(bd);
}

void IpGate::GetStatsUdpPort(uint32_t portIndex, UDP_STATS_T& stats) const
{
    if (portIndex >= numOfUdpPorts) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    udpSet[portIndex]->GetStats(stats);
}

void IpGate::ResetStatsUdp()
{
    const uint32_t n = numOfUdpPorts;
    for (uint32_t i = 0; i < n; ++i) {
        udpSet[i]->ResetStats();
    }
    mNumOfMailboxDrops[(source & SOURCE_INSTANCE_MASK) % NUM_ETH_INTERFACES] = 0;
}

void IpGate::PollPorts()
{
    for (uint32_t i = numOfUdpPorts; i > 0; --i) {
        UDP* udp = udpSet[i - 1];
        if (udp->GetSocketState() == SOCKET_OPENED) {
            udp->Recv();
        }
    }
}

void IpGate::WorkerTask(UArg arg0, UArg)
{
    IpGate* gate = reinterpret_cast<IpGate*>(arg0);
    const uint32_t ticksPeriod = usToTicks(TIME_PERIOD_IPGATE_TASK);
    (void)fdOpenSession(ti_sysbios_knl_Task_self());  // the stack's sessions do not run out here
    for (;;) {
        gate->PollPorts();
        ti_sysbios_knl_Task_sleep(ticksPeriod);
    }
}
