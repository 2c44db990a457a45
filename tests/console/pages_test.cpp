// The console's menu as a person uses it: navigation keys, every menu text
// and counter block byte for byte (expected texts written from the formats,
// each counter a distinct number), the rules for missing gates, reset then
// zeros, and the reboot key. Keys go straight to the console's callback.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <sstream>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "configapl.h"
#include "dcstatapl.h"
#include "ethapl.h"
#include "hostboard.h"
#include "hostgpio.h"
#include "hostmcspi.h"
#include "hostnet.h"
#include "hostrtc.h"
#include "hostuart.h"
#include "ipgateapl.h"
#include "kernel.h"
#include "prototest.h"
#include "rawosapl.h"
#include "routerapl.h"
#include "scigateapl.h"

namespace {

const std::string MAIN_MENU =
    "\n*** Main Menu ***\n[1] Version\n[2] Configuration\n[3] Ethernet Statistics\n"
    "[4] SCI Statistics\n[5] SPI Statistics\n[6] Router Statistics\n[7] Other\n";
const std::string CONFIG_MENU =
    "\n*** Configuration Menu ***\n[1] SCI 1\n[2] SCI 2\n[3] SCI 3\n[4] Ethernet\n"
    "[ESC] Main page\n";
const std::string ETH_MENU =
    "\n*** Ethernet Statistics Menu ***\n[1] EMAC\n[2] IP\n[3] ICMP\n[4] UDP\n[5] UDP Ports\n"
    "[r] Reset Port Statistics\n[ESC] Main page\n";
const std::string SCI_MENU =
    "\n*** SCI Statistics Menu ***\n[1] SCI 1\n[2] SCI 2\n[3] SCI 3\n[r] Reset Statistics\n"
    "[ESC] Main page\n";
const std::string SPI_MENU =
    "\n*** SPI Statistics Menu ***\n[1] SPI 1\n[2] SPI 2\n[r] Reset Statistics\n[ESC] Main page\n";
const std::string ROUTER_MENU =
    "\n*** Router Statistics Menu ***\n[1] Statistics\n[r] Reset Statistics\n[ESC] Main page\n";
const std::string OTHER_MENU =
    "\n*** Other Menu ***\n[1] BD Pool Statistics\n[2] Heap Memory Report\n"
    "[3] NDK Memory Report\n[4] Running Time\n[5] CPU Load\n[r] Reboot\n[ESC] Main page\n";
const std::string ESC(1, 27);

// The terminal sees every line feed as CR LF.
std::string onWire(const std::string& text)
{
    std::string out;
    for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}

std::vector<uint32_t> sequence(uint32_t first, uint32_t count)
{
    std::vector<uint32_t> v(count);
    for (uint32_t i = 0; i < count; ++i) v[i] = first + i;
    return v;
}

// Fills a record of 32-bit counters with first, first + 1, ... in field order.
template <typename T>
T distinct(uint32_t first)
{
    static_assert(sizeof(T) % sizeof(uint32_t) == 0, "records of 32-bit counters only");
    T record;
    std::memcpy(&record, sequence(first, sizeof(T) / sizeof(uint32_t)).data(), sizeof(T));
    return record;
}

// A counter block as the pages print it: each label left in its column's
// field, its value right-aligned in ten characters, two spaces between the
// two counters of a line; the first `pairs` lines hold two. Labels are
// given apart by spaces; values come in reading order, missing ones zero.
struct Block {
    Block(std::string heading, size_t left, size_t right, size_t pairs, const std::string& labels)
        : heading(std::move(heading)), width{left, right}, pairs(pairs)
    {
        std::istringstream in(labels);
        for (std::string label; in >> label;) this->labels.push_back(label);
    }

    std::string Text(const std::vector<uint32_t>& values, const char* link = nullptr) const
    {
        std::string out = heading + (link != nullptr ? "Link: " + std::string(link) + "\n" : "");
        for (size_t i = 0, line = 0; i < labels.size(); ++line) {
            const size_t cells = line < pairs ? 2 : 1;
            for (size_t c = 0; c < cells; ++c, ++i) {
                char value[16];
                std::snprintf(value, sizeof value, "%10u", i < values.size() ? values[i] : 0u);
                out += labels[i] + std::string(width[c] - labels[i].size(), ' ') + value +
                       (c + 1 < cells ? "  " : "\n");
            }
        }
        return out;
    }

