// The console's pages and the handlers of the main, configuration and other
// pages; see dcmenuapl.h. The menu texts are what users and their scripts
// see: they are kept byte for byte.
#include "dcmenuapl.h"

#include "bdpoolapl.h"
#include "configapl.h"
#include "cpuloadapl.h"
#include "datetimeapl.h"
#include "dcapl.h"
#include "dcstatapl.h"
#include "ethapl.h"
#include "ethdrv.h"
#include "exmapl.h"
#include "ipgateapl.h"
#include "kernel.h"
#include "netstack.h"
#include "scigateapl.h"
#include "versionapl.h"

static const char _MODULE_[] = "dcmenuapl.cpp";

static const char mMainPage[] =
    "\n*** Main Menu ***\n[1] Version\n[2] Configuration\n[3] Ethernet Statistics\n"
    "[4] SCI Statistics\n[5] SPI Statistics\n[6] Router Statistics\n[7] Other\n";
static const char mConfigPage[] =
    "\n*** Configuration Menu ***\n[1] SCI 1\n[2] SCI 2\n[3] SCI 3\n[4] Ethernet\n"
    "[ESC] Main page\n";
static const char mEthStatPage[] =
    "\n*** Ethernet Statistics Menu ***\n[1] EMAC\n[2] IP\n[3] ICMP\n[4] UDP\n[5] UDP Ports\n"
    "[r] Reset Port Statistics\n[ESC] Main page\n";
static const char mSciStatPage[] =
    "\n*** SCI Statistics Menu ***\n[1] SCI 1\n[2] SCI 2\n[3] SCI 3\n[r] Reset Statistics\n"
    "[ESC] Main page\n";
static const char mSpiStatPage[] =
    "\n*** SPI Statistics Menu ***\n[1] SPI 1\n[2] SPI 2\n[r] Reset Statistics\n"
    "[ESC] Main page\n";
static const char mRouterStatPage[] =
    "\n*** Router Statistics Menu ***\n[1] Statistics\n[r] Reset Statistics\n[ESC] Main page\n";
static const char mOtherPage[] =
    "\n*** Other Menu ***\n[1] BD Pool Statistics\n[2] Heap Memory Report\n"
    "[3] NDK Memory Report\n[4] Running Time\n[5] CPU Load\n[r] Reboot\n[ESC] Main page\n";

static_assert(sizeof(mOtherPage) - 1 <= MAX_LEN_STRING_CONSOLE, "dcPrint cuts longer texts");

static PageItem MainPage(mMainPage, dcMainPageWorker, dcPrint);
static PageItem ConfigPage(mConfigPage, dcConfigPageWorker, dcPrint);
static PageItem EthStatPage(mEthStatPage, dcEthStatPageWorker, dcPrint);
static PageItem SciStatPage(mSciStatPage, dcSciStatPageWorker, dcPrint);
static PageItem SpiStatPage(mSpiStatPage, dcSpiStatPageWorker, dcPrint);
static PageItem RouterStatPage(mRouterStatPage, dcRouterStatPageWorker, dcPrint);
static PageItem OtherPage(mOtherPage, dcOtherPageWorker, dcPrint);

PageSet mPages(&MainPage);

ERROR_CODES_E dcMainPageWorker(char key)
{
    switch (key) {
    case '1':
        dcPrintf("\n%s\n", AppSwVer::Name);
        dcPrintf("v%s %s\n", AppSwVer::Version, AppSwVer::Date);
        dcPrintf("%s\n", AppSwVer::Copyright);
        return EC_SUCCESS;
    case '2':
        mPages.LoadPage(&ConfigPage);
        return EC_SUCCESS;
    case '3':
        mPages.LoadPage(&EthStatPage);
        return EC_SUCCESS;
    case '4':
        mPages.LoadPage(&SciStatPage);
        return EC_SUCCESS;
    case '5':
        mPages.LoadPage(&SpiStatPage);
        return EC_SUCCESS;
    case '6':
        mPages.LoadPage(&RouterStatPage);
        return EC_SUCCESS;
    case '7':
        mPages.LoadPage(&OtherPage);
        return EC_SUCCESS;
    default:
        return EC_FAIL;
    }
}

