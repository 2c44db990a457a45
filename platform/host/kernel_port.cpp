// The port: user-level contexts of the simulated CPU, each on a stack of its
// own, switched by a few instructions that save the callee-saved registers
// (no system call, the signal mask untouched). Stacks are mapped with a guard
// page below them: an overflow faults there, and the fault handler, on an
// alternate signal stack, stops the run naming the task.
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>

#include "kernelinternal.h"

#if defined(__SANITIZE_ADDRESS__)
#define ZOK2_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZOK2_ASAN 1
#endif
#endif

#ifdef ZOK2_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

#if !defined(__x86_64__) && !defined(__arm__)
#include <ucontext.h>
#endif

namespace {

#ifdef ZOK2_ASAN
// The sanitizer's frames are several times larger.
constexpr size_t STACK_SCALE = 32;
constexpr size_t STACK_FLOOR = 1024 * 1024;
#else
// 64-bit code and unoptimised builds take several times the board's stack.
constexpr size_t STACK_SCALE = 8;
constexpr size_t STACK_FLOOR = 256 * 1024;
#endif
constexpr size_t ALT_STACK_SIZE = 64 * 1024;
constexpr int MAX_GUARDS = 1024;
constexpr size_t NAME_LEN = 32;

// Guard pages of live stacks, read by the fault handler without locks.
struct Guard {
    std::atomic<uintptr_t> low{0};
    std::atomic<uintptr_t> high{0};
    char name[NAME_LEN] = {};
};
Guard gGuards[MAX_GUARDS];
struct sigaction gOldSegv;
std::atomic<bool> gHandlerInstalled{false};

size_t pageSize()
{
    static const size_t size = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return size;
}

void say(const char* a, const char* b)
{
    (void)!::write(STDERR_FILENO, a, std::strlen(a));
    (void)!::write(STDERR_FILENO, b, std::strlen(b));
    (void)!::write(STDERR_FILENO, "\n", 1);
}

void onSegv(int sig, siginfo_t* info, void* uc)
{
    const auto addr = reinterpret_cast<uintptr_t>(info->si_addr);
    for (const Guard& g : gGuards) {
        if (addr >= g.low.load(std::memory_order_relaxed) &&
            addr < g.high.load(std::memory_order_relaxed)) {
            say("zok2gw: stack overflow in task ", g.name);
            _exit(HOST_STACK_OVERFLOW_EXIT_STATUS);
        }
    }
    // Not ours: whoever handled it before (the sanitizer), else the default.
    if ((gOldSegv.sa_flags & SA_SIGINFO) != 0 && gOldSegv.sa_sigaction != nullptr) {
        gOldSegv.sa_sigaction(sig, info, uc);
        return;
    }
    ::sigaction(SIGSEGV, &gOldSegv, nullptr);
}

thread_local PortContext* tlsSwitchFrom = nullptr;
thread_local PortEntry tlsEntry = nullptr;
thread_local void* tlsEntryArg = nullptr;

// Where every new context starts: picks up its entry from the switcher.
[[noreturn]] void portStart()
{
#ifdef ZOK2_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &tlsSwitchFrom->stackLow, &tlsSwitchFrom->stackSize);
#endif
    const PortEntry entry = tlsEntry;
    entry(tlsEntryArg);
    std::abort();  // an entry never returns
}

}  // namespace

#if defined(__x86_64__)
// zok2PortSwitch(void** saveSp, void* loadSp)
asm(R"(
    .text
    .globl zok2PortSwitch
    .type zok2PortSwitch, @function
zok2PortSwitch:
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .size zok2PortSwitch, .-zok2PortSwitch
)");
extern "C" void zok2PortSwitch(void** saveSp, void* loadSp);
namespace {
void* initialFrame(char* top)
{
    auto* p = reinterpret_cast<uintptr_t*>(reinterpret_cast<uintptr_t>(top) & ~uintptr_t{15});
    *--p = 0;  // return address of portStart: entered as if called
    *--p = reinterpret_cast<uintptr_t>(&portStart);
    for (int i = 0; i < 6; ++i) {
        *--p = 0;  // rbp, rbx, r12 to r15
    }
    return p;
}
}  // namespace
#elif defined(__arm__)
// zok2PortSwitch(void** saveSp, void* loadSp): r4 to r11, lr and d8 to d15
// (r3 keeps the frame a multiple of 8 bytes).
asm(R"(
    .text
    .syntax unified
    .arm
    .globl zok2PortSwitch
    .type zok2PortSwitch, %function
zok2PortSwitch:
    push {r3-r11, lr}
    vpush {d8-d15}
    str sp, [r0]
    mov sp, r1
    vpop {d8-d15}
    pop {r3-r11, pc}
    .size zok2PortSwitch, .-zok2PortSwitch
)");
extern "C" void zok2PortSwitch(void** saveSp, void* loadSp);
namespace {
void* initialFrame(char* top)
{
    auto* p = reinterpret_cast<uintptr_t*>(reinterpret_cast<uintptr_t>(top) & ~uintptr_t{7});
    *--p = reinterpret_cast<uintptr_t>(&portStart);  // pc
    for (int i = 0; i < 9 + 16; ++i) {
        *--p = 0;  // r3 to r11, d8 to d15
    }
    return p;
}
}  // namespace
#else
// Other hosts: the C library's contexts (each switch costs a system call
// for the signal mask).
namespace {
void ucStart() { portStart(); }
}  // namespace
#endif

