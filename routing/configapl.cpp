// Configuration handler: see configapl.h.
#include "configapl.h"

#include <cstring>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "crcapl.h"
#include "dcprintapl.h"
#include "ethapl.h"
#include "exmapl.h"
#include "ipgateapl.h"
#include "iprotocol.h"
#include "kernel.h"
#include "uartdrvapl.h"
#include "versionapl.h"

// Kept by convention although no check here is fatal yet.
[[maybe_unused]] static const char _MODULE_[] = "configapl.cpp";

// Host links: the host clocks at 9.216 MHz in SPI mode 1 with an active-low
// chip select; a link is down after 2 s of silence and kept alive by a
// connection packet after 1 s without sending.
static const uint32_t SPI_BAUD_RATE = 9216000;
static const uint32_t SPI_CLOCK_MODE = 1;
static const uint32_t SPI_CS_POLARITY = 0x40;
static const uint32_t TIME_BPPOS_RECV_TIMEOUT = 2000000;       // microseconds
static const uint32_t TIME_BPPOS_CONNECTION_WINDOW = 1000000;  // microseconds

// Serial lines: every BAC-M line is a slave; a BAC-M answer is awaited 1 s
// and the turn kept 200 ms; a RAWoS line is down after a minute of silence.
static const uint16_t BACM_SLAVE = 0;
static const uint32_t TIME_BACM_RECV_TIMEOUT = 1000000;    // microseconds
static const uint32_t TIME_BACM_ACK_WINDOW = 200000;       // microseconds
static const uint32_t TIME_RAWOS_RECV_TIMEOUT = 60000000;  // microseconds
static const uint32_t TIME_INTERCHAR_UNIT = 8000;          // microseconds

// Message layout (N multicast groups, P ports, S = 30 + 4N + 2P).
static const uint32_t IN_MAC = IN_ETH_CONFIG_MSG;
static const uint32_t LEN_MAC = 6;
static const uint32_t IN_NET_MASK = 8;
static const uint32_t IN_GATEWAY = 12;
static const uint32_t IN_IP_ADDR = 16;
static const uint32_t IN_NUM_MULTI = 20;
static const uint32_t IN_MULTI_LIST = 21;
static const uint32_t LEN_IPV4 = 4;
static const uint32_t LEN_PORT = 2;
static const uint32_t LEN_SCI_RECORD = 4;
static const uint32_t IN_NUM_PORTS_BASE = 29;       // + 4N
static const uint32_t IN_SCI_RECORDS_BASE = 30;     // + 4N + 2P: S
static const uint32_t IN_BACM_ADDR = 8;             // from S
static const uint32_t IN_VERSION = 9;               // from S
static const uint32_t IN_REVISION = 10;             // from S
static const uint32_t IN_CHECKSUM = 11;             // from S
static const uint32_t LEN_TAIL = 12;                // S to the end of the message
static const uint8_t MULTICAST_HIGH_NIBBLE = 0xE0;  // 224.0.0.0 to 239.255.255.255
static const uint8_t HIGH_NIBBLE = 0xF0;
// Board addresses, in host order.
static const uint32_t ALL_ONES_ADDR = 0xFFFFFFFF;
static const uint32_t CLASS_MASK = 0xF0000000;
static const uint32_t MULTICAST_CLASS = 0xE0000000;
static const uint32_t POINT_TO_POINT_HOST_BITS = 1;  // a /31 has no network or broadcast address

// Held in network byte order: the low byte of the value is sent first.
static constexpr uint16_t heldPort(uint16_t port)
{
    return static_cast<uint16_t>((port >> 8) | (port << 8));
}

static const TAB_OF_GROUPS_T tabOfGroups[NUM_OF_GROUPS] = {
    {{SOURCE_ZOK1, 0, 0},
     {SOURCE_ETH0, 0, 0},
     {SOURCE_SPI1, 0, 0},
     2,
     {{SOURCE_SCI1, 0, 1}, {SOURCE_SCI2, 1, 2}}},
    {{SOURCE_ZOK2, 0, 0},
     {SOURCE_ETH1, 1, 1},
     {SOURCE_SPI2, 1, 1},
     1,
     {{SOURCE_SCI3, 2, 3}, {SOURCE_NONE, 0, 0}}},
};