    std::string heading;
    size_t width[2];
    size_t pairs;
    std::vector<std::string> labels;
};

const Block UART("\nUART Statistics:\n", 21, 21, 3,
                 "BytesSent: BytesRecvd: BreakDetectedErrors: FramingErrors: ParityErrors: "
                 "OverrunErrors: RecvTimeoutErrors:");
const Block RAWOS("\nRAWoS Statistics:\n", 25, 25, 2,
                  "RecvdMessages: SentMessages: InterCharTimeout: SendMsgLengthErrors: "
                  "MaxFrameLength: RecvDataQueueFullErrors: RecvdMsgLengthErrors:");
// SentMessages and TotalReTxMsg sit one column to the left of the rest.
const Block BACM("\nBAC-M Statistics:\n", 25, 24, 2,
                 "RecvdMessages: SentMessages: RecvDataQueueFullErrors: TotalReTxMsg: "
                 "RecvdMsgLengthErrors: SendMsgLengthErrors: PacketFormatErrors: "
                 "SendMsgQueueFullErrors: CrcErrors: LoadSendMsgQueue:");
const Block BPPOS("\nBPPoS Statistics:\n", 25, 25, 3,
                  "RecvdMessages: SentMessages: RecvDataQueueFullErrors: SendDataQueueFullErrors: "
                  "RecvdMsgLengthErrors: SendMsgLengthErrors: PacketFormatErrors: CrcErrors:");

// Below a gate's counters: its messages the router mailbox refused.
std::string mailboxDrops(uint32_t n)
{
    return Block("", 25, 25, 0, "MailboxFullErrors:").Text({n});
}

class PagesTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        FirmwareTest::SetUp();
        dcInit();
        // The menu outlives a kernel reset: home, as at start-up (its last key is ESC then too).
        (void)Keys(ESC);
    }

    // The console output of a sequence of keys.
    static std::string Keys(const std::string& keys)
    {
        for (char k : keys) dcHandleKey(static_cast<uint8_t>(k));
        return consoleText();
    }
};

TEST_F(PagesTest, NavigationVersionOtherPageAndReboot)
{
    struct Step {
        std::string keys;
        std::string expected;
    };
    const Step steps[] = {
        {" ", MAIN_MENU},    // repeat right after start: home
        {"2", CONFIG_MENU},  // opens the configuration page
        {" ", CONFIG_MENU},  // key 2 again there: no line 2
        {"x", MAIN_MENU},    // back one level
        {"x", MAIN_MENU},    // back on the root
        {ESC, MAIN_MENU},    // home on the root
        {"8", MAIN_MENU},    // not a main menu key
        {"a", MAIN_MENU},
        {"7", OTHER_MENU},
        {"q", OTHER_MENU},  // unhandled: the menu again ...
        {" ", OTHER_MENU},  // ... and it is what space repeats
        {"X", OTHER_MENU},  // upper case is an ordinary key
        {ESC, MAIN_MENU},
        {" ", MAIN_MENU},  // ESC repeated
        {"3" + ESC + "4" + ESC + "5x6x", ETH_MENU + MAIN_MENU + SCI_MENU + MAIN_MENU + SPI_MENU +
                                             MAIN_MENU + ROUTER_MENU + MAIN_MENU},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.keys);
        EXPECT_EQ(onWire(s.expected), Keys(s.keys));
    }

    BdPool::Init();
    BD* taken[3] = {BdPool::Get(), BdPool::Get(), BdPool::Get()};
    EXPECT_EQ(onWire("\nApplication Software for ZOK2/AM437x\nv1.0.00_beta4 2018-03-27\n"
                     "(c) ZOK2 Communication Systems. All rights reserved.\n"),
              Keys("1"));
    const auto pool = [](const char* free) {
        return "\nBD Pool Statistics:\nTotal number of BDs: 128\nNumber of free BDs:  " +
               std::string(free) + "\nBD capacity:         1468\n";
    };
    EXPECT_EQ(onWire(OTHER_MENU + pool("125")), Keys("71"));
    for (BD* bd : taken) BdPool::Put(bd);
    EXPECT_EQ(onWire(pool("128")), Keys(" "));
    EXPECT_EQ(onWire(pool("128")), Keys(" "));  // the repeated key, not the space, is repeated

    xdc_runtime_Memory_Stats heap;
    xdc_runtime_Memory_getStats(&heap);
    const std::string heapText =
        "\nHeap Memory Report:\nTotal size:        " + std::to_string(heap.totalSize) +
        "\nTotal free size:   " + std::to_string(heap.totalFreeSize) +
        "\nLargest free size: " + std::to_string(heap.largestFreeSize) + "\n";
    EXPECT_NE(heap.totalSize, heap.totalFreeSize);  // the console's own objects are on it
    EXPECT_EQ(onWire(heapText), Keys("2"));

    ti_sysbios_hal_Seconds_set(90061);
    EXPECT_EQ(onWire("0 years, 0 months, 1 days, 1 hours, 1 minutes and 1 seconds\n"), Keys("4"));
    EXPECT_EQ(onWire("CPU load: 0%\n"), Keys("5"));

    EXPECT_FATAL(Keys("r"), EC_FAIL,
                 "\r\nFATAL ERROR: code= -1 module= dcmenuapl.cpp file= dcmenuapl.cpp line= ");
}

