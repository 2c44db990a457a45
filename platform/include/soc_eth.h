// SoC facts of the Ethernet side: the control-module registers that hold the
// two fused MAC addresses and the switch ports' interface selection, the
// switch's MDIO block, and the MDIO addresses of the board's PHYs.
// Drivers, models and tests read these values from here only.
#pragma once

#include <cstdint>

constexpr uint32_t SOC_CONTROL_BASE = 0x44E10000u;
constexpr uint32_t SOC_CONTROL_SIZE = 0x2000u;
// Fused MAC addresses: the low word holds bytes 4 and 5 in its bits 0-15,
// the high word bytes 0 to 3 from its bits 0-7 upward.
constexpr uint32_t SOC_CONTROL_MAC_ID0_LO = SOC_CONTROL_BASE + 0x630u;
constexpr uint32_t SOC_CONTROL_MAC_ID0_HI = SOC_CONTROL_BASE + 0x634u;
constexpr uint32_t SOC_CONTROL_MAC_ID1_LO = SOC_CONTROL_BASE + 0x638u;
constexpr uint32_t SOC_CONTROL_MAC_ID1_HI = SOC_CONTROL_BASE + 0x63Cu;
// Ethernet port interface selection (MII/GMII, RMII, RGMII per switch port).
constexpr uint32_t SOC_CONTROL_GMII_SEL = SOC_CONTROL_BASE + 0x650u;

// MDIO block of the Ethernet switch.
constexpr uint32_t SOC_CPSW_MDIO_BASE = 0x4A101000u;

// Switch ports on the board and the MDIO addresses of their PHYs.
constexpr uint32_t SOC_CPSW_NUM_PORTS = 2;