// The serial-line ports 2010 and 2011 are not among them.
static const TAB_OF_DEFAULT_UDP_PORTS_T tabOfDefaultUdpPorts[NUM_OF_GROUPS] = {
    {15,
     {heldPort(2000), heldPort(2001), heldPort(2002), heldPort(2003), heldPort(2004),
      heldPort(2005), heldPort(2006), heldPort(2007), heldPort(2008), heldPort(2009),
      heldPort(2012), heldPort(2013), heldPort(2014), heldPort(2015), heldPort(53300), 0, 0, 0}},
    {15,
     {heldPort(2000), heldPort(2001), heldPort(2002), heldPort(2003), heldPort(2004),
      heldPort(2005), heldPort(2006), heldPort(2007), heldPort(2008), heldPort(2009),
      heldPort(2012), heldPort(2013), heldPort(2014), heldPort(2015), heldPort(53300), 0, 0, 0}},
};

SpiGate* hSpiGate[NUM_OF_SPIGATES] = {nullptr, nullptr};
IpGate* hIpGate[NUM_OF_IPGATES] = {nullptr, nullptr};
SciGate* hSciGate[NUM_OF_SCIGATES] = {nullptr, nullptr, nullptr};

// Per group: 1 once configured, and the accepted message (all zeros
// before). The router task writes both, once, with the scheduler locked; a
// host link's worker reads them the same way, so a status message is built
// from either the old or the new configuration, never a mix.
static uint16_t mConfigStatus[NUM_OF_GROUPS];
static uint8_t mBufConfigMsg[NUM_OF_GROUPS][LEN_MAX_CONFIG_MSG];

static SpiGate* CreateSpiGate(SOURCES_E source, uint16_t spiIndex)
{
    SPIGATE_CONFIG_T cfg;
    cfg.source = source;
    cfg.spiIndex = spiIndex;
    cfg.spiBaudRate = SPI_BAUD_RATE;
    cfg.spiClockMode = SPI_CLOCK_MODE;
    cfg.spiChipSelectPolarity = SPI_CS_POLARITY;
    cfg.bpposTicksRecvTimeout = usToTicks(TIME_BPPOS_RECV_TIMEOUT);
    cfg.bpposTicksConnectionWindow = usToTicks(TIME_BPPOS_CONNECTION_WINDOW);
    cfg.connectionCallback = Config::SpiConnectionHandler;
    return new SpiGate(cfg);
}

static uint32_t ReadAddr(const uint8_t* msg, uint32_t at)
{
    uint32_t v;
    std::memcpy(&v, msg + at, sizeof v);  // kept in network byte order
    return v;
}

static uint16_t ReadPort(const uint8_t* msg, uint32_t at)
{
    uint16_t v;
    std::memcpy(&v, msg + at, sizeof v);
    return v;
}

// True when two of the `count` fields of `size` bytes from `at` are equal.
static bool HasDuplicate(const uint8_t* msg, uint32_t at, uint32_t size, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        for (uint32_t j = i + 1; j < count; ++j) {
            if (std::memcmp(msg + at + size * i, msg + at + size * j, size) == 0) {
                return true;
            }
        }
    }
    return false;
}

// A subnet mask is a run of ones from the top: its complement plus one is a
// power of two (0 for 255.255.255.255).
static bool IsContiguousMask(uint32_t hostMask)
{
    const uint32_t hostBits = ~hostMask;
    return (hostBits & (hostBits + 1)) == 0;
}

// Host order of an address held in network byte order.
static uint32_t HostOrder(uint32_t held)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&held);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
}

static uint32_t NumOfPortsIndex(uint32_t numMulti)
{
    return IN_NUM_PORTS_BASE + LEN_IPV4 * numMulti;
}

static uint32_t SciRecordsIndex(uint32_t numMulti, uint32_t numPorts)
{
    return IN_SCI_RECORDS_BASE + LEN_IPV4 * numMulti + LEN_PORT * numPorts;
}

static void CreateIpGate(const TAB_OF_GROUPS_T& g, const uint8_t* msg, uint32_t numMulti)
{
    IPGATE_CONFIG_T cfg;
    std::memset(&cfg, 0, sizeof cfg);
    cfg.source = g.ip.source;
    cfg.ethIndex = g.ip.phyIndex;
    cfg.netMask = ReadAddr(msg, IN_NET_MASK);
    cfg.ipAddr = ReadAddr(msg, IN_IP_ADDR);
    cfg.gatewayIpAddr = ReadAddr(msg, IN_GATEWAY);
    cfg.numOfMultiAddrs = numMulti;
    for (uint32_t i = 0; i < numMulti; ++i) {
        cfg.listOfMultiAddrs[i] = ReadAddr(msg, IN_MULTI_LIST + LEN_IPV4 * i);
    }
    IpGate* gate = new IpGate(cfg);
    hIpGate[g.ip.objIndex] = gate;

    const uint32_t numPorts = msg[NumOfPortsIndex(numMulti)];
    const uint32_t firstPort = NumOfPortsIndex(numMulti) + 1;
    if (numPorts == 0) {
        const TAB_OF_DEFAULT_UDP_PORTS_T& d = tabOfDefaultUdpPorts[g.ip.objIndex];
        for (uint32_t i = 0; i < d.numOfUdpPorts; ++i) {
            gate->OpenUdpPort(d.listOfPorts[i]);
        }
    }
    for (uint32_t i = 0; i < numPorts; ++i) {
        gate->OpenUdpPort(ReadPort(msg, firstPort + LEN_PORT * i));
    }
}

