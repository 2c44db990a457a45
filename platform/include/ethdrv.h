// Ethernet driver of the SoC's switch (CPSW) as the firmware sees it: its
// start-up configuration, PHY register access over MDIO, the MAC counters,
// the interface initialiser the network stack calls, and the operating-system
// hooks the driver calls back into the firmware (net/nimu_osal.cpp).
// The start-up configuration is replaced before the stack starts; the rest
// is callable from any task.
#pragma once

#include <cstdint>

#include "soc_eth.h"

// Per switch port: the PHY's MDIO address.
struct EMAC_PORT_ATTRS_T {
    uint32_t phy_addr;
};

// Driver start-up configuration of one switch instance.
struct EMAC_HwAttrs_V4 {
    uint32_t numPorts;   // switch ports in use, at most SOC_CPSW_NUM_PORTS
    uint32_t mdio_base;  // MDIO block base address
    EMAC_PORT_ATTRS_T port[SOC_CPSW_NUM_PORTS];
};

// 0 on success. Only instance (port number) 0 exists.
int32_t EMAC_socGetInitCfg(uint32_t portNum, EMAC_HwAttrs_V4* cfg);
int32_t EMAC_socSetInitCfg(uint32_t portNum, const EMAC_HwAttrs_V4* cfg);

// PHY access over MDIO: `miibase` is the MDIO block's base address.
struct ENETPHY_DEVICE_T {
    uint32_t miibase;
};
using ENETPHY_Handle = ENETPHY_DEVICE_T*;
// PHY registers and bits the firmware reads.
constexpr uint32_t ENETPHY_BMCR = 0;  // basic mode control
constexpr uint32_t ENETPHY_BMSR = 1;  // basic mode status
constexpr uint16_t ENETPHY_BMCR_SPEED_1000 = 0x0040;
constexpr uint16_t ENETPHY_BMCR_FULL_DUPLEX = 0x0100;
constexpr uint16_t ENETPHY_BMCR_AUTONEG = 0x1000;
constexpr uint16_t ENETPHY_BMCR_SPEED_100 = 0x2000;
constexpr uint16_t ENETPHY_BMSR_LINK_UP = 0x0004;
// 1 when the register was read into *value; 0 when the PHY did not answer.
uint32_t ENETPHY_UserAccessRead(ENETPHY_Handle handle, uint32_t regNum, uint32_t phyAddr,
                                uint16_t* value);

// MAC counters of one switch port since power-on.
struct EMAC_STATISTICS_T {
    uint32_t RxGoodFrames, TxGoodFrames;
    uint32_t RxOctets, TxOctets;
    uint32_t RxBCastFrames, TxBCastFrames;
    uint32_t RxMCastFrames, TxMCastFrames;
    uint32_t RxPauseFrames, TxPauseFrames;
    uint32_t RxCRCErrors, TxDeferred;
    uint32_t RxAlignCodeErrors, TxCollision;
    uint32_t RxOversized, TxSingleColl;
    uint32_t RxJabber, TxMultiColl;
    uint32_t RxUndersized, TxExcessiveColl;
    uint32_t RxSOFOverruns, TxLateColl;
    uint32_t RxMOFOverruns, TxUnderrun;
    uint32_t RxDMAOverruns, TxCarrierSLoss;
    uint32_t RxFragments;
    uint32_t RxFiltered;
    uint32_t RxQOSFiltered;
    uint32_t NetOctets;
};
// 0 on success; `port` 0 or 1.
int32_t emac_get_statistics(uint32_t port, EMAC_STATISTICS_T* stats);

// Link state of a switch port as its PHY reports it.
constexpr uint32_t EMAC_LINKSTATUS_NOLINK = 0;
constexpr uint32_t EMAC_LINKSTATUS_UNKNOWN = 1;  // link up, mode not resolved
constexpr uint32_t EMAC_LINKSTATUS_HD10 = 2;
constexpr uint32_t EMAC_LINKSTATUS_FD10 = 3;
constexpr uint32_t EMAC_LINKSTATUS_HD100 = 4;
constexpr uint32_t EMAC_LINKSTATUS_FD100 = 5;
constexpr uint32_t EMAC_LINKSTATUS_HD1000 = 6;
constexpr uint32_t EMAC_LINKSTATUS_FD1000 = 7;
struct EMAC_LINK_INFO_T {
    uint32_t link_status;  // EMAC_LINKSTATUS_*
};
// Polls the link of switch port `portNum`; 0 on success, NOLINK otherwise.
int32_t emac_poll(uint32_t portNum, EMAC_LINK_INFO_T* info);

// The interface initialiser for the stack's device table: registers the
// next switch port as a network interface. 0 on success.
int32_t CpswEmacInit(void* stackEvent);

// The stack's table of interface initialisers, filled by the firmware before
// the stack starts; a null entry ends it.
struct NIMU_DEVICE_TABLE_ENTRY {
    int32_t (*init)(void* stackEvent);
};
constexpr uint32_t NIMU_DEVICE_TABLE_SIZE = 3;
extern NIMU_DEVICE_TABLE_ENTRY NIMUDeviceTable[NIMU_DEVICE_TABLE_SIZE];

// Operating-system hooks the driver calls; the firmware provides them.
using OSAL_TASK_FXN = void (*)(uintptr_t arg0, uintptr_t arg1);
void* Osal_TaskCreate(OSAL_TASK_FXN fxn);
void* Osal_malloc(uint32_t numBytes);
void Osal_free(void* ptr, uint32_t numBytes);
void Osal_TaskSleep(uint32_t ticks);
