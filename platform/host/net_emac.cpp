// Ethernet driver model: the switch driver's start-up configuration, the
// interface initialiser the stack calls, the PHYs over MDIO and the MAC
// counters. A PHY answers at the address the configuration gives its port;
// its control register is built from the Linux interface's link settings.
//
// MAC counters from /sys/class/net/IF/statistics (closest Linux counter;
// fields without one read 0):
//   RxGoodFrames   rx_packets          TxGoodFrames     tx_packets
//   RxOctets       rx_bytes            TxOctets         tx_bytes
//   RxMCastFrames  multicast           TxCollision      collisions
//   RxCRCErrors    rx_crc_errors       TxUnderrun       tx_fifo_errors
//   RxAlignCodeErrors rx_frame_errors  TxCarrierSLoss   tx_carrier_errors
//   RxOversized    rx_length_errors    TxExcessiveColl  tx_aborted_errors
//   RxSOFOverruns  rx_fifo_errors      TxLateColl       tx_window_errors
//   RxMOFOverruns  rx_over_errors      RxDMAOverruns    rx_missed_errors
//   RxFiltered     rx_dropped          NetOctets        rx_bytes + tx_bytes
//   Rx/TxBCastFrames, Rx/TxPauseFrames, TxMCastFrames, TxDeferred,
//   TxSingleColl, TxMultiColl, RxJabber, RxUndersized, RxFragments,
//   RxQOSFiltered: 0
#include <map>
#include <mutex>

#include "ethdrv.h"
#include "hostboard.h"
#include "netinternal.h"

namespace {

constexpr uint32_t EMAC_INSTANCES = 1;
constexpr uint32_t SPEED_1000 = 1000;
constexpr uint32_t SPEED_100 = 100;
// Basic mode status: 10/100 full and half duplex, auto-negotiation able.
constexpr uint16_t BMSR_ABILITIES = 0x7809;
constexpr uint16_t BMSR_AUTONEG_DONE = 0x0020;
// The driver's defaults before the firmware sets its board up: one port.
constexpr EMAC_HwAttrs_V4 EMAC_DEFAULT = {1, SOC_CPSW_MDIO_BASE, {{0}, {1}}};

std::mutex gLock;
EMAC_HwAttrs_V4 gCfg = EMAC_DEFAULT;
uint32_t gInitCalls = 0;
int32_t gControlOverride[SOC_CPSW_NUM_PORTS] = {-1, -1};  // set by tests; -1: none

uint32_t clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

// The switch port whose PHY answers at this MDIO address; false if none.
bool portOfPhy(uint32_t phyAddr, uint32_t& port)
{
    std::lock_guard<std::mutex> lock(gLock);
    for (uint32_t p = 0; p < gCfg.numPorts && p < SOC_CPSW_NUM_PORTS; ++p) {
        if (gCfg.port[p].phy_addr == phyAddr) {
            port = p;
            return true;
        }
    }
    return false;
}

// The control register the PHY of `port` shows: the test's, else the link's.
uint16_t controlOf(uint32_t port, const hostnet::IfInfo& info)
{
    {
        std::lock_guard<std::mutex> lock(gLock);
        if (port < SOC_CPSW_NUM_PORTS && gControlOverride[port] >= 0) {
            return static_cast<uint16_t>(gControlOverride[port]);
        }
    }
    return hostnet::bmcrOf(info);
}

}  // namespace

void hostPhySetControl(uint32_t port, int32_t bmcr)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (port < SOC_CPSW_NUM_PORTS) {
        gControlOverride[port] = bmcr;
    }
}

uint16_t hostnet::bmcrOf(const IfInfo& info)
{
    uint16_t v = 0;
    // A virtual interface has no speed: it shows as an auto-negotiated
    // 100 Mbit/s full-duplex link.
    const bool known = info.speed != 0;
    if (!known || info.autoNeg) {
        v |= ENETPHY_BMCR_AUTONEG;
    }
    if (known && info.speed >= SPEED_1000) {
        v |= ENETPHY_BMCR_SPEED_1000;
    } else if (!known || info.speed >= SPEED_100) {
        v |= ENETPHY_BMCR_SPEED_100;
    }
    if (!known || info.fullDuplex) {
        v |= ENETPHY_BMCR_FULL_DUPLEX;
    }
    return v;
}

void hostnet::emacReset()
{
    std::lock_guard<std::mutex> lock(gLock);
    gCfg = EMAC_DEFAULT;
    gInitCalls = 0;
    for (int32_t& v : gControlOverride) {
        v = -1;
    }
}

bool hostnet::emacPortRegistrable(uint32_t port)
{
    std::lock_guard<std::mutex> lock(gLock);
    return port < gInitCalls && port < gCfg.numPorts;
}

