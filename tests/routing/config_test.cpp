// The configuration handler under the manual clock, with the in-memory IP
// gate: the worked example and every refusal in one ordered table, what an
// accepted message builds, the record decodings, the status message of an
// unconfigured group, and a host link coming up while a configuration is
// being stored.
#include "configapl.h"

#include <tuple>

#include "ethapl.h"
#include "ipgateapl.h"
#include "routingtest.h"
#include "standin_net.h"
#include "versionapl.h"

namespace {

class ConfigTest : public RoutingTest {
protected:
    void SetUp() override
    {
        RoutingTest::SetUp();
        StartBoard(HostClockMode::Manual);
        ConsoleOut();
    }

    // Hands a message to the handler as the router would, from `source`;
    // bytes past the message hold `stale`, as a BD used before would.
    static void Process(SOURCES_E source, const Bytes& msg, uint8_t stale = 0)
    {
        BD* bd = BdPool::Get();
        Bytes filled(LEN_BD_BUFFER, stale);
        std::copy(msg.begin(), msg.end(), filled.begin());
        bd->Copy(LEN_BD_BUFFER, filled.data());
        bd->Load(static_cast<uint32_t>(msg.size()));
        bd->Source(source);
        bd->DestPort(PORT_CONFIG);
        Config::ProcessConfigMessage(bd);
        BdPool::Put(bd);
    }

    // The status messages posted since the last call, addressing checked.
    static std::vector<Bytes> TakeStatus(SOURCES_E expectedSource)
    {
        std::vector<Bytes> out;
        while (BdMail::NumPending() > 0) {
            BD* bd = nullptr;
            BdMail::Pend(&bd);
            EXPECT_EQ(expectedSource, bd->Source());
            EXPECT_EQ(PORT_CONFIG, bd->DestPort());
            EXPECT_EQ(PORT_CONFIG, bd->SourcePort());
            EXPECT_EQ(0u, bd->DestIpAddr() + bd->SourceIpAddr());
            out.emplace_back(bd->BufferPtr(), bd->BufferPtr() + bd->Load());
            BdPool::Put(bd);
        }
        return out;
    }

