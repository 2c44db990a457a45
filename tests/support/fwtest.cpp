#include "fwtest.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

#include "hostperiph.h"
#include "hostuart.h"
#include "soc_uart.h"

namespace {
constexpr uint32_t CONSOLE_UART_BASE = SOC_UART0_BASE;
std::mutex gLock;
std::string gConsole;

void captureByte(uint8_t byte, void*)
{
    std::lock_guard<std::mutex> lock(gLock);
    gConsole.push_back(static_cast<char>(byte));
}

void stderrByte(uint8_t byte, void*)
{
    ssize_t n = ::write(STDERR_FILENO, &byte, 1);
    (void)n;
}
}  // namespace

void FirmwareTest::SetUp()
{
    hostKernelReset(HostClockMode::Manual);
    hostPeripheralsInstall();
    hostHeapReset();
    hostSetHaltHandler(nullptr);
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

void consoleToStderr() { hostUartSetTxSink(CONSOLE_UART_BASE, stderrByte, nullptr); }
