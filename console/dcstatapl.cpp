// Statistics pages of the console; see dcstatapl.h. The labels and their
// widths are what users and their scripts read, kept byte for byte, odd
// widths included.
#include "dcstatapl.h"

#include "configapl.h"
#include "dcapl.h"
#include "ipgateapl.h"
#include "routerapl.h"
#include "scigateapl.h"

// Index of a network stack's MAC port shown on the Ethernet page.
static const uint32_t EMAC_PORT_SHOWN = 0;
// routerState of the router's steady loop; any other is configuration.
static const uint32_t ROUTER_STEADY = 1;
// Below a gate's counters: its received messages the router mailbox refused.
static const char MAILBOX_DROPS_FORMAT[] = "MailboxFullErrors:       %10u\n";

// One line of a counter block: a left counter and, unless rightLabel is
// null, a right one. Labels carry their colon.
struct COUNTER_LINE_T {
    const char* leftLabel;
    uint32_t leftValue;
    const char* rightLabel;
    uint32_t rightValue;
};

// A block's formats: a line's left counter, its right one, and a counter
// alone on its line. The console pads a %s label on the right, so each width
// is the label's column.
struct COUNTER_LAYOUT_T {
    const char* left;
    const char* right;
    const char* single;
};

static const COUNTER_LAYOUT_T UART_LAYOUT = {"%21s%10u  ", "%21s%10u\n", "%21s%10u\n"};
static const COUNTER_LAYOUT_T PROTOCOL_LAYOUT = {"%25s%10u  ", "%25s%10u\n", "%25s%10u\n"};
// Its right column one narrower than the rest of the block, as it has always been.
static const COUNTER_LAYOUT_T BACM_LAYOUT = {"%25s%10u  ", "%24s%10u\n", "%25s%10u\n"};
static const COUNTER_LAYOUT_T EMAC_LAYOUT = {"%19s%10u  ", "%19s%10u\n", "%19s%10u\n"};
static const COUNTER_LAYOUT_T IP_LAYOUT = {"%15s%10u  ", "%15s%10u\n", "%15s%10u\n"};
static const COUNTER_LAYOUT_T ICMP_ERRORS_LAYOUT = {"%17s%10u  ", "%17s%10u\n", "%17s%10u\n"};
// One name for both directions of an ICMP message type.
static const COUNTER_LAYOUT_T ICMP_TYPE_LAYOUT = {"Rx%15s%10u  ", "Tx%15s%10u\n", "Rx%15s%10u\n"};
static const COUNTER_LAYOUT_T UDP_LAYOUT = {"%13s%10u  ", "%14s%10u\n", "%13s%10u\n"};
static const COUNTER_LAYOUT_T ROUTER_LAYOUT = {"%22s%10u  ", "%22s%10u\n", "%22s%10u\n"};

static void printCounterLines(const COUNTER_LINE_T* lines, uint32_t count,
                              const COUNTER_LAYOUT_T& layout)
{
    for (uint32_t i = 0; i < count; ++i) {
        const COUNTER_LINE_T& l = lines[i];
        if (l.rightLabel == nullptr) {
            dcPrintf(layout.single, l.leftLabel, l.leftValue);
        } else {
            dcPrintf(layout.left, l.leftLabel, l.leftValue);
            dcPrintf(layout.right, l.rightLabel, l.rightValue);
        }
    }
}

template <uint32_t N>
static void printCounters(const COUNTER_LINE_T (&lines)[N], const COUNTER_LAYOUT_T& layout)
{
    printCounterLines(lines, N, layout);
}

// A protocol's block opens with its title and the state of its link.
static void printProtocolHeading(const char* title, uint32_t linkActivity)
{
    dcPrint(title);
    dcPrintf("Link: %s\n", linkActivity == LINK_UP ? "UP" : "DOWN");
}

void dcPrintUartStats(const UARTDRV_STATS_T& s)
{
    dcPrint("\nUART Statistics:\n");
    const COUNTER_LINE_T lines[] = {
        {"BytesSent:", s.numOfBytesSent, "BytesRecvd:", s.numOfBytesRecvd},
        {"BreakDetectedErrors:", s.numOfBreakDetectedErrors,
         "FramingErrors:", s.numOfFramingErrors},
        {"ParityErrors:", s.numOfParityErrors, "OverrunErrors:", s.numOfOverrunErrors},
        {"RecvTimeoutErrors:", s.numOfRecvTimeoutErrors, nullptr, 0},
    };
    printCounters(lines, UART_LAYOUT);
}

