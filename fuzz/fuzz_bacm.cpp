// Fuzz target of the BAC-M receive path in both roles: bytes through the
// UART-side handler interleaved with worker cycles, time steps, sends and
// transmit drains. The first input byte chooses the mode (bit 0: master,
// bit 1: fix up the CRC-16 of every INFO frame the input holds), the second
// the address (its slave bit and low three bits). Input after them: records
// of an operation byte and its arguments (below).
#include "bacmapl.h"
#include "bdpoolapl.h"
#include "crcapl.h"
#include "fuzzharness.h"

namespace {

using fuzz::Bytes;

enum OP_E : uint8_t {
    OP_WIRE = 0,     // length byte, then that many bytes into RxDataHandler
    OP_CYCLE = 1,    // 1 to 32 ticks on, then one worker cycle
    OP_SILENCE = 2,  // byte x 16 ticks on, then one worker cycle: time-outs
    OP_SEND = 3,     // length byte, then Send of a message that long
    OP_DRAIN = 4,    // byte x 8 bytes out through TxDataHandler
    NUM_OPS = 5,
};

constexpr uint32_t RECV_TIMEOUT = 200;
constexpr uint32_t ACK_WINDOW = 20;
// Addresses tried: the slave bit and the low three bits. Every object makes
// a worker task whose stack stays on the kernel heap, which holds about 150;
// 2 x 16 objects leave room, and the fuzzer writes any address on the wire.
constexpr uint8_t ADDRESS_BITS = 0x87;

// Sets the two CRC bytes of every DLE STX ... DLE ETX span to the ones its
// text needs.
void fixUpCrc(Bytes& v)
{
    fuzz::FixUpFrameCrcs<2>(v, BACM::DLE, BACM::STX, BACM::ETX, BACM::VAL_INITIAL_CRC,
                            Crc::ByteCalc16bitsCrc);
}

// One object per role and address, made once: construction creates a task.
BACM* protocol(bool master, uint8_t address)
{
    static BACM* made[2][ADDRESS_BITS + 1] = {};
    BACM*& p = made[master ? 1 : 0][address];
    if (p == nullptr) {
        fuzz::SetUpOnce();
        BACM_CONFIG_T cfg{SOURCE_SCI1, fuzz::Deliver, static_cast<uint16_t>(master ? 1 : 0),
                          address,     RECV_TIMEOUT,  ACK_WINDOW};
        p = new BACM(cfg);
    }
    return p;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Reader in(data, size);
    const uint8_t mode = in.Byte();
    const uint8_t address = in.Byte() & ADDRESS_BITS;
    BACM& p = *protocol((mode & 1) != 0, address);
    const bool fixCrc = (mode & 2) != 0;
    fuzz::StartInput();
    p.Restart();
    // Word 0 is the link state, word 10 the queue load.
    fuzz::CounterWatch<BACM_STATS_T> counters((1u << 0) | (1u << 10));
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % NUM_OPS) {
        case OP_WIRE: {
            Bytes chunk = in.Take(in.Byte());
            if (fixCrc) fixUpCrc(chunk);
            for (uint8_t b : chunk) p.RxDataHandler(b);
            break;
        }
        case OP_CYCLE:
            fuzz::Advance(1 + (op >> 3));
            p.WorkerCycle();
            break;
        case OP_SILENCE:
            fuzz::Advance(in.Byte() * 16u);
            p.WorkerCycle();
            break;
        case OP_SEND: {
            BD* bd = fuzz::MessageBd(in.Byte(), op);
            (void)p.Send(bd);
            BdPool::Put(bd);
            break;
        }
        case OP_DRAIN: {
            uint8_t b = 0;
            for (uint32_t n = in.Byte() * 8u; n > 0 && p.TxDataHandler(b) == EC_SUCCESS; --n) {}
            break;
        }
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
