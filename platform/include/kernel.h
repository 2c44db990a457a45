// Kernel services the firmware relies on: tasks, locks, semaphores, mailbox,
// clock, timestamps, seconds, heap and the idle hook.
// The names follow the real-time kernel of the board; the signatures are
// ours. On the board these map onto the kernel; on Linux platform/host
// provides a simulated single-core CPU with the same semantics.
// Callable from tasks; Semaphore_post and Clock/Timestamp reads also from
// interrupt handlers. Nothing here allocates on the message path.
#pragma once

#include <cstddef>
#include <cstdint>

using UArg = uintptr_t;
using TaskFxn = void (*)(UArg arg0, UArg arg1);
using HwiFxn = void (*)(UArg arg);
using IdleFxn = void (*)();

// Time-out values of the pend operations, in ticks.
constexpr uint32_t BIOS_NO_WAIT = 0;
constexpr uint32_t BIOS_WAIT_FOREVER = 0xFFFFFFFFu;

// Length of one clock tick in microseconds.
constexpr uint32_t ti_sysbios_knl_Clock_tickPeriod = 1000;

// Tasks
struct KernelTask;
using ti_sysbios_knl_Task_Handle = KernelTask*;

struct ti_sysbios_knl_Task_Params {
    UArg arg0;                 // first argument of the entry (the owning object)
    UArg arg1;                 // second argument of the entry
    int priority;              // 1..15, a higher number runs first; 0 is the idle task
    uint32_t stackSize;        // bytes, taken from the heap on creation
    const char* instanceName;  // shown on the diagnostics pages
};

void ti_sysbios_knl_Task_Params_init(ti_sysbios_knl_Task_Params* params);
// Returns null when the task cannot be created (no memory for its stack).
ti_sysbios_knl_Task_Handle ti_sysbios_knl_Task_create(TaskFxn fxn,
                                                      const ti_sysbios_knl_Task_Params* params);
void ti_sysbios_knl_Task_sleep(uint32_t ticks);
// Scheduler lock: no other task runs until the matching restore; interrupts still do.
uint32_t ti_sysbios_knl_Task_disable();
void ti_sysbios_knl_Task_restore(uint32_t key);
// Task introspection for the diagnostics pages.
ti_sysbios_knl_Task_Handle ti_sysbios_knl_Task_self();
const char* ti_sysbios_knl_Task_name(ti_sysbios_knl_Task_Handle task);
int ti_sysbios_knl_Task_getPri(ti_sysbios_knl_Task_Handle task);
uint32_t ti_sysbios_knl_Task_stackSize(ti_sysbios_knl_Task_Handle task);
// Visits every task in creation order (idle included); returns the count.
uint32_t ti_sysbios_knl_Task_forEach(void (*visit)(ti_sysbios_knl_Task_Handle task, void* ctx),
                                     void* ctx);

// Interrupts
// Interrupt lock: no interrupt handler runs until the matching restore.
uint32_t ti_sysbios_hal_Hwi_disable();
void ti_sysbios_hal_Hwi_restore(uint32_t key);
struct KernelHwi;
using ti_sysbios_hal_Hwi_Handle = KernelHwi*;
// Installs fxn(arg) as the handler of interrupt intNum; null when the line
// already has one. A line the interrupt controller lacks stops the board.
ti_sysbios_hal_Hwi_Handle ti_sysbios_hal_Hwi_create(uint32_t intNum, HwiFxn fxn, UArg arg);
void ti_sysbios_hal_Hwi_enableInterrupt(uint32_t intNum);
void ti_sysbios_hal_Hwi_disableInterrupt(uint32_t intNum);

// Semaphores
enum ti_sysbios_knl_Semaphore_Mode : uint8_t {
    ti_sysbios_knl_Semaphore_Mode_COUNTING = 0,
    ti_sysbios_knl_Semaphore_Mode_BINARY = 1,
};
struct KernelSemaphore;
using ti_sysbios_knl_Semaphore_Handle = KernelSemaphore*;

ti_sysbios_knl_Semaphore_Handle ti_sysbios_knl_Semaphore_create(int32_t count,
                                                                ti_sysbios_knl_Semaphore_Mode mode);
// True when the semaphore was taken within the time-out.
bool ti_sysbios_knl_Semaphore_pend(ti_sysbios_knl_Semaphore_Handle sem, uint32_t timeout);
void ti_sysbios_knl_Semaphore_post(ti_sysbios_knl_Semaphore_Handle sem);
int32_t ti_sysbios_knl_Semaphore_getCount(ti_sysbios_knl_Semaphore_Handle sem);

// Mailbox of fixed-size messages
struct KernelMailbox;
using ti_sysbios_knl_Mailbox_Handle = KernelMailbox*;

// Null when the mailbox cannot be created.
ti_sysbios_knl_Mailbox_Handle ti_sysbios_knl_Mailbox_create(uint32_t msgSize, uint32_t numMsgs);
// Copies msgSize bytes in; false when still full after the time-out.
bool ti_sysbios_knl_Mailbox_post(ti_sysbios_knl_Mailbox_Handle mbx, const void* msg,
                                 uint32_t timeout);
// Copies the oldest message out; false when still empty after the time-out.
bool ti_sysbios_knl_Mailbox_pend(ti_sysbios_knl_Mailbox_Handle mbx, void* msg, uint32_t timeout);
uint32_t ti_sysbios_knl_Mailbox_getNumPendingMsgs(ti_sysbios_knl_Mailbox_Handle mbx);

// Time
// Ticks since start (plus the start offset); wraps at 32 bits.
uint32_t ti_sysbios_knl_Clock_getTicks();
// Free-running cycle counter and its frequency in Hz.
uint32_t xdc_runtime_Timestamp_get32();
uint32_t xdc_runtime_Timestamp_getFreq();
void ti_sysbios_hal_Seconds_set(uint32_t seconds);
uint32_t ti_sysbios_hal_Seconds_get();

// Heap
struct xdc_runtime_Memory_Stats {
    uint32_t totalSize;        // bytes managed by the heap
    uint32_t totalFreeSize;    // bytes currently free
    uint32_t largestFreeSize;  // largest single free block
};
constexpr uint32_t KERNEL_HEAP_SIZE = 655360;

// Null when no block of that size is free.
void* xdc_runtime_Memory_alloc(uint32_t size, uint32_t align);
void xdc_runtime_Memory_free(void* block, uint32_t size);
void xdc_runtime_Memory_getStats(xdc_runtime_Memory_Stats* stats);

// Configuration and start
// Adds a function that the idle task calls on each pass of its loop.
void ti_sysbios_knl_Idle_add(IdleFxn fxn);
// Runtime output and termination hooks (character output, abort text, exit, abort).
struct xdc_runtime_System_Hooks {
    void (*putch)(char c);
    void (*abortText)(const char* text);
    void (*exitFxn)(int status);
    void (*abortFxn)();
};
void xdc_runtime_System_setHooks(const xdc_runtime_System_Hooks* hooks);
// Starts the scheduler; does not return.
[[noreturn]] void ti_sysbios_BIOS_start();

// Stops the processor for good after a fatal error: no context runs again and
// only a watchdog reset ends the state. `code` is kept for post-mortem.
[[noreturn]] void cpuHalt(int32_t code);
