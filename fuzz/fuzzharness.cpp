// Shared frame of the fuzz targets: see fuzzharness.h.
#include "fuzzharness.h"

#include <cstdio>
#include <cstdlib>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "exmapl.h"
#include "hostkernel.h"

namespace fuzz {

namespace {
void onFatal(const char* line)
{
    std::fprintf(stderr, "%s\n", line);
    Fail("the input reached the fatal handler");
}
}  // namespace

void SetUpOnce()
{
    static bool done = false;
    if (done) return;
    done = true;
    hostKernelReset(HostClockMode::Manual, START_TICKS);
    hostHeapReset();
    exmFatalObserver = onFatal;
    // On the process heap: the simulated kernel heap aligns blocks to 8
    // bytes, as the board's does, and clang's sanitizer expects 16 from new.
    BdPool::Init();
    BdMail::Init();
}

void StartInput()
{
    hostClockSet(START_TICKS);
    ReturnDelivered();
    BdPool::Restart();
}

void Advance(uint32_t ticks) { hostClockAdvance(ticks); }

void Deliver(BD* bd) { (void)BdMail::PostOrRecycle(bd); }

void ReturnDelivered()
{
    while (BdMail::NumPending() != 0) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        BdPool::Put(bd);
    }
}

void CheckPool(bool all, uint32_t held)
{
    const uint32_t known = FreeBds() + (all ? 0 : BdMail::NumPending() + held);
    if (known != NUM_BDS) Fail("a BD went missing from the pool");
}

uint32_t FreeBds()
{
    BDPOOL_STATS_T st{};
    BdPool::GetStats(st);
    return st.numOfFreeBds;
}

void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz invariant: %s\n", what);
    std::abort();
}

BD* MessageBd(uint32_t len, uint8_t seed)
{
    BD* bd = BdPool::Get();
    for (uint32_t i = 0; i < len && i < bd->Capacity(); ++i) {
        bd->Buffer(i, static_cast<uint8_t>(seed + i * 7));
    }
    bd->Load(len < bd->Capacity() ? len : bd->Capacity());
    return bd;
}

}  // namespace fuzz

// Firmware objects are made once and live for the run, by design: not leaks.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }
