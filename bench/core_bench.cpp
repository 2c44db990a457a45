// Cost of the per-byte and per-message core operations on the host.
#include <benchmark/benchmark.h>

#include <vector>

#include "bdpoolapl.h"
#include "crcapl.h"
#include "hostkernel.h"

namespace {
void BM_Crc16Block(benchmark::State& state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x10);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Crc::Calc16bitsCrc(0, static_cast<uint32_t>(data.size()), data.data()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc16Block)->Arg(248)->Arg(1468);

void BM_Crc8Block(benchmark::State& state)
{
    std::vector<uint8_t> data(static_cast<size_t>(state.range(0)), 0x10);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            Crc::Calc8bitsCrc(0xFF, static_cast<uint32_t>(data.size()), data.data()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Crc8Block)->Arg(1480);

// Get and Put take the scheduler lock: two kernel calls each on the host.
void BM_PoolGetPut(benchmark::State& state)
{
    hostKernelReset(HostClockMode::Manual);
    hostHeapReset();
    BdPool::Init();
    for (auto _ : state) {
        BD* bd = BdPool::Get();
        BdPool::Put(bd);
    }
}
BENCHMARK(BM_PoolGetPut);
}  // namespace