static void CreateSciGates(const TAB_OF_GROUPS_T& g, const uint8_t* msg, uint32_t s)
{
    for (uint32_t k = 0; k < g.numOfScis; ++k) {
        const uint8_t b0 = msg[s + LEN_SCI_RECORD * k];
        const uint8_t b1 = msg[s + LEN_SCI_RECORD * k + 1];
        SCIGATE_CONFIG_T cfg;
        cfg.source = g.listOfScis[k].source;
        cfg.uartIndex = g.listOfScis[k].phyIndex;
        cfg.uartStandard =
            Config::DecodeSciStandard((b0 & MASK_SCI_STANDARD) >> SHIFT_SCI_STANDARD);
        cfg.uartBaudRate =
            Config::DecodeSciBaudrate((b0 & MASK_SCI_BAUDRATE) >> SHIFT_SCI_BAUDRATE);
        cfg.uartWordLength = Config::DecodeSciWordLength(0);
        cfg.uartStopBits = Config::DecodeSciStopBits(0);
        cfg.uartParity = Config::DecodeSciParity((b1 & MASK_SCI_PARITY) >> SHIFT_SCI_PARITY);
        cfg.protType = Config::DecodeSciProtType((b0 & MASK_SCI_PROT_TYPE) >> SHIFT_SCI_PROT_TYPE);
        cfg.bacmMaster = BACM_SLAVE;
        cfg.rawosInterCharTimeout =
            ((b1 & MASK_SCI_INTERCHAR) >> SHIFT_SCI_INTERCHAR) * usToTicks(TIME_INTERCHAR_UNIT);
        // The message has one address byte; it serves both lines of a group.
        cfg.bacmPhysicalAddr = msg[s + IN_BACM_ADDR];
        if (cfg.protType == SCI_PROT_TYPE_BACM) {
            cfg.protTicksRecvTimeout = usToTicks(TIME_BACM_RECV_TIMEOUT);
            cfg.bacmTicksAckWindow = usToTicks(TIME_BACM_ACK_WINDOW);
        } else {
            cfg.protTicksRecvTimeout = usToTicks(TIME_RAWOS_RECV_TIMEOUT);
            cfg.bacmTicksAckWindow = 0;
        }
        hSciGate[g.listOfScis[k].objIndex] = new SciGate(cfg);
    }
}

void Config::Init()
{
    std::memset(mBufConfigMsg, 0, sizeof mBufConfigMsg);
    mConfigStatus[0] = 0;
    hSpiGate[0] = CreateSpiGate(SOURCE_SPI1, 0);
    mConfigStatus[1] = 0;
    hSpiGate[1] = CreateSpiGate(SOURCE_SPI2, 1);
}

#ifdef ZOK2_TEST_HOOKS
void Config::Restart()
{
    std::memset(mBufConfigMsg, 0, sizeof mBufConfigMsg);
    for (uint16_t group = 0; group < NUM_OF_GROUPS; ++group) {
        const TAB_OF_GROUPS_T& g = tabOfGroups[group];
        mConfigStatus[group] = 0;
        hIpGate[g.ip.objIndex] = nullptr;
        for (uint32_t k = 0; k < g.numOfScis; ++k) {
            if (hSciGate[g.listOfScis[k].objIndex] != nullptr) {
                uartClose(g.listOfScis[k].phyIndex);
                hSciGate[g.listOfScis[k].objIndex] = nullptr;
            }
        }
    }
}
#endif

uint16_t Config::IsConfigured() { return (mConfigStatus[0] == 1 && mConfigStatus[1] == 1) ? 1 : 0; }