static void dcPrintSciConfig(const SciGate& gate)
{
    SCIGATE_CONFIG_T c{};
    gate.GetConfig(c);
    dcPrintf("\nUART index:        %u\n", static_cast<uint32_t>(c.uartIndex));
    dcPrint("Interface:         ");
    if (c.uartStandard == UART_STANDARD_RS232) {
        dcPrint("RS232\n");
    } else if (c.uartStandard == UART_STANDARD_RS485) {
        dcPrint("RS485\n");
    } else if (c.uartStandard == UART_STANDARD_RS422) {
        dcPrint("RS422\n");
    }
    dcPrintf("Baud rate:         %u\n", c.uartBaudRate);
    if (c.uartWordLength == UART_WORD_LENGTH_8) {
        dcPrint("Word length:       8\n");
    }
    if (c.uartStopBits == UART_STOP_BIT_1) {
        dcPrint("Stop bits:         1\n");
    }
    dcPrint("Parity:            ");
    if (c.uartParity == UART_PARITY_NONE) {
        dcPrint("NONE\n");
    } else if (c.uartParity == UART_PARITY_ODD) {
        dcPrint("ODD\n");
    } else if (c.uartParity == UART_PARITY_EVEN) {
        dcPrint("EVEN\n");
    }
    if (c.protType == SCI_PROT_TYPE_RAWOS) {
        dcPrint("Protocol type:     RAWoS\n");
        dcPrintf("Interchar timeout: %u\n", c.rawosInterCharTimeout);
        dcPrintf("Reception timeout: %u\n", c.protTicksRecvTimeout);
        return;
    }
    dcPrint("Protocol type:     BAC-M\n");
    dcPrint("Role:              ");
    if (c.bacmMaster == 0) {
        dcPrint("SLAVE\n");
    } else if (c.bacmMaster == 1) {
        dcPrint("MASTER\n");
    }
    dcPrintf("Physical address:  %u\n", static_cast<uint32_t>(c.bacmPhysicalAddr));
    dcPrintf("ACK Tx window:     %u\n", c.bacmTicksAckWindow);
    dcPrintf("Reception timeout: %u\n", c.protTicksRecvTimeout);
}

static const char* dcLinkStatusText(uint32_t linkStatus)
{
    switch (linkStatus) {
    case EMAC_LINKSTATUS_NOLINK:
        return "No Link\n";
    case EMAC_LINKSTATUS_HD10:
        return "Half Duplex 10Mbps\n";
    case EMAC_LINKSTATUS_FD10:
        return "Full Duplex 10Mbps\n";
    case EMAC_LINKSTATUS_HD100:
        return "Half Duplex 100Mbps\n";
    case EMAC_LINKSTATUS_FD100:
        return "Full Duplex 100Mbps\n";
    case EMAC_LINKSTATUS_FD1000:
        return "Full Duplex 1000Mbps\n";
    default:
        return "Unknown\n";
    }
}

static void dcPrintEthConfig(const IpGate& gate)
{
    const uint32_t ethIndex = gate.GetEthIndex();
    uint8_t name[LEN_DEVICE_NAME] = {};
    if (Ethernet::GetDeviceName(ethIndex, sizeof name, name) == EC_SUCCESS) {
        name[sizeof name - 1] = 0;  // never trust the stack to end the text
        dcPrintf("\nInterface:   %s\n", reinterpret_cast<const char*>(name));
    }
    uint8_t mac[LEN_MAC_ADDR] = {};
    Ethernet::GetMacAddr(ethIndex, sizeof mac, mac);
    dcPrintf("MAC address: %x:%x:%x:%x:%x:%x\n", mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
    uint16_t mtu = 0;
    if (Ethernet::GetDeviceMtu(ethIndex, mtu) == EC_SUCCESS) {
        dcPrintf("MTU:         %u bytes\n", static_cast<uint32_t>(mtu));
    }
    uint32_t autoNeg = 0;
    uint32_t speed = 0;
    uint32_t fullDuplex = 0;
    if (Ethernet::GetDeviceSpeed(ethIndex, autoNeg, speed, fullDuplex) == EC_SUCCESS) {
        dcPrint("Speed Mode:  ");
        if (autoNeg == 1) {
            dcPrint("Auto-negotiation\n");
        } else {
            const char* mbits = speed == 1000 ? "1000" : (speed == 100 ? "100" : "10");
            dcPrintf("%s-%s\n", fullDuplex != 0 ? "FD" : "HD", mbits);
        }
    }
    EMAC_LINK_INFO_T link{};
    (void)emac_poll(ethIndex, &link);  // NOLINK when the port cannot be polled
    dcPrint("Link Status: ");
    dcPrint(dcLinkStatusText(link.link_status));

    IPGATE_CONFIG_T c{};
    gate.GetConfig(c);
    char text[NDK_INET_ADDRSTRLEN];
    const uint32_t* const addrs[] = {&c.ipAddr, &c.netMask, &c.gatewayIpAddr};
    const char* const formats[] = {"IP address:  %s\n", "NetMask:     %s\n", "Gateway:     %s\n"};
    for (uint32_t i = 0; i < 3; ++i) {
        (void)NDK_inet_ntop(NDK_AF_INET, addrs[i], text, sizeof text);  // an address always fits
        dcPrintf(formats[i], text);
    }
    if (c.numOfMultiAddrs != 0) {
        dcPrint("Multicast:  ");
        for (uint32_t i = 0; i < c.numOfMultiAddrs && i < MAX_NUM_MULTI_ADDR; ++i) {
            (void)NDK_inet_ntop(NDK_AF_INET, &c.listOfMultiAddrs[i], text, sizeof text);
            dcPrintf(" %s", text);
        }
        dcPrint("\n");
    }
}

ERROR_CODES_E dcConfigPageWorker(char key)
{
    if (key >= '1' && key <= '3') {
        const SciGate* const gate = hSciGate[key - '1'];
        if (gate == nullptr) {
            return EC_FAIL;  // line not configured: the menu again
        }
        dcPrintSciConfig(*gate);
        return EC_SUCCESS;
    }
    if (key == '4') {
        ERROR_CODES_E result = EC_FAIL;
        for (const IpGate* gate : hIpGate) {
            if (gate != nullptr) {
                dcPrintEthConfig(*gate);
                result = EC_SUCCESS;
            }
        }
        return result;
    }
    return EC_FAIL;
}

static void dcPrintBdPool()
{
    BDPOOL_STATS_T stats;
    BdPool::GetStats(stats);
    dcPrint("\nBD Pool Statistics:\n");
    dcPrintf("Total number of BDs: %u\n", static_cast<uint32_t>(stats.numOfBds));
    dcPrintf("Number of free BDs:  %u\n", stats.numOfFreeBds);
    dcPrintf("BD capacity:         %u\n", static_cast<uint32_t>(stats.capacityOfBd));
}

static void dcPrintHeap()
{
    xdc_runtime_Memory_Stats stats;
    xdc_runtime_Memory_getStats(&stats);
    dcPrint("\nHeap Memory Report:\n");
    dcPrintf("Total size:        %d\n", static_cast<int32_t>(stats.totalSize));
    dcPrintf("Total free size:   %d\n", static_cast<int32_t>(stats.totalFreeSize));
    dcPrintf("Largest free size: %d\n", static_cast<int32_t>(stats.largestFreeSize));
}

static void dcPrintRunningTime()
{
    DATE_TIME_T t;
    DateTime::ToYearsCount(ti_sysbios_hal_Seconds_get(), t);
    dcPrintf("%u years, %u months, %u days, %u hours, %u minutes and %u seconds\n", t.year, t.month,
             t.day, t.hour, t.minute, t.second);
}

ERROR_CODES_E dcOtherPageWorker(char key)
{
    switch (key) {
    case '1':
        dcPrintBdPool();
        return EC_SUCCESS;
    case '2':
        dcPrintHeap();
        return EC_SUCCESS;
    case '3':
        dcPrint("\nNDK Memory Report:");
        _mmCheck(MMCHECK_MAP, dcPrintf2);
        return EC_SUCCESS;
    case '4':
        dcPrintRunningTime();
        return EC_SUCCESS;
    case '5':
        dcPrintf("CPU load: %d%%\n", static_cast<int32_t>(CpuLoad::GetLoad()));
        return EC_SUCCESS;
    case 'r':
        EXM_FATAL(EC_FAIL);
    default:
        return EC_FAIL;
    }
}
