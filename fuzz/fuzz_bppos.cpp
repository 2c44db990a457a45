// Fuzz target of the host-link receive path: bytes through the interrupt
// handler, worker cycles, time steps, sends and transmit drains on one BPPoS.
// The first input byte chooses the mode: bit 0 set fixes up the CRC of every
// frame the input holds, so that the fuzzer gets past the check.
// Input after it: records of an operation byte and its arguments (below).
#include "bdpoolapl.h"
#include "bpposapl.h"
#include "crcapl.h"
#include "fuzzharness.h"

namespace {

using fuzz::Bytes;

enum OP_E : uint8_t {
    OP_WIRE = 0,       // length byte, then that many bytes into RxDataHandler
    OP_WIRE_LONG = 1,  // length word (to 2047), then the bytes
    OP_CYCLE = 2,      // 1 to 32 ticks on, then one worker cycle
    OP_SILENCE = 3,    // byte x 64 ticks on, then one worker cycle
    OP_SEND = 4,       // length word (to 1499), then Send of a message that long
    OP_DRAIN = 5,      // byte x 32 bytes out through TxDataHandler
    OP_KEEPALIVE = 6,  // (byte + 1) x 32 connection packets, no cycle: fills the FIFO
    NUM_OPS = 7,
};

constexpr uint16_t MAX_LONG_CHUNK = 2047;
constexpr uint16_t MAX_SEND = 1499;  // beyond the largest payload, to test the limit

// Sets the CRC byte of every DLE STX ... DLE ETX span to the one its text needs.
void fixUpCrc(Bytes& v)
{
    fuzz::FixUpFrameCrcs<1>(v, BPPoS::DLE, BPPoS::STX, BPPoS::ETX, BPPoS::VAL_INITIAL_CRC,
                            Crc::ByteCalc8bitsCrc);
}

BPPoS* protocol()
{
    static BPPoS* p = [] {
        fuzz::SetUpOnce();
        BPPOS_CONFIG_T cfg{SOURCE_SPI1, fuzz::Deliver, nullptr, 2000, 1000};
        return new BPPoS(cfg);
    }();
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BPPoS& p = *protocol();
    fuzz::StartInput();
    p.Restart();
    fuzz::Reader in(data, size);
    const bool fixCrc = (in.Byte() & 1) != 0;
    fuzz::CounterWatch<BPPOS_STATS_T> counters(1u << 0);  // word 0: link state
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % NUM_OPS) {
        case OP_WIRE:
        case OP_WIRE_LONG: {
            const size_t len =
                (op % NUM_OPS == OP_WIRE) ? in.Byte() : in.Word() % (MAX_LONG_CHUNK + 1);
            Bytes chunk = in.Take(len);
            if (fixCrc) fixUpCrc(chunk);
            for (uint8_t b : chunk) p.RxDataHandler(b);
            break;
        }
        case OP_CYCLE:
            fuzz::Advance(1 + (op >> 3));
            p.WorkerCycle();
            break;
        case OP_SILENCE:
            fuzz::Advance(in.Byte() * 64u);
            p.WorkerCycle();
            break;
        case OP_SEND: {
            BD* bd = fuzz::MessageBd(in.Word() % (MAX_SEND + 1), op);
            (void)p.Send(bd);
            BdPool::Put(bd);
            break;
        }
        case OP_DRAIN: {
            uint8_t b = 0;
            for (uint32_t n = in.Byte() * 32u; n > 0 && p.TxDataHandler(b) == EC_SUCCESS; --n) {}
            break;
        }
        case OP_KEEPALIVE:
            for (uint32_t n = (in.Byte() + 1u) * 32u; n > 0; --n) {
                p.RxDataHandler(BPPoS::DLE);
                p.RxDataHandler(BPPoS::ACK);
            }
            break;
        default:
            break;
        }
        counters.Check(p);
        fuzz::CheckPool(false);
    }
    p.WorkerCycle();
    counters.Check(p);
    fuzz::ReturnDelivered();
    fuzz::CheckPool(true);
    return 0;
}
