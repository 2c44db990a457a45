// Cost of the per-byte and per-message core operations on the host: CRCs,
// the pool, the interrupt lock the byte FIFOs take per byte, and one RAWoS
// worker cycle decoding a message (the FIFO path every serial byte takes).
#include <benchmark/benchmark.h>

#include <vector>

#include "bdpoolapl.h"
#include "crcapl.h"
#include "hostkernel.h"
#include "rawosapl.h"

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

// The pair a FIFO consumer takes around each load update.
void BM_HwiDisableRestore(benchmark::State& state)
{
    hostKernelReset(HostClockMode::Virtual);
    for (auto _ : state) {
        const uint32_t key = ti_sysbios_hal_Hwi_disable();
        ti_sysbios_hal_Hwi_restore(key);
    }
}
BENCHMARK(BM_HwiDisableRestore);

void returnToPool(BD* bd) { BdPool::Put(bd); }

// One message of range(0) bytes through the receive FIFO: the bytes arrive,
// one cycle takes them, the next one (after the silence) delivers them.
void BM_RawosDecodeMessage(benchmark::State& state)
{
    constexpr uint32_t RECV_TIMEOUT_TICKS = 1000;
    constexpr uint32_t INTER_CHAR_TICKS = 1;
    hostKernelReset(HostClockMode::Virtual);
    hostHeapReset();
    BdPool::Init();
    hostHeapRouteNew(true);
    RAWoS* rawos = new RAWoS({SOURCE_SCI1, returnToPool, RECV_TIMEOUT_TICKS, INTER_CHAR_TICKS});
    hostHeapRouteNew(false);
    const auto len = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        for (uint32_t i = 0; i < len; ++i) rawos->RxDataHandler(static_cast<uint8_t>(i));
        rawos->WorkerCycle();
        ti_sysbios_knl_Task_sleep(INTER_CHAR_TICKS + 1);  // before the scheduler: the clock moves
        rawos->WorkerCycle();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_RawosDecodeMessage)->Arg(40)->Arg(1468);
}  // namespace