bool portCreate(PortContext& c, uint32_t bytes, const char* name, PortEntry entry, void* arg)
{
    const size_t page = pageSize();
    const size_t want = std::max(STACK_FLOOR, static_cast<size_t>(bytes) * STACK_SCALE);
    const size_t stack = (want + page - 1) / page * page;
    void* map = ::mmap(nullptr, stack + page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
    if (map == MAP_FAILED) {
        return false;
    }
    ::mprotect(map, page, PROT_NONE);  // stacks grow down: the guard is below
    c.map = map;
    c.mapSize = stack + page;
    c.stackLow = static_cast<char*>(map) + page;
    c.stackSize = stack;
    for (int i = 0; i < MAX_GUARDS; ++i) {
        Guard& g = gGuards[i];
        if (g.high.load() == 0) {
            std::snprintf(g.name, sizeof g.name, "%s", name);
            g.low.store(reinterpret_cast<uintptr_t>(map));
            g.high.store(reinterpret_cast<uintptr_t>(map) + page);
            c.guardSlot = i;
            break;
        }
    }
    c.entry = entry;  // taken by the first switch to the context
    c.entryArg = arg;
#if defined(__x86_64__) || defined(__arm__)
    c.sp = initialFrame(static_cast<char*>(map) + c.mapSize);
#else
    auto* uc = new ucontext_t;
    getcontext(uc);
    uc->uc_stack.ss_sp = const_cast<void*>(c.stackLow);
    uc->uc_stack.ss_size = c.stackSize;
    uc->uc_link = nullptr;
    makecontext(uc, ucStart, 0);
    c.sp = uc;
#endif
    return true;
}

void portDestroy(PortContext& c)
{
    if (c.map == nullptr) {
        return;
    }
    if (c.guardSlot >= 0) {
        gGuards[c.guardSlot].high.store(0);
        gGuards[c.guardSlot].low.store(0);
    }
#ifdef ZOK2_ASAN
    // Frames left on the stack keep their poisoned shadow otherwise.
    __asan_unpoison_memory_region(c.stackLow, c.stackSize);
#endif
#if !defined(__x86_64__) && !defined(__arm__)
    delete static_cast<ucontext_t*>(c.sp);
#endif
    ::munmap(c.map, c.mapSize);
    c = PortContext{};
}

void portSwitch(PortContext& from, PortContext& to, bool fromEnds)
{
    tlsSwitchFrom = &from;
    tlsEntry = to.entry;
    tlsEntryArg = to.entryArg;
    to.entry = nullptr;  // only the first switch starts it
#ifdef ZOK2_ASAN
    __sanitizer_start_switch_fiber(fromEnds ? nullptr : &from.fakeStack, to.stackLow, to.stackSize);
#else
    (void)fromEnds;
#endif
#if defined(__x86_64__) || defined(__arm__)
    zok2PortSwitch(&from.sp, to.sp);
#else
    if (from.sp == nullptr) {
        from.sp = new ucontext_t;
    }
    swapcontext(static_cast<ucontext_t*>(from.sp), static_cast<ucontext_t*>(to.sp));
#endif
#ifdef ZOK2_ASAN
    __sanitizer_finish_switch_fiber(from.fakeStack, &tlsSwitchFrom->stackLow,
                                    &tlsSwitchFrom->stackSize);
#endif
}

void portAdoptThread()
{
    static thread_local bool adopted = false;
    if (adopted) {
        return;
    }
    adopted = true;
    stack_t old{};
    if (::sigaltstack(nullptr, &old) != 0 || (old.ss_flags & SS_DISABLE) != 0) {
        stack_t ss{};
        ss.ss_sp = ::mmap(nullptr, ALT_STACK_SIZE, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ss.ss_size = ALT_STACK_SIZE;
        if (ss.ss_sp != MAP_FAILED) {
            ::sigaltstack(&ss, nullptr);  // never unmapped: the thread may fault until it ends
        }
    }
    if (!gHandlerInstalled.exchange(true)) {
        struct sigaction sa {};
        sa.sa_sigaction = onSegv;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        sigemptyset(&sa.sa_mask);
        ::sigaction(SIGSEGV, &sa, &gOldSegv);
    }
}
