// Register dispatch: each model claims an address window.
#include <mutex>
#include <vector>

#include "hostinternal.h"
#include "hostregs.h"
#include "hwreg.h"

namespace {
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
    if (find(addr, w) && w.read != nullptr) {
        return w.read(w.ctx, addr - w.base);
    }
    return 0;
}

void regWrite32(uint32_t addr, uint32_t value)
{
    Window w;
    if (find(addr, w) && w.write != nullptr) {
        w.write(w.ctx, addr - w.base, value);
    }
}