void dcPrintRawosStats(const RAWOS_STATS_T& s)
{
    printProtocolHeading("\nRAWoS Statistics:\n", s.linkActivity);
    const COUNTER_LINE_T lines[] = {
        {"RecvdMessages:", s.numOfRecvdMessages, "SentMessages:", s.numOfSentMessages},
        {"InterCharTimeout:", s.numOfInterCharTimeout,
         "SendMsgLengthErrors:", s.numOfSendMsgLengthErrors},
        {"MaxFrameLength:", s.numOfMaxFrameLength, nullptr, 0},
        {"RecvDataQueueFullErrors:", s.numOfRecvDataQueueFullErrors, nullptr, 0},
        {"RecvdMsgLengthErrors:", s.numOfRecvdMsgLengthErrors, nullptr, 0},
    };
    printCounters(lines, PROTOCOL_LAYOUT);
}

void dcPrintBacmStats(const BACM_STATS_T& s)
{
    printProtocolHeading("\nBAC-M Statistics:\n", s.linkActivity);
    const COUNTER_LINE_T lines[] = {
        {"RecvdMessages:", s.numOfRecvdMessages, "SentMessages:", s.numOfSentMessages},
        {"RecvDataQueueFullErrors:", s.numOfRecvDataQueueFullErrors,
         "TotalReTxMsg:", s.numTotalReTxMsg},
        {"RecvdMsgLengthErrors:", s.numOfRecvdMsgLengthErrors, nullptr, 0},
        {"SendMsgLengthErrors:", s.numOfSendMsgLengthErrors, nullptr, 0},
        {"PacketFormatErrors:", s.numOfPacketFormatErrors, nullptr, 0},
        {"SendMsgQueueFullErrors:", s.numOfSendMsgQueueFullErrors, nullptr, 0},
        {"CrcErrors:", s.numOfCrcErrors, nullptr, 0},
        {"LoadSendMsgQueue:", s.loadSendMsgQueue, nullptr, 0},
    };
    printCounters(lines, BACM_LAYOUT);
}

void dcPrintBpposStats(const BPPOS_STATS_T& s)
{
    printProtocolHeading("\nBPPoS Statistics:\n", s.linkActivity);
    const COUNTER_LINE_T lines[] = {
        {"RecvdMessages:", s.numOfRecvdMessages, "SentMessages:", s.numOfSentMessages},
        {"RecvDataQueueFullErrors:", s.numOfRecvDataQueueFullErrors,
         "SendDataQueueFullErrors:", s.numOfSendDataQueueFullErrors},
        {"RecvdMsgLengthErrors:", s.numOfRecvdMsgLengthErrors,
         "SendMsgLengthErrors:", s.numOfSendMsgLengthErrors},
        {"PacketFormatErrors:", s.numOfPacketFormatErrors, nullptr, 0},
        {"CrcErrors:", s.numOfCrcErrors, nullptr, 0},
    };
    printCounters(lines, PROTOCOL_LAYOUT);
}

void dcPrintEmacStats(const EMAC_STATISTICS_T& s)
{
    const COUNTER_LINE_T lines[] = {
        {"RxGoodFrames:", s.RxGoodFrames, "TxGoodFrames:", s.TxGoodFrames},
        {"RxOctets:", s.RxOctets, "TxOctets:", s.TxOctets},
        {"RxBCastFrames:", s.RxBCastFrames, "TxBCastFrames:", s.TxBCastFrames},
        {"RxMCastFrames:", s.RxMCastFrames, "TxMCastFrames:", s.TxMCastFrames},
        {"RxPauseFrames:", s.RxPauseFrames, "TxPauseFrames:", s.TxPauseFrames},
        {"RxCRCErrors:", s.RxCRCErrors, "TxDeferred:", s.TxDeferred},
        {"RxAlignCodeErrors:", s.RxAlignCodeErrors, "TxCollision:", s.TxCollision},
        {"RxOversized:", s.RxOversized, "TxSingleColl:", s.TxSingleColl},
        {"RxJabber:", s.RxJabber, "TxMultiColl:", s.TxMultiColl},
        {"RxUndersized:", s.RxUndersized, "TxExcessiveColl:", s.TxExcessiveColl},
        {"RxSOFOverruns:", s.RxSOFOverruns, "TxLateColl:", s.TxLateColl},
        {"RxMOFOverruns:", s.RxMOFOverruns, "TxUnderrun:", s.TxUnderrun},
        {"RxDMAOverruns:", s.RxDMAOverruns, "TxCarrierSLoss:", s.TxCarrierSLoss},
        {"RxFragments:", s.RxFragments, nullptr, 0},
        {"RxFiltered:", s.RxFiltered, nullptr, 0},
        {"RxQOSFiltered:", s.RxQOSFiltered, nullptr, 0},
        {"NetOctets:", s.NetOctets, nullptr, 0},
    };
    printCounters(lines, EMAC_LAYOUT);
}