void Config::ProcessConfigMessage(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    const uint16_t group = GetConfigGroup(bd->Source());
    if (mConfigStatus[group] == 1) {
        dcPrintf("ERROR: Attempt to re-configure group %d.\n", group);
        SendConfigStatusMessage(group);
        return;
    }
    const uint32_t len = bd->Load();
    if (len < LEN_MIN_CONFIG_MSG || len > LEN_MAX_CONFIG_MSG) {
        dcPrintf("ERROR: Invalid message length on group %d.\n", group);
        return;
    }
    // A zero-padded copy: fields that a short message lacks read as 0, and
    // nothing past the message is ever read.
    uint8_t msg[LEN_MAX_CONFIG_MSG] = {};
    std::memcpy(msg, bd->BufferPtr(), len);
    if (msg[len - 1] != Crc::Calc8bitsChecksum(len - 1, msg)) {
        dcPrintf("ERROR: Checksum error on group %d.\n", group);
        return;
    }
    if (ValidateIpAddrs(ReadAddr(msg, IN_NET_MASK), ReadAddr(msg, IN_IP_ADDR),
                        ReadAddr(msg, IN_GATEWAY)) != EC_SUCCESS) {
        dcPrintf("ERROR: Invalid IP addresses on group %d.\n", group);
        return;
    }
    const uint32_t numMulti = msg[IN_NUM_MULTI];
    if (numMulti > MAX_NUM_MULTI_ADDR) {
        dcPrintf("ERROR: Invalid number of multicast addresses on group %d.\n", group);
        return;
    }
    for (uint32_t i = 0; i < numMulti; ++i) {
        if ((msg[IN_MULTI_LIST + LEN_IPV4 * i] & HIGH_NIBBLE) != MULTICAST_HIGH_NIBBLE) {
            dcPrintf("ERROR: Invalid multicast address on group %d.\n", group);
            return;
        }
    }
    const uint32_t numPorts = msg[NumOfPortsIndex(numMulti)];
    if (numPorts > MAX_NUM_UDP_PORTS) {
        dcPrintf("ERROR: Invalid number of ports on group %d.\n", group);
        return;
    }
    // The layout follows from N and P; any other length would put the line
    // records and the checksum somewhere else.
    const uint32_t s = SciRecordsIndex(numMulti, numPorts);
    if (len != s + LEN_TAIL) {
        dcPrintf("ERROR: Invalid message length on group %d.\n", group);
        return;
    }
    // The stack refuses a second join of a group and a second bind of a
    // port, and either would stop the board while its gate is built.
    if (HasDuplicate(msg, IN_MULTI_LIST, LEN_IPV4, numMulti)) {
        dcPrintf("ERROR: Duplicate multicast address on group %d.\n", group);
        return;
    }
    if (HasDuplicate(msg, NumOfPortsIndex(numMulti) + 1, LEN_PORT, numPorts)) {
        dcPrintf("ERROR: Duplicate UDP port on group %d.\n", group);
        return;
    }

    const TAB_OF_GROUPS_T& g = tabOfGroups[group];
    // A standard the line's transceiver channel lacks would stop the board
    // while its gate is built; the host's mistake is refused instead.
    for (uint32_t k = 0; k < g.numOfScis; ++k) {
        const uint32_t standard = DecodeSciStandard(
            (msg[s + LEN_SCI_RECORD * k] & MASK_SCI_STANDARD) >> SHIFT_SCI_STANDARD);
        if (!uartStandardAvailable(g.listOfScis[k].phyIndex, standard)) {
            dcPrintf("ERROR: Invalid serial line standard on group %d.\n", group);
            return;
        }
    }
    CreateIpGate(g, msg, numMulti);
    CreateSciGates(g, msg, s);

    const uint32_t key = ti_sysbios_knl_Task_disable();
    std::memcpy(mBufConfigMsg[group], msg, len);
    mConfigStatus[group] = 1;
    ti_sysbios_knl_Task_restore(key);
    SendConfigStatusMessage(group);
}

