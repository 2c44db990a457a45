// The console's pages and the handlers of the main, configuration and other
// pages; see dcmenuapl.h. The menu texts are what users and their scripts
// see: they are kept byte for byte.
#include "dcmenuapl.h"

#include "bdpoolapl.h"
#include "cpuloadapl.h"
#include "datetimeapl.h"
#include "dcapl.h"
#include "dcstatapl.h"
#include "exmapl.h"
#include "kernel.h"
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

ERROR_CODES_E dcConfigPageWorker(char key)
{
    // No serial line or Ethernet gate exists yet: every key shows the menu.
    (void)key;
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
