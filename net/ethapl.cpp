// The board's Ethernet interfaces below the socket level: see ethapl.h.
#include "ethapl.h"

#include <cstring>

#include "dcprintapl.h"
#include "ethdrv.h"
#include "exmapl.h"
#include "hwreg.h"
#include "kernel.h"
#include "netstack.h"
#include "taskapl.h"

static const char _MODULE_[] = "ethapl.cpp";

static const uint32_t TIME_ETH_DISCOVER = 1000000;  // microseconds
static const uint32_t EMAC_INSTANCE = 0;            // the one switch of the SoC
static const uint32_t MAC_MODE_RMII = 1;
static const uint32_t MAC_MODE_RGMII = 3;
static const uint32_t MAC_MODE_MAX = 3;
// Per switch port: the selection register's bits of that port, and the
// values of RMII and RGMII within them.
static const uint32_t GMII_SEL_PORT_MASK[SOC_CPSW_NUM_PORTS] = {0x53, 0xAC};
static const uint32_t GMII_SEL_RMII[SOC_CPSW_NUM_PORTS] = {0x01, 0x04};
static const uint32_t GMII_SEL_RGMII[SOC_CPSW_NUM_PORTS] = {0x02, 0x08};
static const uint32_t MAC_REG_LO[SOC_CPSW_NUM_PORTS] = {SOC_CONTROL_MAC_ID0_LO,
                                                        SOC_CONTROL_MAC_ID1_LO};
static const uint32_t MAC_REG_HI[SOC_CPSW_NUM_PORTS] = {SOC_CONTROL_MAC_ID0_HI,
                                                        SOC_CONTROL_MAC_ID1_HI};
static const uint32_t BITS_PER_BYTE = 8;
static const uint32_t SIZE_CI_IPNET = 80;
static const uint32_t SIZE_CI_ROUTE = 16;
static_assert(sizeof(CI_IPNET) == SIZE_CI_IPNET, "the stack's address record");
static_assert(sizeof(CI_ROUTE) == SIZE_CI_ROUTE, "the stack's route record");
static const uint32_t CFG_MODE_DEFAULT = 0;
static const uint32_t CFG_FIRST_ENTRY = 1;
// CfgAddEntry's failures; any other result is success.
static const int32_t CFG_ERROR_LOWEST = -99;
static const uint32_t SPEED_10 = 10;
static const uint32_t SPEED_100 = 100;
static const uint32_t SPEED_1000 = 1000;
static const uint32_t SPEED_INVALID = 0;

void Ethernet::Init()
{
    CpswPortMacModeSelect(0, MAC_MODE_RGMII);
    CpswPortMacModeSelect(1, MAC_MODE_RGMII);

    EMAC_HwAttrs_V4 cfg;
    (void)EMAC_socGetInitCfg(EMAC_INSTANCE, &cfg);  // instance 0 always exists
    cfg.numPorts = NUM_NIMU_DEVICES;
    cfg.port[0].phy_addr = EMAC_CPSW_PORT0_PHY_ADDR;
    cfg.port[1].phy_addr = EMAC_CPSW_PORT1_PHY_ADDR;
    (void)EMAC_socSetInitCfg(EMAC_INSTANCE, &cfg);

    NIMUDeviceTable[0].init = CpswEmacInit;
    NIMUDeviceTable[1].init = CpswEmacInit;
    NIMUDeviceTable[2].init = nullptr;
}

