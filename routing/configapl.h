// The board's configuration handler. At start-up it creates the two host
// links, over which the host's configuration arrives; then, in the router
// task, it validates one configuration message per group, creates the
// group's IP gate with its UDP ports and its serial-line gates, keeps the
// message and answers with the group's status message, which it also sends
// whenever a host link comes up (that host link's worker task).
// It owns the gate tables: each entry changes once, from null to a gate.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "errcodes.h"
#include "scigateapl.h"
#include "spigateapl.h"

class IpGate;

constexpr uint16_t NUM_OF_GROUPS = 2;
constexpr uint16_t NUM_OF_SPIGATES = 2;
constexpr uint16_t NUM_OF_IPGATES = 2;
constexpr uint16_t NUM_OF_SCIGATES = 3;
constexpr uint16_t NUM_OF_SCIS_PER_GROUP = 2;
constexpr uint16_t LEN_MIN_CONFIG_MSG = 42;   // N = 0, P = 0
constexpr uint16_t LEN_MAX_CONFIG_MSG = 110;  // N = 8, P = 18
constexpr uint16_t IN_ETH_CONFIG_MSG = 2;     // where the Ethernet part starts

// Addressing of configuration traffic, as a BD holds it (network byte order).
constexpr uint16_t PORT_CONFIG = 0x0004;  // port 1024
constexpr uint32_t IPADDR_CONFIG = 0;
constexpr uint8_t BC_CONFIG_MSG = 0x96;  // first byte of every configuration message
constexpr uint8_t BM_CONFIG_MSG = 0xE1;  // second byte

// Serial-line record, byte 0: standard, protocol and bit-rate code.
constexpr uint32_t MASK_SCI_STANDARD = 0xC0;
constexpr uint32_t SHIFT_SCI_STANDARD = 6;
constexpr uint32_t MASK_SCI_PROT_TYPE = 0x10;
constexpr uint32_t SHIFT_SCI_PROT_TYPE = 4;
constexpr uint32_t MASK_SCI_BAUDRATE = 0x0F;
constexpr uint32_t SHIFT_SCI_BAUDRATE = 0;
// Byte 1: RAWoS inter-character time-out in 8 ms units, and parity.
constexpr uint32_t MASK_SCI_INTERCHAR = 0xFC;
constexpr uint32_t SHIFT_SCI_INTERCHAR = 2;
constexpr uint32_t MASK_SCI_PARITY = 0x03;
constexpr uint32_t SHIFT_SCI_PARITY = 0;

// One interface of a group: its source, its index in the gate table of its
// kind and the index of its hardware unit.
struct GROUP_ITEM_T {
    SOURCES_E source;
    uint16_t objIndex;
    uint16_t phyIndex;
};

struct TAB_OF_GROUPS_T {
    GROUP_ITEM_T zok;  // the board itself, speaking for the group
    GROUP_ITEM_T ip;
    GROUP_ITEM_T spi;
    uint8_t numOfScis;
    GROUP_ITEM_T listOfScis[NUM_OF_SCIS_PER_GROUP];
};

struct TAB_OF_DEFAULT_UDP_PORTS_T {
    uint16_t numOfUdpPorts;
    uint16_t listOfPorts[18];  // network byte order
};

// Gate tables, null until created; read by the router and the pages.
extern SpiGate* hSpiGate[NUM_OF_SPIGATES];
extern IpGate* hIpGate[NUM_OF_IPGATES];
extern SciGate* hSciGate[NUM_OF_SCIGATES];

class Config {
public:
    // Clears the configuration state and creates hSpiGate[0] (SOURCE_SPI1,
    // controller 0) and hSpiGate[1] (SOURCE_SPI2, controller 1). Main task,
    // once, before the router starts; failures are the gates' fatal errors.
    static void Init();
    // 1 once both groups are configured, else 0.
    static uint16_t IsConfigured();
#ifdef ZOK2_TEST_HOOKS
    // Test and fuzz builds only: both groups unconfigured again, the host
    // links kept. The IP and serial-line gates are forgotten (their storage
    // stays with whoever provided it) and their UARTs closed, so that every
    // run starts alike.
    static void Restart();
#endif
    // Router task only, after its format check (load at least 2, 0x96 0xE1).
    // Refusals are printed and change nothing; an accepted message creates
    // the group's gates and is answered with the status message. The caller
    // keeps the BD.
    static void ProcessConfigMessage(BD* bd);
    // Builds the group's status message from one consistent copy of the
    // stored configuration and posts it for the host (any task).
    static void SendConfigStatusMessage(uint16_t group);
    // Group of a source; a source without a group is fatal (EC_FAIL).
    static uint16_t GetConfigGroup(SOURCES_E source);
    // Connection callback of both host links (their worker tasks): the
    // group's status message on LINK_UP.
    static void SpiConnectionHandler(SOURCES_E source, LINK_ACTIVITY_E activity);
    // EC_FAIL when the mask is not a run of ones from the top, the address
    // cannot be an interface's own (0.0.0.0, 255.255.255.255, multicast, the
    // subnet's network or broadcast address), the gateway lies outside the
    // board's subnet, or the address equals or shares a subnet with an
    // interface configured before.
    static ERROR_CODES_E ValidateIpAddrs(uint32_t netMask, uint32_t ipAddr, uint32_t gatewayIpAddr);

    // Decodings of the serial-line record fields, already shifted down.
    static uint32_t DecodeSciProtType(uint32_t value);
    static uint32_t DecodeSciBaudrate(uint32_t value);
    static uint32_t DecodeSciParity(uint32_t value);
    static uint32_t DecodeSciWordLength(uint32_t value);
    static uint32_t DecodeSciStopBits(uint32_t value);
    static uint32_t DecodeSciStandard(uint32_t value);
};
