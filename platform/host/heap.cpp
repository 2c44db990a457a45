// The board's 640 KiB system heap, simulated: a first-fit allocator over one
// static array, with coalescing, whose statistics are what the firmware's
// diagnostics show. Firmware threads route operator new here; host threads
// (I/O, tests, the platform's own bookkeeping) keep the host allocator.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "hostinternal.h"
#include "hostkernel.h"
#include "kernel.h"

thread_local int tlsHostDepth = 0;
thread_local bool tlsRouteNew = false;
thread_local int32_t tlsNetError = 0;
thread_local bool tlsNetSession = false;

namespace {

constexpr uint32_t ALIGNMENT = 8;
constexpr uint32_t HEADER = 8;  // size word + free flag word
// Smallest block that moves the next one by 8 modulo 16: a header and 16 bytes.
constexpr uint32_t PAD = HEADER + 2 * ALIGNMENT;
constexpr uint32_t NEW_ALIGNMENT = __STDCPP_DEFAULT_NEW_ALIGNMENT__;
static_assert(NEW_ALIGNMENT <= 2 * ALIGNMENT, "a pad block aligns to 16 at most");

struct alignas(ALIGNMENT) Block {
    uint32_t size;  // bytes of the whole block, header included
    uint32_t free;  // 1 when free
};

alignas(NEW_ALIGNMENT) unsigned char gArena[KERNEL_HEAP_SIZE];
std::mutex gLock;
bool gReady = false;
const std::vector<unsigned char>* gSaved = nullptr;  // hostHeapSave's copy

Block* at(uint32_t offset) { return reinterpret_cast<Block*>(gArena + offset); }

void resetLocked()
{
    at(0)->size = KERNEL_HEAP_SIZE;
    at(0)->free = 1;
    gReady = true;
}

// First fit. `align` above ALIGNMENT (operator new's own alignment) may cost
// a free block of PAD bytes in front, which coalesces back when freed.
void* allocLocked(uint32_t size, uint32_t align = ALIGNMENT)
{
    if (!gReady) {
        resetLocked();
    }
    const uint32_t need = ((size + ALIGNMENT - 1) & ~(ALIGNMENT - 1)) + HEADER;
    for (uint32_t off = 0; off < KERNEL_HEAP_SIZE; off += at(off)->size) {
        Block* b = at(off);
        const uint32_t pad = ((off + HEADER) % align == 0) ? 0 : PAD;
        if (b->free == 0 || b->size < need + pad) {
            continue;
        }
        if (pad != 0) {
            Block* rest = at(off + pad);
            rest->size = b->size - pad;
            rest->free = 1;
            b->size = pad;
            continue;  // the loop goes on with the aligned rest
        }
        // Split only when the rest can still hold a header and a word.
        if (b->size - need >= HEADER + ALIGNMENT) {
            Block* rest = at(off + need);
            rest->size = b->size - need;
            rest->free = 1;
            b->size = need;
        }
        b->free = 0;
        return gArena + off + HEADER;
    }
    return nullptr;
}

void freeLocked(void* block)
{
    Block* b = reinterpret_cast<Block*>(static_cast<unsigned char*>(block) - HEADER);
    b->free = 1;
    // Coalesce every run of free blocks; the heap is small and frees are rare.
    for (uint32_t off = 0; off < KERNEL_HEAP_SIZE; off += at(off)->size) {
        Block* cur = at(off);
        while (cur->free != 0 && off + cur->size < KERNEL_HEAP_SIZE &&
               at(off + cur->size)->free != 0) {
            cur->size += at(off + cur->size)->size;
        }
    }
}

}  // namespace

void* hostHeapAlloc(uint32_t size)
{
    std::lock_guard<std::mutex> lock(gLock);
    return allocLocked(size);
}

void hostHeapFree(void* block)
{
    if (block == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(gLock);
    freeLocked(block);
}

bool hostHeapOwns(const void* block)
{
    const auto* p = static_cast<const unsigned char*>(block);
    return p >= gArena && p < gArena + KERNEL_HEAP_SIZE;
}

void hostHeapReset()
{
    std::lock_guard<std::mutex> lock(gLock);
    resetLocked();
}

void hostHeapSave()
{
    std::lock_guard<std::mutex> lock(gLock);
    HostScope host;
    static std::vector<unsigned char>* saved = nullptr;
    if (saved == nullptr) {
        saved = new std::vector<unsigned char>;
    }
    if (!gReady) {
        resetLocked();
    }
    saved->assign(gArena, gArena + KERNEL_HEAP_SIZE);
    gSaved = saved;
}

void hostHeapRestore()
{
    std::lock_guard<std::mutex> lock(gLock);
    if (gSaved != nullptr) {
        std::memcpy(gArena, gSaved->data(), KERNEL_HEAP_SIZE);
    }
}

void hostHeapRouteNew(bool on) { tlsRouteNew = on; }

void* xdc_runtime_Memory_alloc(uint32_t size, uint32_t align)
{
    (void)align;  // every block is 8-byte aligned, enough for any firmware type
    return hostHeapAlloc(size);
}

void xdc_runtime_Memory_free(void* block, uint32_t size)
{
    (void)size;
    hostHeapFree(block);
}

void xdc_runtime_Memory_getStats(xdc_runtime_Memory_Stats* stats)
{
    std::lock_guard<std::mutex> lock(gLock);
    if (!gReady) {
        resetLocked();
    }
    stats->totalSize = KERNEL_HEAP_SIZE;
    stats->totalFreeSize = 0;
    stats->largestFreeSize = 0;
    for (uint32_t off = 0; off < KERNEL_HEAP_SIZE; off += at(off)->size) {
        const Block* b = at(off);
        if (b->free != 0) {
            const uint32_t usable = b->size - HEADER;
            stats->totalFreeSize += usable;
            if (usable > stats->largestFreeSize) {
                stats->largestFreeSize = usable;
            }
        }
    }
}

// operator new of firmware threads: the simulated heap, aligned as the
// compiler expects of new. An exhausted heap ends in the runtime's abort, as
// `new` without exceptions does on the board.
namespace {
void* routedNew(std::size_t n)
{
    if (tlsRouteNew && tlsHostDepth == 0) {
        void* p = nullptr;
        {
            std::lock_guard<std::mutex> lock(gLock);
            p = allocLocked(static_cast<uint32_t>(n == 0 ? 1 : n), NEW_ALIGNMENT);
        }
        if (p != nullptr) {
            return p;
        }
        const xdc_runtime_System_Hooks* hooks = hostSystemHooks();
        if (hooks != nullptr && hooks->abortFxn != nullptr) {
            hooks->abortFxn();
        }
        std::abort();
    }
    void* p = std::malloc(n == 0 ? 1 : n);
    if (p == nullptr) {
        std::abort();
    }
    return p;
}

void routedDelete(void* p)
{
    if (p == nullptr) {
        return;
    }
    if (hostHeapOwns(p)) {
        hostHeapFree(p);
    } else {
        std::free(p);
    }
}
}  // namespace

void* operator new(std::size_t n) { return routedNew(n); }
void* operator new[](std::size_t n) { return routedNew(n); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return routedNew(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return routedNew(n); }
void operator delete(void* p) noexcept { routedDelete(p); }
void operator delete[](void* p) noexcept { routedDelete(p); }
void operator delete(void* p, std::size_t) noexcept { routedDelete(p); }
void operator delete[](void* p, std::size_t) noexcept { routedDelete(p); }