void dcPrintIpStats(const IPSTATS& s)
{
    dcPrint("\nIP Statistics:\n");
    const COUNTER_LINE_T lines[] = {
        {"TotalRecvd:", s.Total, "Odropped:", s.Odropped},
        {"Badsum:", s.Badsum, "Badhlen:", s.Badhlen},
        {"Badlen:", s.Badlen, "Badoptions:", s.Badoptions},
        {"Badvers:", s.Badvers, "Forward:", s.Forward},
        {"Noproto:", s.Noproto, "Delivered:", s.Delivered},
        {"Cantforward:", s.Cantforward, "CantforwardBA:", s.CantforwardBA},
        {"Expired:", s.Expired, "Redirectsent:", s.Redirectsent},
        {"Localout:", s.Localout, "Localnoroute:", s.Localnoroute},
        {"CacheHit:", s.CacheHit, "CacheMiss:", s.CacheMiss},
        {"Fragments:", s.Fragments, "Fragdropped:", s.Fragdropped},
        {"Fragtimeout:", s.Fragtimeout, "Reassembled:", s.Reassembled},
        {"Ofragments:", s.Ofragments, "Fragmented:", s.Fragmented},
        {"Cantfrag:", s.Cantfrag, "Filtered:", s.Filtered},
    };
    printCounters(lines, IP_LAYOUT);
}

void dcPrintIcmpStats(const ICMPSTATS& s)
{
    // Names by ICMP message type, in the order of the page; "MaskReplY" is
    // spelled as it always has been.
    struct ICMP_TYPE_T {
        const char* name;
        uint32_t type;
    };
    static const ICMP_TYPE_T icmpTypes[] = {
        {"Echo:", 8},           {"EchoReply:", 0},    {"Tstamp:", 13},    {"TstampReply:", 14},
        {"IReq:", 15},          {"IReqReply:", 16},   {"MaskReq:", 17},   {"MaskReplY:", 18},
        {"DestUnreach:", 3},    {"SourceQuench:", 4}, {"Redirect:", 5},   {"RouterAdvert:", 9},
        {"RouterSolicit:", 10}, {"TimXceed:", 11},    {"ParamProb:", 12},
    };
    dcPrint("\nICMP Statistics:\n");
    const COUNTER_LINE_T errors[] = {
        {"RxICMPErrors:", s.ICMPInErrors, "TxICMPErrors:", s.ICMPOutErrors},
    };
    printCounters(errors, ICMP_ERRORS_LAYOUT);
    for (const ICMP_TYPE_T& t : icmpTypes) {
        const COUNTER_LINE_T line[] = {{t.name, s.ICMPIn[t.type], t.name, s.ICMPOut[t.type]}};
        printCounters(line, ICMP_TYPE_LAYOUT);
    }
}

void dcPrintUdpStats(const UDPSTATS& s)
{
    dcPrint("\nUDP Statistics:\n");
    const COUNTER_LINE_T lines[] = {
        {"RecvTotal:", s.RcvTotal, "SendTotal:", s.SndTotal},
        {"RecvShort:", s.RcvShort, "SendNoPacket:", s.SndNoPacket},
        {"RecvBadLen:", s.RcvBadLen, nullptr, 0},
        {"RecvBadSum:", s.RcvBadSum, nullptr, 0},
        {"RecvFull:", s.RcvFull, nullptr, 0},
        {"RecvNoPort:", s.RcvNoPort, nullptr, 0},
        {"RecvNoPortB:", s.RcvNoPortB, nullptr, 0},
    };
    printCounters(lines, UDP_LAYOUT);
}

// The open ports of each IP gate with their counters.
static ERROR_CODES_E dcPrintUdpPorts()
{
    ERROR_CODES_E result = EC_FAIL;
    for (const IpGate* gate : hIpGate) {
        if (gate == nullptr) {
            continue;
        }
        result = EC_SUCCESS;
        const uint32_t ipAddr = gate->GetIpAddr();
        char text[NDK_INET_ADDRSTRLEN];
        (void)NDK_inet_ntop(NDK_AF_INET, &ipAddr, text, sizeof text);  // an address always fits
        dcPrintf("\n%s:\n", text);
        dcPrint(" Port  NumRxMsgs  NumRxErrs  LastRxErr  NumTxMsgs  NumTxErrs  LastTxErr\n");
        const uint32_t numOfPorts = gate->GetNumOfUdpPorts();
        for (uint32_t i = 0; i < numOfPorts; ++i) {
            UDP_STATS_T s;
            gate->GetStatsUdpPort(i, s);
            if (s.socketState != SOCKET_OPENED) {
                continue;
            }
            const uint16_t port = static_cast<uint16_t>((s.localPort >> 8) | (s.localPort << 8));
            dcPrintf(
                "%5d %10d %10d %10d %10d %10d %10d\n", static_cast<int32_t>(port),
                static_cast<int32_t>(s.numOfRecvdMessages), static_cast<int32_t>(s.numOfRecvErrors),
                static_cast<int32_t>(s.lastRecvError), static_cast<int32_t>(s.numOfSentMessages),
                static_cast<int32_t>(s.numOfSendErrors), static_cast<int32_t>(s.lastSendError));
        }
        dcPrintf(MAILBOX_DROPS_FORMAT, gate->GetNumOfMailboxDrops());
    }
    return result;
}

