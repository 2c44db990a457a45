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

// Prints the lines with the block's two formats: "%<width>s%10u  " for a
// left counter and "%<width>s%10u\n" for a right or single one.
static void printCounterLines(const COUNTER_LINE_T* lines, uint32_t count, const char* leftFormat,
                              const char* lastFormat)
{
    for (uint32_t i = 0; i < count; ++i) {
        const COUNTER_LINE_T& l = lines[i];
        if (l.rightLabel == nullptr) {
            dcPrintf(lastFormat, l.leftLabel, l.leftValue);
        } else {
            dcPrintf(leftFormat, l.leftLabel, l.leftValue);
            dcPrintf(lastFormat, l.rightLabel, l.rightValue);
        }
    }
}

static const char* linkText(uint32_t linkActivity)
{
    return linkActivity == LINK_UP ? "UP" : "DOWN";
}

void dcPrintUartStats(const UARTDRV_STATS_T& s)
{
    dcPrint("\nUART Statistics:\n");
    dcPrintf("BytesSent:           %10u  ", s.numOfBytesSent);
    dcPrintf("BytesRecvd:          %10u\n", s.numOfBytesRecvd);
    dcPrintf("BreakDetectedErrors: %10u  ", s.numOfBreakDetectedErrors);
    dcPrintf("FramingErrors:       %10u\n", s.numOfFramingErrors);
    dcPrintf("ParityErrors:        %10u  ", s.numOfParityErrors);
    dcPrintf("OverrunErrors:       %10u\n", s.numOfOverrunErrors);
    dcPrintf("RecvTimeoutErrors:   %10u\n", s.numOfRecvTimeoutErrors);
}

void dcPrintRawosStats(const RAWOS_STATS_T& s)
{
    dcPrint("\nRAWoS Statistics:\n");
    dcPrintf("Link: %s\n", linkText(s.linkActivity));
    dcPrintf("RecvdMessages:           %10u  ", s.numOfRecvdMessages);
    dcPrintf("SentMessages:            %10u\n", s.numOfSentMessages);
    dcPrintf("InterCharTimeout:        %10u  ", s.numOfInterCharTimeout);
    dcPrintf("SendMsgLengthErrors:     %10u\n", s.numOfSendMsgLengthErrors);
    dcPrintf("MaxFrameLength:          %10u\n", s.numOfMaxFrameLength);
    dcPrintf("RecvDataQueueFullErrors: %10u\n", s.numOfRecvDataQueueFullErrors);
    dcPrintf("RecvdMsgLengthErrors:    %10u\n", s.numOfRecvdMsgLengthErrors);
}

void dcPrintBacmStats(const BACM_STATS_T& s)
{
    dcPrint("\nBAC-M Statistics:\n");
    dcPrintf("Link: %s\n", linkText(s.linkActivity));
    dcPrintf("RecvdMessages:           %10u  ", s.numOfRecvdMessages);
    // One column narrower than the rest of the block, as it has always been.
    dcPrintf("SentMessages:           %10u\n", s.numOfSentMessages);
    dcPrintf("RecvDataQueueFullErrors: %10u  ", s.numOfRecvDataQueueFullErrors);
    dcPrintf("TotalReTxMsg:           %10u\n", s.numTotalReTxMsg);
    dcPrintf("RecvdMsgLengthErrors:    %10u\n", s.numOfRecvdMsgLengthErrors);
    dcPrintf("SendMsgLengthErrors:     %10u\n", s.numOfSendMsgLengthErrors);
    dcPrintf("PacketFormatErrors:      %10u\n", s.numOfPacketFormatErrors);
    dcPrintf("SendMsgQueueFullErrors:  %10u\n", s.numOfSendMsgQueueFullErrors);
    dcPrintf("CrcErrors:               %10u\n", s.numOfCrcErrors);
    dcPrintf("LoadSendMsgQueue:        %10u\n", s.loadSendMsgQueue);
}