void Ethernet::CpswPortMacModeSelect(uint32_t ethIndex, uint32_t macMode)
{
    uint32_t value = regRead32(SOC_CONTROL_GMII_SEL);
    if (macMode > MAC_MODE_MAX || ethIndex >= SOC_CPSW_NUM_PORTS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    value &= ~GMII_SEL_PORT_MASK[ethIndex];
    if (macMode == MAC_MODE_RMII) {
        value |= GMII_SEL_RMII[ethIndex];
    } else if (macMode == MAC_MODE_RGMII) {
        value |= GMII_SEL_RGMII[ethIndex];
    }
    // MII and GMII (modes 0 and 2) are the port's bits all clear.
    regWrite32(SOC_CONTROL_GMII_SEL, value);
}

void Ethernet::DiscoverDevices()
{
    const uint32_t ticksLimit = usToTicks(TIME_ETH_DISCOVER);
    const uint32_t start = ti_sysbios_knl_Clock_getTicks();
    // Busy-polls: every task above the main task, the stack's included, runs.
    uint16_t count = GetNumOfDevices();
    while (count != NUM_NIMU_DEVICES) {
        if (ticksExpired(start, ticksLimit)) {
            EXM_FATAL(EC_ERROR_ETH_DISCOVER);
        }
        count = GetNumOfDevices();
    }
    dcPrintf("%d Ethernet interfaces detected:", count);
    for (uint32_t i = 0; i < NUM_NIMU_DEVICES; ++i) {
        uint8_t name[LEN_DEVICE_NAME];
        if (GetDeviceName(i, sizeof name, name) == EC_SUCCESS) {
            dcPrintf(" %s", reinterpret_cast<const char*>(name));
        }
    }
    dcPrintf("\n");
}

uint16_t Ethernet::GetNumOfDevices()
{
    uint16_t count = 0;
    const int32_t rc = NIMUIoctl(NIMU_GET_NUM_NIMU_OBJ, nullptr, &count, sizeof count);
    if (rc < 0) {
        dcPrintf("ERROR: Failed to get the number of Ethernet interfaces, %d\n", rc);
        return 0;
    }
    return count;
}

ERROR_CODES_E Ethernet::GetConfigIndex(uint32_t ethIndex, uint32_t* configIndexPtr)
{
    const uint16_t n = GetNumOfDevices();
    if (ethIndex >= n) {
        return EC_FAIL;
    }
    const uint32_t size = n * sizeof(uint16_t);
    uint16_t* indices = static_cast<uint16_t*>(mmAlloc(size));
    if (indices == nullptr) {
        EXM_FATAL(EC_ERROR_MEMORY_ALLOCATION);
    }
    ERROR_CODES_E result = EC_FAIL;
    const int32_t rc = NIMUIoctl(NIMU_GET_ALL_INDEX, nullptr, indices, size);
    if (rc != 0) {
        dcPrintf("ERROR: Failed to get information about Ethernet interfaces, %d\n", rc);
    } else {
        for (uint16_t i = 0; i < n; ++i) {
            if (indices[i] == ethIndex + 1) {
                *configIndexPtr = ethIndex + 1;
                result = EC_SUCCESS;
                break;
            }
        }
    }
    mmFree(indices);
    return result;
}

void Ethernet::RemoveIpsFromDevice(uint32_t ethIndex)
{
    uint32_t configIndex = 0;
    if (GetConfigIndex(ethIndex, &configIndex) != EC_SUCCESS) {
        return;
    }
    dcPrintf("Removing all current static IP configuration entries from eth%u.\n", ethIndex);
    for (;;) {
        CFG_ENTRY entry = nullptr;
        const int32_t found =
            CfgGetEntry(nullptr, CFGTAG_IPNET, configIndex, CFG_FIRST_ENTRY, &entry);
        if (found < 0) {
            dcPrintf("ERROR: Failed getting handle of a static IP configuration, %d\n", found);
            return;
        }
        if (found == 0) {
            return;
        }
        const int32_t removed = CfgRemoveEntry(nullptr, entry);
        if (removed < 0) {
            dcPrintf("ERROR: Failed to remove a static IP configuration, %d\n", removed);
            return;
        }
    }
}

ERROR_CODES_E Ethernet::AddIpToDevice(uint32_t ethIndex, uint32_t ipAddr, uint32_t netMask,
                                      uint32_t gatewayIpAddr, const char* domain)
{
    uint32_t configIndex = 0;
    if (GetConfigIndex(ethIndex, &configIndex) != EC_SUCCESS) {
        return EC_FAIL;
    }
    dcPrintf("Adding IP configurations to ETH%u.\n", ethIndex);
    CI_IPNET net;
    std::memset(&net, 0, sizeof net);
    net.IPAddr = ipAddr;
    net.IPMask = netMask;
    std::strncpy(net.Domain, domain, sizeof net.Domain - 1);  // stays NUL-terminated
    const int32_t rc = CfgAddEntry(nullptr, CFGTAG_IPNET, configIndex, CFG_MODE_DEFAULT, sizeof net,
                                   &net, nullptr);
    if (rc >= CFG_ERROR_LOWEST && rc < 0) {
        dcPrintf("ERROR: Failed to add a static IP configuration entry, %d\n", rc);
        return EC_FAIL;
    }
    CI_ROUTE route;
    std::memset(&route, 0, sizeof route);
    route.IPGateAddr = gatewayIpAddr;  // destination and mask 0: the default route
    (void)CfgAddEntry(nullptr, CFGTAG_ROUTE, configIndex, CFG_MODE_DEFAULT, sizeof route, &route,
                      nullptr);  // the interface serves its own subnet without it
    return EC_SUCCESS;
}

void Ethernet::GetMacAddr(uint32_t ethIndex, uint32_t capacity, uint8_t* macAddr)
{
    if (capacity < LEN_MAC_ADDR || ethIndex >= SOC_CPSW_NUM_PORTS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    const uint32_t hi = regRead32(MAC_REG_HI[ethIndex]);
    const uint32_t lo = regRead32(MAC_REG_LO[ethIndex]);
    for (uint32_t b = 0; b < 4; ++b) {
        macAddr[b] = static_cast<uint8_t>(hi >> (b * BITS_PER_BYTE));
    }
    macAddr[4] = static_cast<uint8_t>(lo);
    macAddr[5] = static_cast<uint8_t>(lo >> BITS_PER_BYTE);
}

ERROR_CODES_E Ethernet::GetDeviceName(uint32_t ethIndex, uint32_t capacity, uint8_t* deviceName)
{
    if (capacity < LEN_DEVICE_NAME) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    uint32_t configIndex = 0;
    if (GetConfigIndex(ethIndex, &configIndex) != EC_SUCCESS) {
        return EC_FAIL;
    }
    NIMU_IF_REQ req;
    std::memset(&req, 0, sizeof req);
    req.index = configIndex;
    return NIMUIoctl(NIMU_GET_DEVICE_NAME, &req, deviceName, capacity) == 0 ? EC_SUCCESS : EC_FAIL;
}

ERROR_CODES_E Ethernet::GetDeviceMtu(uint32_t ethIndex, uint16_t& mtu)
{
    uint32_t configIndex = 0;
    if (GetConfigIndex(ethIndex, &configIndex) != EC_SUCCESS) {
        return EC_FAIL;
    }
    NIMU_IF_REQ req;
    std::memset(&req, 0, sizeof req);
    req.index = configIndex;
    return NIMUIoctl(NIMU_GET_DEVICE_MTU, &req, &mtu, sizeof mtu) == 0 ? EC_SUCCESS : EC_FAIL;
}

ERROR_CODES_E Ethernet::GetDeviceSpeed(uint32_t ethIndex, uint32_t& autoNegociate, uint32_t& speed,
                                       uint32_t& duplex)
{
    if (ethIndex >= SOC_CPSW_NUM_PORTS) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    EMAC_HwAttrs_V4 cfg;
    (void)EMAC_socGetInitCfg(EMAC_INSTANCE, &cfg);
    ENETPHY_DEVICE_T phy;
    phy.miibase = cfg.mdio_base;
    uint16_t bmcr = 0;
    if (ENETPHY_UserAccessRead(&phy, ENETPHY_BMCR, cfg.port[ethIndex].phy_addr, &bmcr) != 1) {
        return EC_FAIL;
    }
    autoNegociate = (bmcr & ENETPHY_BMCR_AUTONEG) != 0 ? 1 : 0;
    const bool bit1000 = (bmcr & ENETPHY_BMCR_SPEED_1000) != 0;
    const bool bit100 = (bmcr & ENETPHY_BMCR_SPEED_100) != 0;
    if (bit1000 && bit100) {
        speed = SPEED_INVALID;
    } else if (bit1000) {
        speed = SPEED_1000;
    } else if (bit100) {
        speed = SPEED_100;
    } else {
        speed = SPEED_10;
    }
    duplex = (bmcr & ENETPHY_BMCR_FULL_DUPLEX) != 0 ? 1 : 0;
    return EC_SUCCESS;
}