TEST_F(PagesTest, CounterBlocksByteForByteAndTheSpiPage)
{
    dcPrintUartStats(distinct<UARTDRV_STATS_T>(11));
    EXPECT_EQ(onWire(UART.Text(sequence(11, 7))), consoleText());

    RAWOS_STATS_T rawos = distinct<RAWOS_STATS_T>(20);
    rawos.linkActivity = LINK_UP;
    dcPrintRawosStats(rawos);
    EXPECT_EQ(onWire(RAWOS.Text({22, 21, 23, 27, 24, 25, 26}, "UP")), consoleText());

    BACM_STATS_T bacm = distinct<BACM_STATS_T>(30);
    bacm.linkActivity = LINK_DOWN;
    dcPrintBacmStats(bacm);
    EXPECT_EQ(onWire(BACM.Text({32, 31, 33, 39, 36, 37, 34, 38, 35, 40}, "DOWN")), consoleText());

    const uint32_t big = 4294967287u;
    BPPOS_STATS_T bppos = distinct<BPPOS_STATS_T>(big);
    bppos.linkActivity = 2;  // anything but LINK_UP reads as down
    dcPrintBpposStats(bppos);
    EXPECT_EQ(
        onWire(BPPOS.Text({big + 2, big + 1, big + 3, big + 8, big + 6, big + 7, big + 4, big + 5},
                          "DOWN")),
        consoleText());

    dcPrintEmacStats(distinct<EMAC_STATISTICS_T>(100));
    const Block emac(
        "", 19, 19, 13,
        "RxGoodFrames: TxGoodFrames: RxOctets: TxOctets: RxBCastFrames: TxBCastFrames: "
        "RxMCastFrames: TxMCastFrames: RxPauseFrames: TxPauseFrames: RxCRCErrors: TxDeferred: "
        "RxAlignCodeErrors: TxCollision: RxOversized: TxSingleColl: RxJabber: TxMultiColl: "
        "RxUndersized: TxExcessiveColl: RxSOFOverruns: TxLateColl: RxMOFOverruns: TxUnderrun: "
        "RxDMAOverruns: TxCarrierSLoss: RxFragments: RxFiltered: RxQOSFiltered: NetOctets:");
    EXPECT_EQ(onWire(emac.Text(sequence(100, 30))), consoleText());

    dcPrintIpStats(distinct<IPSTATS>(200));
    const Block ip("\nIP Statistics:\n", 15, 15, 13,
                   "TotalRecvd: Odropped: Badsum: Badhlen: Badlen: Badoptions: Badvers: Forward: "
                   "Noproto: Delivered: Cantforward: CantforwardBA: Expired: Redirectsent: "
                   "Localout: Localnoroute: CacheHit: CacheMiss: Fragments: Fragdropped: "
                   "Fragtimeout: Reassembled: Ofragments: Fragmented: Cantfrag: Filtered:");
    EXPECT_EQ(onWire(ip.Text(sequence(200, 26))), consoleText());

    // Errors 1 and 2, then by type: in 3 + type, out 22 + type.
    dcPrintIcmpStats(distinct<ICMPSTATS>(1));
    std::istringstream names(
        "Echo: EchoReply: Tstamp: TstampReply: IReq: IReqReply: MaskReq: MaskReplY: DestUnreach: "
        "SourceQuench: Redirect: RouterAdvert: RouterSolicit: TimXceed: ParamProb:");
    std::string labels = "RxICMPErrors: TxICMPErrors:";
    std::vector<uint32_t> values = {1, 2};
    for (uint32_t type : {8, 0, 13, 14, 15, 16, 17, 18, 3, 4, 5, 9, 10, 11, 12}) {
        std::string name;
        names >> name;
        labels += " Rx" + name + " Tx" + name;
        values.insert(values.end(), {3 + type, 3 + ICMP_NUM_TYPES + type});
    }
    EXPECT_EQ(onWire(Block("\nICMP Statistics:\n", 17, 17, 16, labels).Text(values)),
              consoleText());

    dcPrintUdpStats(distinct<UDPSTATS>(500));
    const Block udp("\nUDP Statistics:\n", 13, 14, 2,
                    "RecvTotal: SendTotal: RecvShort: SendNoPacket: RecvBadLen: RecvBadSum: "
                    "RecvFull: RecvNoPort: RecvNoPortB:");
    EXPECT_EQ(onWire(udp.Text({500, 507, 501, 508, 502, 503, 504, 505, 506})), consoleText());
    // The page reads the stack model's live counters with these printers.
    EXPECT_EQ(0u, Keys("3").find(onWire(ETH_MENU)));
    const char* const headings[] = {"EMAC", "IP", "ICMP", "UDP"};
    for (char key = '1'; key <= '4'; ++key) {
        const std::string heading = headings[key - '1'];
        EXPECT_EQ(0u, Keys(std::string(1, key)).find("\r\n" + heading + " Statistics:\r\n"))
            << heading;
    }

    // The SPI page: nothing for a missing link, zeros after a reset.
    EXPECT_EQ(onWire(MAIN_MENU + SPI_MENU), Keys(ESC + "5"));
    EXPECT_EQ("", Keys("1"));  // no gate: nothing, not even the menu
    EXPECT_EQ("", Keys("2"));

    hostMcspiReset(false);
    hostHeapRouteNew(true);
    Config::Init();
    hostHeapRouteNew(false);
    // A unit with a stray byte after DLE, then one with a wrong CRC.
    const uint8_t bad[] = {0x10, 0x02, 'a', 0x10, 'z', 0x10, 0x02, 'b', 0x10, 0x03, 0x00};
    BPPoS& link2 = *static_cast<BPPoS*>(hSpiGate[1]->protHandle);
    for (uint8_t b : bad) link2.RxDataHandler(b);
    link2.WorkerCycle();

    EXPECT_EQ(onWire(BPPOS.Text({}, "DOWN") + mailboxDrops(0)), Keys("1"));
    EXPECT_EQ(onWire(BPPOS.Text({0, 0, 0, 0, 0, 0, 1, 1}, "DOWN") + mailboxDrops(0)), Keys("2"));
    EXPECT_EQ(onWire(SPI_MENU), Keys("r"));
    EXPECT_EQ(onWire(BPPOS.Text({}, "DOWN") + mailboxDrops(0)), Keys("2"));
}