void Config::SendConfigStatusMessage(uint16_t group)
{
    if (group >= NUM_OF_GROUPS) {
        EXM_FATAL(EC_ERROR_INVALID_INDEX);
    }
    const TAB_OF_GROUPS_T& g = tabOfGroups[group];
    uint8_t msg[LEN_MAX_CONFIG_MSG];
    const uint32_t key = ti_sysbios_knl_Task_disable();
    std::memcpy(msg, mBufConfigMsg[group], sizeof msg);
    ti_sysbios_knl_Task_restore(key);

    msg[0] = BC_CONFIG_MSG;
    msg[1] = BM_CONFIG_MSG;
    Ethernet::GetMacAddr(g.ip.phyIndex, LEN_MAC, &msg[IN_MAC]);
    const uint32_t numMulti = msg[IN_NUM_MULTI];
    const uint32_t s = SciRecordsIndex(numMulti, msg[NumOfPortsIndex(numMulti)]);
    if (s + LEN_TAIL > sizeof msg) {
        EXM_FATAL(EC_ERROR_INVALID_INDEX);  // only a validated message is ever stored
    }
    msg[s + IN_VERSION] =
        static_cast<uint8_t>((AppSwVer::GetMajorDigit() << 4) + AppSwVer::GetMinorDigit());
    msg[s + IN_REVISION] = AppSwVer::GetRevision();
    msg[s + IN_CHECKSUM] = Crc::Calc8bitsChecksum(s + IN_CHECKSUM, msg);

    BD* bd = BdPool::Get();
    if (s + LEN_TAIL > bd->Capacity()) {
        BdPool::Put(bd);
        return;
    }
    bd->Source(g.zok.source);
    bd->SourcePort(PORT_CONFIG);
    bd->DestPort(PORT_CONFIG);
    bd->SourceIpAddr(IPADDR_CONFIG);
    bd->DestIpAddr(IPADDR_CONFIG);
    bd->Copy(s + LEN_TAIL, msg);
    // A full mailbox loses this answer (the next link-up repeats it), not the BD.
    (void)BdMail::PostOrRecycle(bd);
}

uint16_t Config::GetConfigGroup(SOURCES_E source)
{
    switch (source) {
    case SOURCE_SPI1:
    case SOURCE_ETH0:
    case SOURCE_ZOK1:
    case SOURCE_SCI1:
    case SOURCE_SCI2:
        return 0;
    case SOURCE_SPI2:
    case SOURCE_ETH1:
    case SOURCE_ZOK2:
    case SOURCE_SCI3:
        return 1;
    default:
        EXM_FATAL(EC_FAIL);
    }
}

void Config::SpiConnectionHandler(SOURCES_E source, LINK_ACTIVITY_E activity)
{
    if (activity == LINK_UP) {
        SendConfigStatusMessage(GetConfigGroup(source));
    }
}

ERROR_CODES_E Config::ValidateIpAddrs(uint32_t netMask, uint32_t ipAddr, uint32_t gatewayIpAddr)
{
    // What the stack would refuse, or take as something other than one
    // interface's address (0.0.0.0 binds every address): refused here,
    // before anything of the group is made.
    const uint32_t mask = HostOrder(netMask);
    const uint32_t addr = HostOrder(ipAddr);
    if (!IsContiguousMask(mask) || addr == 0 || addr == ALL_ONES_ADDR ||
        (addr & CLASS_MASK) == MULTICAST_CLASS) {
        return EC_FAIL;
    }
    // On a subnet with room for hosts, its first and last addresses name the
    // subnet itself and its broadcast.
    if (~mask > POINT_TO_POINT_HOST_BITS &&
        ((addr & ~mask) == 0 || (addr | mask) == ALL_ONES_ADDR)) {
        return EC_FAIL;
    }
    if (((gatewayIpAddr ^ ipAddr) & netMask) != 0) {
        return EC_FAIL;
    }
    for (uint16_t i = 0; i < NUM_OF_IPGATES; ++i) {
        if (hIpGate[i] == nullptr) {
            continue;
        }
        IPGATE_CONFIG_T other;
        std::memset(&other, 0, sizeof other);
        hIpGate[i]->GetConfig(other);
        if (ipAddr == other.ipAddr || (ipAddr & netMask) == (other.ipAddr & other.netMask)) {
            return EC_FAIL;
        }
    }
    return EC_SUCCESS;
}

uint32_t Config::DecodeSciProtType(uint32_t value)
{
    return value == 1 ? SCI_PROT_TYPE_RAWOS : SCI_PROT_TYPE_BACM;
}

uint32_t Config::DecodeSciBaudrate(uint32_t value)
{
    switch (value) {
    case 1:
        return 9600;
    case 2:
        return 19200;
    case 3:
        return 28800;
    case 4:
        return 38400;
    case 5:
        return 57600;
    case 8:
        return 115200;
    default:
        return 19200;  // unassigned codes
    }
}

uint32_t Config::DecodeSciParity(uint32_t value)
{
    switch (value) {
    case 1:
        return UART_PARITY_ODD;
    case 2:
        return UART_PARITY_EVEN;
    default:
        return UART_PARITY_NONE;
    }
}

uint32_t Config::DecodeSciWordLength(uint32_t) { return UART_WORD_LENGTH_8; }

uint32_t Config::DecodeSciStopBits(uint32_t) { return UART_STOP_BIT_1; }

uint32_t Config::DecodeSciStandard(uint32_t value)
{
    switch (value) {
    case 0:
        return UART_STANDARD_RS232;
    case 1:
        return UART_STANDARD_RS422;
    default:
        return UART_STANDARD_RS485;
    }
}