int32_t EMAC_socGetInitCfg(uint32_t portNum, EMAC_HwAttrs_V4* cfg)
{
    if (portNum >= EMAC_INSTANCES || cfg == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(gLock);
    *cfg = gCfg;
    return 0;
}

int32_t EMAC_socSetInitCfg(uint32_t portNum, const EMAC_HwAttrs_V4* cfg)
{
    if (portNum >= EMAC_INSTANCES || cfg == nullptr || cfg->numPorts > SOC_CPSW_NUM_PORTS) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(gLock);
    gCfg = *cfg;
    return 0;
}

int32_t CpswEmacInit(void*)
{
    std::lock_guard<std::mutex> lock(gLock);
    ++gInitCalls;  // each call offers the next switch port to the stack
    return 0;
}

uint32_t ENETPHY_UserAccessRead(ENETPHY_Handle handle, uint32_t regNum, uint32_t phyAddr,
                                uint16_t* value)
{
    uint32_t port = 0;
    if (handle == nullptr || value == nullptr || handle->miibase != SOC_CPSW_MDIO_BASE ||
        !portOfPhy(phyAddr, port)) {
        return 0;  // nothing answers on the bus
    }
    const hostnet::IfInfo info = hostnet::ifInfo(hostBoardConfig().eth[port]);
    if (!info.exists) {
        return 0;
    }
    switch (regNum) {
    case ENETPHY_BMCR:
        *value = controlOf(port, info);
        break;
    case ENETPHY_BMSR:
        *value = static_cast<uint16_t>(
            BMSR_ABILITIES | (info.linkUp ? ENETPHY_BMSR_LINK_UP | BMSR_AUTONEG_DONE : 0));
        break;
    default:
        *value = 0;
        break;
    }
    return 1;
}

int32_t emac_get_statistics(uint32_t port, EMAC_STATISTICS_T* stats)
{
    if (port >= SOC_CPSW_NUM_PORTS || stats == nullptr) {
        return -1;
    }
    const std::string& name = hostBoardConfig().eth[port];
    if (!hostnet::ifExists(name)) {
        return -1;
    }
    std::map<std::string, uint64_t> c = hostnet::ifCounters(name);
    *stats = EMAC_STATISTICS_T{};
    stats->RxGoodFrames = clamp32(c["rx_packets"]);
    stats->TxGoodFrames = clamp32(c["tx_packets"]);
    stats->RxOctets = clamp32(c["rx_bytes"]);
    stats->TxOctets = clamp32(c["tx_bytes"]);
    stats->RxMCastFrames = clamp32(c["multicast"]);
    stats->TxCollision = clamp32(c["collisions"]);
    stats->RxCRCErrors = clamp32(c["rx_crc_errors"]);
    stats->TxUnderrun = clamp32(c["tx_fifo_errors"]);
    stats->RxAlignCodeErrors = clamp32(c["rx_frame_errors"]);
    stats->TxCarrierSLoss = clamp32(c["tx_carrier_errors"]);
    stats->RxOversized = clamp32(c["rx_length_errors"]);
    stats->TxExcessiveColl = clamp32(c["tx_aborted_errors"]);
    stats->RxSOFOverruns = clamp32(c["rx_fifo_errors"]);
    stats->TxLateColl = clamp32(c["tx_window_errors"]);
    stats->RxMOFOverruns = clamp32(c["rx_over_errors"]);
    stats->RxDMAOverruns = clamp32(c["rx_missed_errors"]);
    stats->RxFiltered = clamp32(c["rx_dropped"]);
    stats->NetOctets = clamp32(c["rx_bytes"] + c["tx_bytes"]);
    return 0;
}

int32_t emac_poll(uint32_t portNum, EMAC_LINK_INFO_T* info)
{
    if (info == nullptr) {
        return -1;
    }
    info->link_status = EMAC_LINKSTATUS_NOLINK;
    if (portNum >= SOC_CPSW_NUM_PORTS || !hostnet::ifExists(hostBoardConfig().eth[portNum])) {
        return -1;
    }
    const hostnet::IfInfo ifi = hostnet::ifInfo(hostBoardConfig().eth[portNum]);
    if (!ifi.linkUp) {
        return 0;
    }
    // The mode the PHY shows (a virtual link: 100 Mbit/s full duplex).
    const uint16_t bmcr = controlOf(portNum, ifi);
    const bool full = (bmcr & ENETPHY_BMCR_FULL_DUPLEX) != 0;
    if ((bmcr & ENETPHY_BMCR_SPEED_1000) != 0) {
        info->link_status = full ? EMAC_LINKSTATUS_FD1000 : EMAC_LINKSTATUS_HD1000;
    } else if ((bmcr & ENETPHY_BMCR_SPEED_100) != 0) {
        info->link_status = full ? EMAC_LINKSTATUS_FD100 : EMAC_LINKSTATUS_HD100;
    } else {
        info->link_status = full ? EMAC_LINKSTATUS_FD10 : EMAC_LINKSTATUS_HD10;
    }
    return 0;
}