// A port number (network order) free on 127.0.0.1 right now.
uint16_t freePort()
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{AF_INET, 0, {inet_addr("127.0.0.1")}, {}};
    socklen_t len = sizeof sa;
    bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    close(fd);
    return sa.sin_port;
}

// Pages that read the gates: serial lines built as the configuration
// builds them, an IP gate on loopback.
class GatePagesTest : public PagesTest {
protected:
    void SetUp() override
    {
        hostUartReset();
        hostGpioReset();
        PagesTest::SetUp();
        BdPool::Init();
        hostHeapRouteNew(true);
        BdMail::Init();
        hostHeapRouteNew(false);
    }
};

TEST_F(GatePagesTest, SerialLinesRouterBeforeConfigurationEthernetAndStackMemory)
{
    hostHeapRouteNew(true);
    hSciGate[0] = new SciGate(SCIGATE_CONFIG_T{
        SOURCE_SCI1, 1, UART_STANDARD_RS232, 115200, UART_WORD_LENGTH_8, UART_STOP_BIT_1,
        UART_PARITY_NONE, SCI_PROT_TYPE_BACM, 1, 1000, 200, 5, 0});
    hSciGate[1] = new SciGate(SCIGATE_CONFIG_T{
        SOURCE_SCI2, 3, UART_STANDARD_RS485, 19200, UART_WORD_LENGTH_8, 4 /* two stop bits */,
        UART_PARITY_EVEN, SCI_PROT_TYPE_RAWOS, 0, 60000, 0, 0, 80});
    hostHeapRouteNew(false);
    consoleText();

    EXPECT_EQ(onWire(CONFIG_MENU +
                     "\nUART index:        1\nInterface:         RS232\n"
                     "Baud rate:         115200\nWord length:       8\nStop bits:         1\n"
                     "Parity:            NONE\nProtocol type:     BAC-M\n"
                     "Role:              MASTER\nPhysical address:  5\n"
                     "ACK Tx window:     200\nReception timeout: 1000\n"),
              Keys("21"));
    // Two stop bits: no stop-bits line at all.
    EXPECT_EQ(onWire("\nUART index:        3\nInterface:         RS485\n"
                     "Baud rate:         19200\nWord length:       8\n"
                     "Parity:            EVEN\nProtocol type:     RAWoS\n"
                     "Interchar timeout: 80\nReception timeout: 60000\n"),
              Keys("2"));
    EXPECT_EQ(onWire(CONFIG_MENU), Keys("3"));  // line 3 not configured

    // A five-byte message on the RAWoS line, ended by the silence.
    for (uint8_t b : {'h', 'e', 'l', 'l', 'o'}) hostUartRxFifoPut(3, b);
    hSciGate[1]->uartHandle->Cycle();
    for (uint32_t t = 0; t <= 100; t += 10) {
        hostClockAdvance(10);
        static_cast<RAWoS*>(hSciGate[1]->protHandle)->WorkerCycle();
    }

    // A message of line 2 that finds the router mailbox full is counted
    // with its gate.
    while (BdMail::NumPending() < BdMail::NUM_MAILBOX_ITENS)
        ASSERT_EQ(EC_SUCCESS, BdMail::Post(BdPool::Get()));
    BD* refused = BdPool::Get();
    refused->Source(SOURCE_SCI2);
    SciGate::RecvMessageHandler(refused);
    EXPECT_EQ(onWire(MAIN_MENU + SCI_MENU + UART.Text({0, 5}) + RAWOS.Text({1, 0, 1}, "UP") +
                     mailboxDrops(1)),
              Keys("x42"));  // the silence that ended the message counted
    EXPECT_EQ(onWire(UART.Text({}) + BACM.Text({}, "DOWN") + mailboxDrops(0)), Keys("1"));
    EXPECT_EQ(onWire(SCI_MENU), Keys("3"));
    EXPECT_EQ(onWire(SCI_MENU + UART.Text({}) + RAWOS.Text({}, "UP") + mailboxDrops(0)),
              Keys("r2"));

    // The router, still configuring.
    const std::string stats =
        Block("\nRouter Statistics:\nState:             Configuration\n", 22, 22, 0,
              "MsgsToRoute: MsgFormatErrors: UnknownUdpPortErrors: SendRefusedErrors:")
            .Text({});
    EXPECT_EQ(onWire(MAIN_MENU + ROUTER_MENU + stats), Keys("x61"));
    EXPECT_EQ(onWire(ROUTER_MENU + stats), Keys("r1"));

    // The Ethernet pages.
    hostNetReset();
    hostBoardConfig().eth[0] = "lo";
    hostBoardConfig().eth[1] = "lo";
    Ethernet::Init();
    fdOpenSession(ti_sysbios_knl_Task_self());
    EXPECT_EQ(onWire(MAIN_MENU + CONFIG_MENU + CONFIG_MENU), Keys("x24"));  // no IP gate yet
    EXPECT_EQ(onWire(MAIN_MENU + ETH_MENU + ETH_MENU), Keys("x35"));

    hostHeapRouteNew(true);
    hIpGate[1] = new IpGate(IPGATE_CONFIG_T{
        SOURCE_ETH1, 1, inet_addr("255.0.0.0"), inet_addr("127.0.0.1"), inet_addr("127.0.0.2"), 2,
        inet_addr("239.255.77.1"), inet_addr("239.1.2.3")});  // the two groups
    hostHeapRouteNew(false);
    const uint16_t ports[2] = {freePort(), freePort()};
    for (uint16_t p : ports) hIpGate[1]->OpenUdpPort(p);
    // Two datagrams out of the second port, to the port itself.
    BD* bd = BdPool::Get();
    bd->DestIpAddr(inet_addr("127.0.0.1"));
    bd->DestPort(ports[1]);
    bd->Load(1);
    for (int i = 0; i < 2; ++i) ASSERT_EQ(EC_SUCCESS, hIpGate[1]->SendUdp(bd));
    BdPool::Put(bd);
    consoleText();

    const auto row = [](uint16_t port, int sent) {
        char line[80];
        std::snprintf(line, sizeof line, "%5d %10d %10d %10d %10d %10d %10d\n", ntohs(port), 0, 0,
                      0, sent, 0, 0);
        return std::string(line);
    };
    const std::string heading =
        "\n127.0.0.1:\n"
        " Port  NumRxMsgs  NumRxErrs  LastRxErr  NumTxMsgs  NumTxErrs  LastTxErr\n";
    // The mailbox is still full: a datagram of Ethernet 1 is counted with its gate.
    BD* datagram = BdPool::Get();
    datagram->Source(SOURCE_ETH1);
    IpGate::RecvMessageHandler(datagram);
    EXPECT_EQ(onWire(heading + row(ports[0], 0) + row(ports[1], 2) + mailboxDrops(1)), Keys("5"));
    EXPECT_EQ(onWire(ETH_MENU + heading + row(ports[0], 0) + row(ports[1], 0) + mailboxDrops(0)),
              Keys("r5"));

    EXPECT_EQ(onWire(MAIN_MENU + OTHER_MENU +
                     "\nNDK Memory Report:\n"
                     "2 sockets: 2 bound, 4 group members\n"
                     "2 packet buffers of 65536 bytes: 0 held by readers\n"
                     "0 blocks from mmAlloc\n"),
              Keys("x73"));
    const uint8_t mac[6] = {0x0A, 0xB1, 0x02, 0xC3, 0x00, 0xFF};
    hostCtrlSetMac(1, mac);
    // Loopback: no speed of its own, up, as a 100 Mbit/s full-duplex PHY.
    uint16_t mtu = 0;  // the host's own loopback MTU
    ASSERT_EQ(EC_SUCCESS, Ethernet::GetDeviceMtu(1, mtu));
    EXPECT_EQ(onWire(MAIN_MENU + CONFIG_MENU +
                     "\nInterface:   lo\nMAC address: A:B1:2:C3:0:FF\nMTU:         " +
                     std::to_string(mtu) +
                     " bytes\n"
                     "Speed Mode:  Auto-negotiation\nLink Status: Full Duplex 100Mbps\n"
                     "IP address:  127.0.0.1\nNetMask:     255.0.0.0\nGateway:     127.0.0.2\n"
                     "Multicast:   239.255.77.1 239.1.2.3\n"),
              Keys("x24"));
    // A PHY set by hand: auto-negotiation off, each speed, both speed bits.
    struct Phy {
        int32_t control;
        const char* shown;
    };
    const Phy phys[] = {
        {0x2100, "Speed Mode:  FD-100\nLink Status: Full Duplex 100Mbps\n"},
        {0x0040, "Speed Mode:  HD-1000\nLink Status: Unknown\n"},  // half duplex at 1000
        {0x2040, "Speed Mode:  HD-10\nLink Status: Unknown\n"},    // both bits: no speed
        {0x0000, "Speed Mode:  HD-10\nLink Status: Half Duplex 10Mbps\n"},
    };
    for (const Phy& phy : phys) {
        hostPhySetControl(1, phy.control);
        const std::string page = Keys("4");
        EXPECT_NE(std::string::npos, page.find(onWire(phy.shown))) << page;
    }
}

}  // namespace