    // The answer to an accepted message: MAC, version and checksum written in.
    static Bytes StatusFor(Bytes msg, uint32_t ethIndex)
    {
        Ethernet::GetMacAddr(ethIndex, 6, &msg[2]);
        const size_t s = msg.size() - 12;
        msg[s + 9] =
            static_cast<uint8_t>(AppSwVer::GetMajorDigit() << 4 | AppSwVer::GetMinorDigit());
        msg[s + 10] = AppSwVer::GetRevision();
        msg[s + 11] = Crc::Calc8bitsChecksum(static_cast<uint32_t>(s + 11), msg.data());
        return msg;
    }
};

TEST_F(ConfigTest, MessagesAreAcceptedOrRefusedWithTheirTextAndNoChange)
{
    ConfigFields badGateway;
    badGateway.gateway = {192, 168, 2, 1};
    Bytes badChecksum = workedExample();
    badChecksum.back() ^= 0x01;
    Bytes longer = workedExample();  // 43 bytes: within bounds, not 42 + 4N + 2P
    longer.insert(longer.end() - 1, 0x00);
    longer.back() = Crc::Calc8bitsChecksum(42, longer.data());
    Bytes shortMsg = workedExample();
    shortMsg.resize(41);
    ConfigFields sameAddr = group1Fields();
    sameAddr.address = {192, 168, 1, 10};
    sameAddr.gateway = {192, 168, 1, 1};
    ConfigFields sameSubnet = sameAddr;
    sameSubnet.address = {192, 168, 1, 20};
    ConfigFields sameAddrWiderMask = sameAddr;  // its subnet differs from Ethernet 0's
    sameAddrWiderMask.mask = {255, 255, 0, 0};
    // Addresses no interface can have, each with a gateway in its subnet,
    // and a mask with a hole.
    std::vector<std::pair<std::string, ConfigFields>> badAddrs;
    for (const auto& [what, addr, gateway] : {
             std::make_tuple("0.0.0.0", Bytes{0, 0, 0, 0}, Bytes{0, 0, 0, 1}),
             std::make_tuple("255.255.255.255", Bytes{255, 255, 255, 255}, Bytes{255, 255, 255, 1}),
             std::make_tuple("multicast", Bytes{224, 0, 0, 5}, Bytes{224, 0, 0, 1}),
             std::make_tuple("the subnet's own", Bytes{10, 20, 0, 0}, Bytes{10, 20, 0, 1}),
             std::make_tuple("its broadcast", Bytes{10, 20, 0, 255}, Bytes{10, 20, 0, 1}),
         }) {
        ConfigFields f = group1Fields();
        f.address = addr;
        f.gateway = gateway;
        badAddrs.emplace_back(what, f);
    }
    ConfigFields holeInMask = group1Fields();
    holeInMask.mask = {255, 0, 255, 0};
    badAddrs.emplace_back("mask 255.0.255.0", holeInMask);
    ConfigFields nineGroups = group1Fields();
    nineGroups.multicast.assign(9, Bytes{239, 0, 0, 1});
    ConfigFields notMulticast = group1Fields();
    notMulticast.multicast = {{239, 255, 255, 250}, {192, 168, 1, 1}};
    ConfigFields nineteenPorts = group1Fields();
    nineteenPorts.ports.assign(19, 3000);
    ConfigFields notMulticastAnd19Ports = nineteenPorts;  // the address is checked first
    notMulticastAnd19Ports.multicast = {{192, 168, 1, 1}};
    ConfigFields twiceAPort = group1Fields();
    twiceAPort.ports = {3000, 3001, 3000};
    ConfigFields twiceAGroup = group1Fields();
    twiceAGroup.multicast = {{239, 1, 1, 1}, {239, 2, 2, 2}, {239, 1, 1, 1}};
    ConfigFields biggest = group1Fields();  // N = 8, P = 18: 110 bytes
    for (uint8_t i = 0; i < 8; ++i) biggest.multicast.push_back({239, 255, 255, uint8_t(243 + i)});
    for (uint16_t p = 0; p < 18; ++p) biggest.ports.push_back(static_cast<uint16_t>(3000 + p));

    // A refusal prints "ERROR: <error> group <n>.", an acceptance nothing.
    struct Step {
        const char* what;
        SOURCES_E source;
        Bytes msg;
        const char* error;
        bool answered;
    };
    const char* const length = "Invalid message length on";
    const char* const addresses = "Invalid IP addresses on";
    std::vector<Step> steps = {
        {"41 bytes", SOURCE_SPI1, shortMsg, length, false},
        {"111 bytes", SOURCE_SPI1, Bytes(111, 0x96), length, false},
        {"43 bytes for N = 0, P = 0", SOURCE_SPI1, longer, length, false},
        {"checksum", SOURCE_SPI1, badChecksum, "Checksum error on", false},
        {"gateway outside", SOURCE_SPI1, badGateway.Build(), addresses, false},
        {"worked example: RS-422 on line 2", SOURCE_SPI1, workedExample(),
         "Invalid serial line standard on", false},
        {"worked example, line 2 on RS-232", SOURCE_SPI1, workedExampleOnRs232(), nullptr, true},
        {"address of Ethernet 0", SOURCE_SPI2, sameAddr.Build(), addresses, false},
        {"subnet of Ethernet 0", SOURCE_SPI2, sameSubnet.Build(), addresses, false},
        {"address of Ethernet 0, another mask", SOURCE_SPI2, sameAddrWiderMask.Build(), addresses,
         false},
        {"N = 9", SOURCE_SPI2, nineGroups.Build(), "Invalid number of multicast addresses on",
         false},
        {"192.168.1.1", SOURCE_SPI2, notMulticast.Build(), "Invalid multicast address on", false},
        {"192.168.1.1 and P = 19", SOURCE_SPI2, notMulticastAnd19Ports.Build(),
         "Invalid multicast address on", false},
        {"P = 19", SOURCE_SPI2, nineteenPorts.Build(), "Invalid number of ports on", false},
        {"a port twice", SOURCE_SPI2, twiceAPort.Build(), "Duplicate UDP port on", false},
        {"a group twice", SOURCE_SPI2, twiceAGroup.Build(), "Duplicate multicast address on",
         false},
    };
    for (const auto& [what, f] : badAddrs) {
        steps.push_back({what.c_str(), SOURCE_SPI2, f.Build(), addresses, false});
    }
    steps.push_back({"110 bytes", SOURCE_SPI2, biggest.Build(), nullptr, true});
    steps.push_back(
        {"group 0 again", SOURCE_SPI1, badGateway.Build(), "Attempt to re-configure", true});
    ASSERT_EQ(110u, biggest.Build().size());
    for (const Step& st : steps) {
        SCOPED_TRACE(st.what);
        const IpGate* before[2] = {hIpGate[0], hIpGate[1]};
        Process(st.source, st.msg);
        const bool first = st.source == SOURCE_SPI1;
        EXPECT_EQ(st.error == nullptr
                      ? ""
                      : "ERROR: " + std::string(st.error) + " group " + (first ? "0" : "1") + ".\n",
                  ConsoleOut());
        const std::vector<Bytes> status = TakeStatus(first ? SOURCE_ZOK1 : SOURCE_ZOK2);
        EXPECT_EQ(st.answered ? 1u : 0u, status.size());
        if (!st.answered) {
            EXPECT_EQ(before[0], hIpGate[0]);
            EXPECT_EQ(before[1], hIpGate[1]);
        }
    }
    EXPECT_EQ(1u, Config::IsConfigured());

    // The re-configuration was answered with the first configuration.
    Config::SendConfigStatusMessage(0);
    EXPECT_EQ(StatusFor(workedExampleOnRs232(), 0), TakeStatus(SOURCE_ZOK1).at(0));
    Config::SpiConnectionHandler(SOURCE_SPI2, LINK_UP);
    EXPECT_EQ(StatusFor(biggest.Build(), 1), TakeStatus(SOURCE_ZOK2).at(0));

    // The largest message: its 8 groups and 18 ports in message order.
    IPGATE_CONFIG_T ip{};
    hIpGate[1]->GetConfig(ip);
    EXPECT_EQ(8u, ip.numOfMultiAddrs);
    EXPECT_EQ(netAddr(239, 255, 255, 250), ip.listOfMultiAddrs[7]);
    ASSERT_EQ(18u, hIpGate[1]->GetNumOfUdpPorts());
    uint32_t index = 0;
    EXPECT_EQ(EC_SUCCESS, hIpGate[1]->GetUdpPortIndex(netPort(3017), index));
    EXPECT_EQ(17u, index);
    EXPECT_EQ(1u, hIpGate[1]->GetEthIndex());
}

TEST_F(ConfigTest, WorkedExampleBuildsTheGroupAStaleByteChangesNoAddressAndRecordsDecode)
{
    Process(SOURCE_SPI1, workedExampleOnRs232(), 0x77);
    EXPECT_EQ(StatusFor(workedExampleOnRs232(), 0), TakeStatus(SOURCE_ZOK1).at(0));
    EXPECT_EQ(0u, Config::IsConfigured());  // group 1 still waits

    IPGATE_CONFIG_T ip{};
    hIpGate[0]->GetConfig(ip);
    EXPECT_EQ(std::make_tuple(netAddr(255, 255, 255, 0), netAddr(192, 168, 1, 1),
                              netAddr(192, 168, 1, 10), 0u),
              std::make_tuple(ip.netMask, ip.gatewayIpAddr, ip.ipAddr, ip.numOfMultiAddrs));
    EXPECT_EQ(0u, hIpGate[0]->GetEthIndex());
    const uint16_t defaults[] = {2000, 2001, 2002, 2003, 2004, 2005, 2006, 2007,
                                 2008, 2009, 2012, 2013, 2014, 2015, 53300};
    ASSERT_EQ(15u, hIpGate[0]->GetNumOfUdpPorts());
    for (uint32_t i = 0; i < 15; ++i) {
        uint32_t index = 99;
        EXPECT_EQ(EC_SUCCESS, hIpGate[0]->GetUdpPortIndex(netPort(defaults[i]), index));
        EXPECT_EQ(i, index) << defaults[i];
    }
    EXPECT_EQ(nullptr, hIpGate[1]);

    // What a record decodes to, source and ACK window aside.
    const auto decoded = [](const SCIGATE_CONFIG_T& c) {
        return std::make_tuple(c.uartIndex, c.uartStandard, c.uartBaudRate, c.uartWordLength,
                               c.uartStopBits, c.uartParity, c.protType, c.bacmMaster,
                               c.protTicksRecvTimeout, c.bacmPhysicalAddr, c.rawosInterCharTimeout);
    };
    // The address is byte S + 8 for both lines, not the stale 0x77.
    const SCIGATE_CONFIG_T lines[] = {
        {SOURCE_SCI1, 1, UART_STANDARD_RS232, 115200, UART_WORD_LENGTH_8, UART_STOP_BIT_1,
         UART_PARITY_NONE, SCI_PROT_TYPE_BACM, 0, 1000, 0, 5, 0},
        {SOURCE_SCI2, 2, UART_STANDARD_RS232, 115200, UART_WORD_LENGTH_8, UART_STOP_BIT_1,
         UART_PARITY_ODD, SCI_PROT_TYPE_RAWOS, 0, 60000, 0, 5, 80},
    };
    for (uint16_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(k);
        ASSERT_NE(nullptr, hSciGate[k]);
        SCIGATE_CONFIG_T c{};
        hSciGate[k]->GetConfig(c);
        EXPECT_EQ(lines[k].source, hSciGate[k]->source);
        EXPECT_EQ(decoded(lines[k]), decoded(c));
    }
    EXPECT_EQ(200u, hSciGate[0]->bacmTicksAckWindow);
    EXPECT_EQ(nullptr, hSciGate[2]);

    struct Case {
        uint8_t b0, b1;
        uint32_t standard, protType, baud, parity, interChar8ms;
    };
    const Case cases[] = {
        {0x58, 0x29, UART_STANDARD_RS422, SCI_PROT_TYPE_RAWOS, 115200, UART_PARITY_ODD, 10},
        {0x03, 0x02, UART_STANDARD_RS232, SCI_PROT_TYPE_BACM, 28800, UART_PARITY_EVEN, 0},
        {0x86, 0x03, UART_STANDARD_RS485, SCI_PROT_TYPE_BACM, 19200, UART_PARITY_NONE, 0},
        {0xE7, 0xFC, UART_STANDARD_RS485, SCI_PROT_TYPE_BACM, 19200, UART_PARITY_NONE, 63},
        {0x31, 0x00, UART_STANDARD_RS232, SCI_PROT_TYPE_RAWOS, 9600, UART_PARITY_NONE, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.b0);
        EXPECT_EQ(c.standard,
                  Config::DecodeSciStandard((c.b0 & MASK_SCI_STANDARD) >> SHIFT_SCI_STANDARD));
        EXPECT_EQ(c.protType,
                  Config::DecodeSciProtType((c.b0 & MASK_SCI_PROT_TYPE) >> SHIFT_SCI_PROT_TYPE));
        EXPECT_EQ(c.baud, Config::DecodeSciBaudrate(c.b0 & MASK_SCI_BAUDRATE));
        EXPECT_EQ(c.parity, Config::DecodeSciParity(c.b1 & MASK_SCI_PARITY));
        EXPECT_EQ(c.interChar8ms, (c.b1 & MASK_SCI_INTERCHAR) >> SHIFT_SCI_INTERCHAR);
    }
}

TEST_F(ConfigTest, UnconfiguredStatusOnLinkUpNeverMixedWithAConfigurationAndNoGroupIsFatal)
{
    Config::SpiConnectionHandler(SOURCE_SPI2, LINK_DOWN);
    EXPECT_EQ(0u, BdMail::NumPending());
    Config::SpiConnectionHandler(SOURCE_SPI2, LINK_UP);
    Bytes unconfigured = {0x96, 0xE1};
    unconfigured.resize(42);
    const Bytes status = TakeStatus(SOURCE_ZOK2).at(0);
    EXPECT_EQ(StatusFor(unconfigured, 1), status);
    EXPECT_NE(Bytes(6, 0), Bytes(status.begin() + 2, status.begin() + 8));  // Ethernet 1's MAC
    EXPECT_EQ((Bytes{0x10, 0x00}), Bytes(status.begin() + 39, status.begin() + 41));  // v1.0.00

    ConfigFields f;
    f.ports = {2000, 2001};  // 46 bytes: another layout than the unconfigured 42
    // The link comes up while the group's gates are built: nothing stored yet.
    standin::onNextGate([] { Config::SpiConnectionHandler(SOURCE_SPI1, LINK_UP); });
    Process(SOURCE_SPI1, f.Build());
    const std::vector<Bytes> got = TakeStatus(SOURCE_ZOK1);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(StatusFor(unconfigured, 0), got[0]);  // the link's, as it was before
    EXPECT_EQ(StatusFor(f.Build(), 0), got[1]);     // the configuration's answer
    Config::SpiConnectionHandler(SOURCE_SPI1, LINK_UP);
    EXPECT_EQ(StatusFor(f.Build(), 0), TakeStatus(SOURCE_ZOK1).at(0));
    // A source outside both groups.
    EXPECT_FATAL(Config::GetConfigGroup(SOURCE_NONE), EC_FAIL, "code= -1 module= configapl.cpp");
}

}  // namespace
