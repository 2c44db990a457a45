// Fatal error handler: one line on the console UART by polling, then the
// processor stops; the watchdog, no longer restarted, resets the board.
// Uses one static buffer and no task, semaphore, interrupt or heap.
#include "exmapl.h"

#include <cstdio>

#include "kernel.h"

static char mUartBuffer[MAX_LEN_STRING];
static const EXM_HOOKS_T* mHooks = nullptr;
static bool (*mTakePendingByte)(uint8_t& byte) = nullptr;

void exmSetHooks(const EXM_HOOKS_T* hooks) { mHooks = hooks; }

void exmSetPendingOutput(bool (*takeByte)(uint8_t& byte)) { mTakePendingByte = takeByte; }

#ifdef ZOK2_TEST_HOOKS
void (*exmFatalObserver)(const char* line) = nullptr;
#endif

void exmFatalError(ERROR_CODES_E code, const char* module, const char* file, uint32_t line)
{
    (void)ti_sysbios_hal_Hwi_disable();  // never enabled again
    // A fresh watchdog period for the output below; nothing restarts it afterwards.
    if (mHooks != nullptr) {
        mHooks->restartWatchdog();
        // The console's queued lines first (already CR LF): they often name
        // the cause. No task takes them any more.
        uint8_t byte = 0;
        while (mTakePendingByte != nullptr && mTakePendingByte(byte)) {
            mHooks->putByte(byte);
        }
    }
    // snprintf cuts the line at 255 characters and always terminates it.
    std::snprintf(mUartBuffer, sizeof(mUartBuffer),
                  "\nFATAL ERROR: code= %d module= %s file= %s line= %lu", static_cast<int>(code),
                  module != nullptr ? module : "(null)", file != nullptr ? file : "(null)",
                  static_cast<unsigned long>(line));
    for (const char* p = mUartBuffer; *p != '\0'; ++p) {
        exmPrintChar(*p);
    }
#ifdef ZOK2_TEST_HOOKS
    if (exmFatalObserver != nullptr) {
        exmFatalObserver(mUartBuffer + 1);
    }
#endif
    cpuHalt(code);
}

void exmPrintChar(char c)
{
    if (mHooks == nullptr) {
        return;
    }
    if (c == '\n') {
        mHooks->putByte('\r');
    }
    mHooks->putByte(static_cast<uint8_t>(c));
}

void exmPrintString(const char* text)
{
    for (const char* p = text; *p != '\0'; ++p) {
        exmPrintChar(*p);
    }
}

void exmSystemExitHandler(int status)
{
    (void)status;  // the runtime's exit status carries nothing for the board
    exmFatalError(EC_SYSTEM_EXIT, "exmapl.cpp", "exmapl.cpp", __LINE__);
}

void exmSystemAbortHandler()
{
    exmFatalError(EC_SYSTEM_ABORT, "exmapl.cpp", "exmapl.cpp", __LINE__);
}
