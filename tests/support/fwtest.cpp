#include "fwtest.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "exmapl.h"
#include "gpiodrvapl.h"
#include "hostperiph.h"
#include "hostuart.h"
#include "soc_uart.h"
#include "spidrvapl.h"
#include "uartdrvapl.h"
#include "wdtdrvapl.h"

namespace {
constexpr uint32_t CONSOLE_UART_BASE = SOC_UART0_BASE;
std::mutex gLock;
std::string gConsole;

void captureByte(uint8_t byte, void*)
{
    std::lock_guard<std::mutex> lock(gLock);
    gConsole.push_back(static_cast<char>(byte));
}

void stderrByte(uint8_t byte, void*) { (void)!::write(STDERR_FILENO, &byte, 1); }

// The fatal path wired as start-up wires it: console UART and watchdog.
void fatalPutByte(uint8_t byte) { uartWriteByte(DC_UART_INDEX, byte); }
const EXM_HOOKS_T FATAL_HOOKS = {fatalPutByte, WtdDrv::Restart};
}  // namespace

void restartDrivers()
{
    uartRestart();
    SpiDrv::Restart();
    GpioDrv::Restart();
}

void FirmwareTest::SetUp()
{
    hostKernelReset(HostClockMode::Manual);
    restartDrivers();
    hostPeripheralsInstall();
    hostHeapReset();
    hostSetHaltHandler(nullptr);
    exmSetHooks(&FATAL_HOOKS);
    ClearConsole();
    hostUartSetTxSink(CONSOLE_UART_BASE, captureByte, nullptr);
}

void FirmwareTest::TearDown() { hostUartSetTxSink(CONSOLE_UART_BASE, nullptr, nullptr); }

std::string FirmwareTest::Console()
{
    std::lock_guard<std::mutex> lock(gLock);
    return gConsole;
}

void FirmwareTest::ClearConsole()
{
    std::lock_guard<std::mutex> lock(gLock);
    gConsole.clear();
}

void consoleToStderr()
{
    exmSetHooks(&FATAL_HOOKS);
    hostUartSetTxSink(CONSOLE_UART_BASE, stderrByte, nullptr);
}
