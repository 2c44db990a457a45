// Register dispatch: each model claims an address window; an access that no
// window decodes is a bus fault, as on the SoC. Also the bus fault itself.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unistd.h>
#include <vector>

#include "hostinternal.h"
#include "hostkernel.h"
#include "hostregs.h"
#include "hostwdt.h"
#include "hwreg.h"

namespace {
constexpr size_t FAULT_TEXT_MAX = 200;

struct Window {
    uint32_t base;
    uint32_t size;
    HostRegRead read;
    HostRegWrite write;
    void* ctx;
};
std::mutex gLock;
std::vector<Window>& windows()
{
    static auto* w = new std::vector<Window>;  // never destroyed: threads may outlive exit
    return *w;
}

bool find(uint32_t addr, Window& out)
{
    std::lock_guard<std::mutex> lock(gLock);
    for (const Window& w : windows()) {
        if (addr >= w.base && addr - w.base < w.size) {
            out = w;
            return true;
        }
    }
    return false;
}
}  // namespace

void hostBusFault(const char* format, ...)
{
    char what[FAULT_TEXT_MAX];
    va_list args;
    va_start(args, format);
    std::vsnprintf(what, sizeof what, format, args);
    va_end(args);
    // Plain write: the faulting context may hold any lock, stdio's included.
    char line[FAULT_TEXT_MAX + 32];
    std::snprintf(line, sizeof line, "zok2gw: bus fault: %s\n", what);
    ssize_t n = ::write(STDERR_FILENO, line, std::strlen(line));
    (void)n;  // nothing more to do about a closed standard error
    hostRunShutdownHooks();
    _exit(HOST_BUS_FAULT_EXIT_STATUS);
}

void hostRegMap(uint32_t base, uint32_t size, HostRegRead read, HostRegWrite write, void* ctx)
{
    HostScope host;
    std::lock_guard<std::mutex> lock(gLock);
    for (Window& w : windows()) {
        if (w.base == base) {
            w = Window{base, size, read, write, ctx};
            return;
        }
    }
    windows().push_back(Window{base, size, read, write, ctx});
}

void hostRegUnmapAll()
{
    std::lock_guard<std::mutex> lock(gLock);
    windows().clear();
}

uint32_t regRead32(uint32_t addr)
{
    Window w;
    if (!find(addr, w)) {
        hostBusFault("register read at 0x%08X: no peripheral there", addr);
    }
    return w.read(w.ctx, addr - w.base);
}

void regWrite32(uint32_t addr, uint32_t value)
{
    Window w;
    if (!find(addr, w)) {
        hostBusFault("register write of 0x%08X at 0x%08X: no peripheral there", value, addr);
    }
    w.write(w.ctx, addr - w.base, value);
}
