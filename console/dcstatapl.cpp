// Statistics pages of the console; see dcstatapl.h. The labels and their
// widths are what users and their scripts read, kept byte for byte, odd
// widths included.
#include "dcstatapl.h"

#include "configapl.h"
#include "dcapl.h"

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

ERROR_CODES_E dcEthStatPageWorker(char key)
{
    // The Ethernet side does not exist yet: every key shows the menu.
    (void)key;
    return EC_FAIL;
}

ERROR_CODES_E dcSciStatPageWorker(char key)
{
    // No serial-line gate exists yet: every key shows the menu.
    (void)key;
    return EC_FAIL;
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
    }
    return EC_SUCCESS;
}

ERROR_CODES_E dcRouterStatPageWorker(char key)
{
    // The router does not exist yet: every key shows the menu.
    (void)key;
    return EC_FAIL;
}