void dcPrintBpposStats(const BPPOS_STATS_T& s)
{
    dcPrint("\nBPPoS Statistics:\n");
    dcPrintf("Link: %s\n", linkText(s.linkActivity));
    dcPrintf("RecvdMessages:           %10u  ", s.numOfRecvdMessages);
    dcPrintf("SentMessages:            %10u\n", s.numOfSentMessages);
    dcPrintf("RecvDataQueueFullErrors: %10u  ", s.numOfRecvDataQueueFullErrors);
    dcPrintf("SendDataQueueFullErrors: %10u\n", s.numOfSendDataQueueFullErrors);
    dcPrintf("RecvdMsgLengthErrors:    %10u  ", s.numOfRecvdMsgLengthErrors);
    dcPrintf("SendMsgLengthErrors:     %10u\n", s.numOfSendMsgLengthErrors);
    dcPrintf("PacketFormatErrors:      %10u\n", s.numOfPacketFormatErrors);
    dcPrintf("CrcErrors:               %10u\n", s.numOfCrcErrors);
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
    printCounterLines(lines, sizeof(lines) / sizeof(lines[0]), "%19s%10u  ", "%19s%10u\n");
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
    printCounterLines(lines, sizeof(lines) / sizeof(lines[0]), "%15s%10u  ", "%15s%10u\n");
}

void dcPrintIcmpStats(const ICMPSTATS& s)
{
    // Names by ICMP message type, in the order of the page; "MaskReplY" is
    // spelled as it always has been.
    struct ICMP_LINE_T {
        const char* name;
        uint32_t type;
    };
    static const ICMP_LINE_T icmpLines[] = {
        {"Echo:", 8},           {"EchoReply:", 0},    {"Tstamp:", 13},    {"TstampReply:", 14},
        {"IReq:", 15},          {"IReqReply:", 16},   {"MaskReq:", 17},   {"MaskReplY:", 18},
        {"DestUnreach:", 3},    {"SourceQuench:", 4}, {"Redirect:", 5},   {"RouterAdvert:", 9},
        {"RouterSolicit:", 10}, {"TimXceed:", 11},    {"ParamProb:", 12},
    };
    dcPrint("\nICMP Statistics:\n");
    dcPrintf("RxICMPErrors:    %10u  ", s.ICMPInErrors);
    dcPrintf("TxICMPErrors:    %10u\n", s.ICMPOutErrors);
    for (const ICMP_LINE_T& l : icmpLines) {
        dcPrintf("Rx%15s%10u  ", l.name, s.ICMPIn[l.type]);
        dcPrintf("Tx%15s%10u\n", l.name, s.ICMPOut[l.type]);
    }
}

void dcPrintUdpStats(const UDPSTATS& s)
{
    dcPrint("\nUDP Statistics:\n");
    dcPrintf("RecvTotal:   %10u  ", s.RcvTotal);
    dcPrintf("SendTotal:    %10u\n", s.SndTotal);
    dcPrintf("RecvShort:   %10u  ", s.RcvShort);
    dcPrintf("SendNoPacket: %10u\n", s.SndNoPacket);
    dcPrintf("RecvBadLen:  %10u\n", s.RcvBadLen);
    dcPrintf("RecvBadSum:  %10u\n", s.RcvBadSum);
    dcPrintf("RecvFull:    %10u\n", s.RcvFull);
    dcPrintf("RecvNoPort:  %10u\n", s.RcvNoPort);
    dcPrintf("RecvNoPortB: %10u\n", s.RcvNoPortB);
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
    dcPrintf("MsgsToRoute:          %10u\n", stats.numOfMsgsToRoute);
    dcPrintf("MsgFormatErrors:      %10u\n", stats.numOfMsgFormatErrors);
    dcPrintf("UnknownUdpPortErrors: %10u\n", stats.numOfUnknownUdpPortErrors);
    dcPrintf("SendRefusedErrors:    %10u\n", stats.numOfSendRefusedErrors);
    return EC_SUCCESS;
}