ERROR_CODES_E dcEthStatPageWorker(char key)
{
    switch (key) {
    case '1': {
        dcPrint("\nEMAC Statistics:\n");
        EMAC_STATISTICS_T emac;
        if (emac_get_statistics(EMAC_PORT_SHOWN, &emac) == 0) {
            dcPrintEmacStats(emac);
        }
        return EC_SUCCESS;
    }
    case '2': {
        IPSTATS ip;
        NDK_getIpStats(&ip);
        dcPrintIpStats(ip);
        return EC_SUCCESS;
    }
    case '3': {
        ICMPSTATS icmp;
        NDK_getIcmpStats(&icmp);
        dcPrintIcmpStats(icmp);
        return EC_SUCCESS;
    }
    case '4': {
        UDPSTATS udp;
        NDK_getUdpStats(&udp);
        dcPrintUdpStats(udp);
        return EC_SUCCESS;
    }
    case '5':
        return dcPrintUdpPorts();
    case 'r':
        for (IpGate* gate : hIpGate) {
            if (gate != nullptr) {
                gate->ResetStatsUdp();
            }
        }
        return EC_FAIL;
    default:
        return EC_FAIL;
    }
}

ERROR_CODES_E dcSciStatPageWorker(char key)
{
    if (key == 'r') {
        for (SciGate* gate : hSciGate) {
            if (gate != nullptr) {
                gate->ResetStats();
            }
        }
        return EC_FAIL;
    }
    if (key < '1' || key > '3') {
        return EC_FAIL;
    }
    SciGate* const gate = hSciGate[key - '1'];
    if (gate == nullptr) {
        return EC_FAIL;  // line not configured: the menu again
    }
    UARTDRV_STATS_T uart;
    gate->GetUartStats(reinterpret_cast<uint8_t*>(&uart));
    dcPrintUartStats(uart);
    if (gate->GetProtType() == SCI_PROT_TYPE_RAWOS) {
        RAWOS_STATS_T rawos;
        gate->GetProtStats(reinterpret_cast<uint8_t*>(&rawos));
        dcPrintRawosStats(rawos);
    } else {
        BACM_STATS_T bacm;
        gate->GetProtStats(reinterpret_cast<uint8_t*>(&bacm));
        dcPrintBacmStats(bacm);
    }
    dcPrintf(MAILBOX_DROPS_FORMAT, gate->GetNumOfMailboxDrops());
    return EC_SUCCESS;
}

ERROR_CODES_E dcSpiStatPageWorker(char key)
{
    if (key == 'r') {
        for (SpiGate* gate : hSpiGate) {
            if (gate != nullptr) {
                gate->ResetStats();
            }
        }
        return EC_FAIL;
    }
    if (key != '1' && key != '2') {
        return EC_FAIL;
    }
    SpiGate* const gate = hSpiGate[key - '1'];
    // Unlike the serial lines, a missing link prints nothing at all.
    if (gate != nullptr) {
        BPPOS_STATS_T stats;
        gate->GetProtStats(reinterpret_cast<uint8_t*>(&stats));
        dcPrintBpposStats(stats);
        dcPrintf(MAILBOX_DROPS_FORMAT, gate->GetNumOfMailboxDrops());
    }
    return EC_SUCCESS;
}

ERROR_CODES_E dcRouterStatPageWorker(char key)
{
    if (key == 'r') {
        Router::ResetStats();
        return EC_FAIL;
    }
    if (key != '1') {
        return EC_FAIL;
    }
    ROUTER_STATS_T stats;
    Router::GetStats(stats);
    dcPrint("\nRouter Statistics:\n");
    dcPrint(stats.routerState == ROUTER_STEADY ? "State:                    Steady\n"
                                               : "State:             Configuration\n");
    const COUNTER_LINE_T lines[] = {
        {"MsgsToRoute:", stats.numOfMsgsToRoute, nullptr, 0},
        {"MsgFormatErrors:", stats.numOfMsgFormatErrors, nullptr, 0},
        {"UnknownUdpPortErrors:", stats.numOfUnknownUdpPortErrors, nullptr, 0},
        {"SendRefusedErrors:", stats.numOfSendRefusedErrors, nullptr, 0},
    };
    printCounters(lines, ROUTER_LAYOUT);
    return EC_SUCCESS;
}
