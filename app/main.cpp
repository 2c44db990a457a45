// The firmware's entry point: board set-up before the kernel runs, then the
// main task, which finishes start-up inside the kernel and keeps the board
// alive. Everything else that runs is created from here.
#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "board.h"
#include "boardapl.h"
#include "configapl.h"
#include "dcapl.h"
#include "ethapl.h"
#include "exmapl.h"
#include "gpiodrvapl.h"
#include "kernel.h"
#include "routerapl.h"
#include "taskapl.h"
#include "uartdrvapl.h"
#include "versionapl.h"
#include "wdtdrvapl.h"

static const char _MODULE_[] = "main.cpp";

static constexpr uint32_t TIME_PERIOD_MAIN_TASK = 1000000;  // microseconds
static constexpr int MAIN_TASK_PRIORITY = 1;
static constexpr uint32_t MAIN_TASK_STACK = 4096;

static uint32_t ticksPeriodMainTask = 0;
static GpioDrv mHealthLed;

static void fatalPutByte(uint8_t byte) { uartWriteByte(DC_UART_INDEX, byte); }

// The fatal path's console output and watchdog restart.
static const EXM_HOOKS_T FATAL_HOOKS = {fatalPutByte, WtdDrv::Restart};

static void mainTask(UArg, UArg)
{
    Ethernet::DiscoverDevices();
    Config::Init();
    Router::Init();
    for (;;) {
        WtdDrv::Restart();
        mHealthLed.Toggle();
        ti_sysbios_knl_Task_sleep(ticksPeriodMainTask);
    }
}

int main(int argc, char* argv[])
{
    platformArgs(argc, argv);
    exmSetHooks(&FATAL_HOOKS);
    kernelConfig();
    boardMmuInit(applMmuEntries);
    boardInit();
    WtdDrv::Init();
    dcInit();
    dcPrintf("\n\n*** %s ***\n", AppSwVer::Name);
    dcPrintf("v%s %s\n", AppSwVer::Version, AppSwVer::Date);
    dcPrintf("%s\n\n", AppSwVer::Copyright);
    mHealthLed.Config(HEALTH_LED);  // the LED starts on
    Ethernet::Init();
    BdPool::Init();
    BdMail::Init();
    ticksPeriodMainTask = usToTicks(TIME_PERIOD_MAIN_TASK);
    taskCreate({"main", MAIN_TASK_PRIORITY, MAIN_TASK_STACK, mainTask, 0, 0}, EXM_HERE);
    ti_sysbios_BIOS_start();
    return -1;
}
