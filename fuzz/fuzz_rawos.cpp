// Fuzz target of the RAWoS receive path: bytes through the UART-side handler
// with time steps between them, so that silences of every length cut the
// stream into messages, interleaved with sends and transmit drains.
// Input: records of an operation byte and its arguments (below).
#include "bdpoolapl.h"
#include "fuzzharness.h"
#include "rawosapl.h"

namespace {

using fuzz::Bytes;

enum OP_E : uint8_t {
    OP_WIRE = 0,       // length byte, then that many bytes into RxDataHandler
    OP_WIRE_LONG = 1,  // length word (to 4095), then the bytes
    OP_CYCLE = 2,      // 0 to 31 ticks on, then one worker cycle
    OP_SILENCE = 3,    // byte x 64 ticks on, then one worker cycle
    OP_SEND = 4,       // length word (to 1468), then Send of a message that long
    OP_DRAIN = 5,      // word bytes out through TxDataHandler
    NUM_OPS = 6,
};

constexpr uint32_t RECV_TIMEOUT = 1000;
constexpr uint32_t INTER_CHAR = 5;
constexpr uint16_t MAX_LONG_CHUNK = 4095;

RAWoS* protocol()
{
    static RAWoS* p = [] {
        fuzz::SetUpOnce();
        RAWOS_CONFIG_T cfg{SOURCE_SCI2, fuzz::Deliver, RECV_TIMEOUT, INTER_CHAR};
        return new RAWoS(cfg);
    }();
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    RAWoS& p = *protocol();
    fuzz::StartInput();
    p.Restart();
    fuzz::Reader in(data, size);
    fuzz::CounterWatch<RAWOS_STATS_T> counters(1u << 0);  // word 0: link state
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % NUM_OPS) {
        case OP_WIRE:
        case OP_WIRE_LONG: {
            const size_t len =
                (op % NUM_OPS == OP_WIRE) ? in.Byte() : in.Word() % (MAX_LONG_CHUNK + 1);
            for (uint8_t b : in.Take(len)) p.RxDataHandler(b);
            break;
        }
        case OP_CYCLE:
            fuzz::Advance(op >> 3);
            p.WorkerCycle();
            break;
        case OP_SILENCE:
            fuzz::Advance(in.Byte() * 64u);
            p.WorkerCycle();
            break;
        case OP_SEND: {
            BD* bd = fuzz::MessageBd(in.Word() % (LEN_BD_BUFFER + 1), op);
            (void)p.Send(bd);
            BdPool::Put(bd);
            break;
        }
        case OP_DRAIN: {
            uint8_t b = 0;
            for (uint32_t n = in.Word(); n > 0 && p.TxDataHandler(b) == EC_SUCCESS; --n) {}
            break;
        }
        default:
            break;
        }
        counters.Check(p);
        fuzz::CheckPool(false);
    }
    fuzz::Advance(INTER_CHAR + 1);
    p.WorkerCycle();
    counters.Check(p);
    fuzz::ReturnDelivered();
    fuzz::CheckPool(true);
    return 0;
}
