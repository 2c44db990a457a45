// Fatal error handler and the runtime's character output.
// exmFatalError may be called from any task or interrupt handler; it prints
// one line on the console UART by polling, without task, semaphore or
// interrupt, and then stops the processor until the watchdog resets it.
// The UART and the watchdog are reached through hooks start-up installs,
// since their drivers sit above this module.
#pragma once

#include <cstdint>

#include "errcodes.h"

// Length of the fatal line buffer, terminating zero included.
constexpr uint32_t MAX_LEN_STRING = 256;

// The board's outputs of the fatal path: both run with interrupts off.
struct EXM_HOOKS_T {
    void (*putByte)(uint8_t byte);  // polled write of one byte to the console UART
    void (*restartWatchdog)();      // one more watchdog period
};

// Installs the hooks (kept by pointer). Start-up does it first of all; until
// then a fatal error prints nothing and leaves the watchdog as it is.
void exmSetHooks(const EXM_HOOKS_T* hooks);

// The console's output not yet sent: `takeByte` hands out its next byte, or
// returns false when none is left. The fatal handler writes it out through
// the polled path before its own line, so that a message that explains the
// fault is not lost with the board. The console installs it at start-up.
void exmSetPendingOutput(bool (*takeByte)(uint8_t& byte));

[[noreturn]] void exmFatalError(ERROR_CODES_E code, const char* module, const char* file,
                                uint32_t line);
// Writes one character to the console UART; a line feed goes out as CR LF.
void exmPrintChar(char c);
// Writes a zero-terminated text with exmPrintChar.
void exmPrintString(const char* text);
[[noreturn]] void exmSystemExitHandler(int status);
#ifdef ZOK2_TEST_HOOKS
// Test and fuzz builds only: when set, gets the fatal line (without its
// leading line feed) once it is printed, before the processor stops.
extern void (*exmFatalObserver)(const char* line);
#endif
[[noreturn]] void exmSystemAbortHandler();

// Fatal check used by every module: `_MODULE_` names the module that calls,
// __FILE__ the source file that holds the check.
#define EXM_FATAL(code) exmFatalError((code), _MODULE_, exmBaseName(__FILE__), __LINE__)

// Where a fatal check stands, for checks that a shared helper makes on its
// caller's behalf: the fatal line then names the caller, not the helper.
struct EXM_WHERE_T {
    const char* module;  // the caller's _MODULE_
    const char* file;    // the source file of the call
    uint32_t line;
};
#define EXM_HERE (EXM_WHERE_T{_MODULE_, exmBaseName(__FILE__), __LINE__})

// File name without its directories, so that lines stay short and do not
// depend on where the tree was built.
constexpr const char* exmBaseName(const char* path)
{
    const char* base = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/') {
            base = p + 1;
        }
    }
    return base;
}
