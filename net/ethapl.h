// The board's two Ethernet interfaces below the socket level: switch port
// modes and PHY addresses before the stack starts, the stack's interface
// table, the wait for both interfaces at start, static addresses, MAC
// addresses and the interface queries of the diagnostics pages.
// No state: every operation is static and none locks.
#pragma once

#include <cstdint>

#include "errcodes.h"

constexpr uint32_t NUM_NIMU_DEVICES = 2;
constexpr uint32_t LEN_MAC_ADDR = 6;
constexpr uint32_t LEN_DEVICE_NAME = 20;
// MDIO addresses of the PHYs of switch ports 0 and 1.
constexpr uint32_t EMAC_CPSW_PORT0_PHY_ADDR = 2;
constexpr uint32_t EMAC_CPSW_PORT1_PHY_ADDR = 1;

class Ethernet {
public:
    // Before the kernel starts: both ports RGMII, the PHY addresses into the
    // driver's start-up configuration, the stack's interface table.
    static void Init();
    // Writes one port's interface mode (0/2 MII/GMII, 1 RMII, 3 RGMII) into
    // the selection register, leaving the other port's bits. A mode above 3
    // or an index other than 0 or 1 is fatal (EC_ERROR_INVALID_ARGUMENT).
    static void CpswPortMacModeSelect(uint32_t ethIndex, uint32_t macMode);
    // Main task, at start: busy-waits until the stack knows both interfaces
    // (fatal EC_ERROR_ETH_DISCOVER after 1 s) and prints their names.
    static void DiscoverDevices();
    // Interfaces the stack knows; 0 on error.
    static uint16_t GetNumOfDevices();
    static ERROR_CODES_E GetConfigIndex(uint32_t ethIndex, uint32_t* configIndexPtr);
    // Removes every static address entry of the interface.
    static void RemoveIpsFromDevice(uint32_t ethIndex);
    // Adds one static address entry and the default route (network order).
    static ERROR_CODES_E AddIpToDevice(uint32_t ethIndex, uint32_t ipAddr, uint32_t netMask,
                                       uint32_t gatewayIpAddr, const char* domain);
    // The fused MAC address, LEN_MAC_ADDR bytes; a smaller capacity or a bad
    // index is fatal (EC_ERROR_INVALID_ARGUMENT).
    static void GetMacAddr(uint32_t ethIndex, uint32_t capacity, uint8_t* macAddr);
    // The stack's name of the interface; a capacity below LEN_DEVICE_NAME is fatal.
    static ERROR_CODES_E GetDeviceName(uint32_t ethIndex, uint32_t capacity, uint8_t* deviceName);
    static ERROR_CODES_E GetDeviceMtu(uint32_t ethIndex, uint16_t& mtu);
    // The PHY's control settings: auto-negotiation 0/1, speed 10/100/1000
    // (0 for an invalid setting), duplex 1 full / 0 half.
    static ERROR_CODES_E GetDeviceSpeed(uint32_t ethIndex, uint32_t& autoNegociate,
                                        uint32_t& speed, uint32_t& duplex);
};
