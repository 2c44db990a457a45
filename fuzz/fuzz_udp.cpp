// Fuzz target of the Ethernet receive path: datagrams of 0 to 2000 bytes
// for the 18 ports of one IP gate, queued in the host network model's
// memory (no datagram crosses a real socket), taken by the gate's worker
// passes into BDs for the router, under a held-back pool or a full mailbox.
// Every delivered BD must carry a datagram that was sent, stamped with its
// port's and sender's addressing. Input: records of an operation byte and
// its arguments (below).
#include <unistd.h>

#include <cstring>
#include <deque>
#include <vector>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "ethapl.h"
#include "fuzzharness.h"
#include "hostboard.h"
#include "hostnet.h"
#include "hostrtc.h"
#include "ipgateapl.h"
#include "netstack.h"

namespace {

using fuzz::Bytes;

enum OP_E : uint8_t {
    OP_DATAGRAM = 0,  // port byte, size word (to 2000), sender port word, then up to size bytes
    OP_POLL = 1,      // 1 to 32 worker passes
    OP_ROUTE = 2,     // the router takes and checks every BD in the mailbox
    OP_HOLD = 3,      // byte: that many BDs held back from the pool
    OP_RELEASE = 4,   // the held BDs back to the pool
    OP_RESET = 5,     // the console resets the ports' statistics
    NUM_OPS = 6,
};

constexpr uint32_t MAX_DATAGRAM = 2000;
constexpr uint16_t FIRST_PORT = 2000;
constexpr uint8_t LOOPBACK_NET = 127;
constexpr uint32_t PORT_BYTE_SHIFT = 8;
constexpr uint32_t MAX_PASSES_SHIFT = 3;  // op >> 3: 0 to 31 passes more
// Port statistics words that are not counters: port and state, last errors.
constexpr uint32_t UDP_NOT_COUNTERS = (1u << 0) | (1u << 3) | (1u << 6);

struct Sent {
    uint16_t fromPort;
    Bytes data;
};

struct Board {
    IpGate* gate = nullptr;
    uint32_t ipAddr = 0;
    uint32_t fromAddr = 0;
    uint16_t ports[MAX_NUM_UDP_PORTS] = {};
    std::deque<Sent> sent[MAX_NUM_UDP_PORTS];  // per port, in sending order
    std::vector<BD*> held;
};

uint32_t netAddr(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

uint16_t netPort(uint16_t port)
{
    const uint8_t bytes[2] = {static_cast<uint8_t>(port >> PORT_BYTE_SHIFT),
                              static_cast<uint8_t>(port)};
    uint16_t v;
    std::memcpy(&v, bytes, sizeof v);
    return v;
}

// One gate on loopback, its address taken from the process id so that
// fuzzers and replays running side by side never share a port.
Board& board()
{
    static Board* b = [] {
        fuzz::SetUpOnce();
        hostNetReset();
        hostRtcCtrlReset();
        hostBoardConfig().eth[0] = "lo";
        Ethernet::Init();
        (void)fdOpenSession(ti_sysbios_knl_Task_self());
        auto* made = new Board;
        const auto pid = static_cast<uint32_t>(getpid());
        made->ipAddr = netAddr(LOOPBACK_NET, static_cast<uint8_t>(pid >> 16),
                               static_cast<uint8_t>(pid >> 8), static_cast<uint8_t>(pid | 1));
        made->fromAddr = netAddr(LOOPBACK_NET, 0, 0, 1);
        IPGATE_CONFIG_T cfg{};
        cfg.source = SOURCE_ETH0;
        cfg.ethIndex = 0;
        cfg.netMask = netAddr(255, 0, 0, 0);
        cfg.ipAddr = made->ipAddr;
        cfg.gatewayIpAddr = made->fromAddr;
        made->gate = new IpGate(cfg);
        for (uint32_t i = 0; i < MAX_NUM_UDP_PORTS; ++i) {
            made->ports[i] = netPort(static_cast<uint16_t>(FIRST_PORT + i));
            made->gate->OpenUdpPort(made->ports[i]);
        }
        return made;
    }();
    return *b;
}

// The router's part: each BD must be the oldest datagram of its port not
// yet delivered (those skipped were dropped on the way), stamped right.
void route(Board& b)
{
    while (BdMail::NumPending() != 0) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        uint32_t index = 0;
        if (bd->Source() != SOURCE_ETH0 || bd->DestIpAddr() != b.ipAddr ||
            bd->SourceIpAddr() != b.fromAddr ||
            b.gate->GetUdpPortIndex(bd->DestPort(), index) != EC_SUCCESS) {
            fuzz::Fail("a datagram was stamped with the wrong addressing");
        }
        const Bytes got(bd->BufferPtr(), bd->BufferPtr() + bd->Load());
        std::deque<Sent>& queue = b.sent[index];
        while (!queue.empty() &&
               (queue.front().data != got || queue.front().fromPort != bd->SourcePort())) {
            queue.pop_front();
        }
        if (queue.empty()) fuzz::Fail("a BD carried a datagram nobody sent");
        queue.pop_front();
        BdPool::Put(bd);
    }
}

void release(Board& b)
{
    for (BD* bd : b.held) BdPool::Put(bd);
    b.held.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Board& b = board();
    fuzz::StartInput();
    for (std::deque<Sent>& q : b.sent) q.clear();
    b.gate->ResetStatsUdp();
    std::vector<fuzz::CounterWatch<UDP_STATS_T>> counters(
        MAX_NUM_UDP_PORTS, fuzz::CounterWatch<UDP_STATS_T>(UDP_NOT_COUNTERS));
    uint32_t drops = 0;
    fuzz::Reader in(data, size);
    while (!in.Empty()) {
        const uint8_t op = in.Byte();
        switch (op % NUM_OPS) {
        case OP_DATAGRAM: {
            const uint32_t port = in.Byte() % MAX_NUM_UDP_PORTS;
            const uint32_t len = in.Word() % (MAX_DATAGRAM + 1);
            const uint16_t fromPort = in.Word();
            Bytes d = in.Take(len);
            for (size_t i = d.size(); i < len; ++i) d.push_back(static_cast<uint8_t>(op + i));
            if (!hostNetInject(b.ipAddr, b.ports[port], b.fromAddr, fromPort, d.data(), len)) {
                fuzz::Fail("a port of the gate has no socket");
            }
            if (len > 0 && len <= LEN_BD_BUFFER) b.sent[port].push_back({fromPort, d});
            break;
        }
        case OP_POLL:
            for (uint32_t n = 1 + (op >> MAX_PASSES_SHIFT); n > 0; --n) b.gate->PollPorts();
            break;
        case OP_ROUTE:
            route(b);
            break;
        case OP_HOLD:
            for (uint32_t n = in.Byte(); n > 0 && fuzz::FreeBds() > 0; --n) {
                b.held.push_back(BdPool::Get());
            }
            break;
        case OP_RELEASE:
            release(b);
            break;
        case OP_RESET:
            b.gate->ResetStatsUdp();
            for (auto& c : counters) c.Forget();
            drops = 0;
            break;
        default:
            break;
        }
        for (uint32_t i = 0; i < MAX_NUM_UDP_PORTS; ++i) {
            UDP_STATS_T s{};
            b.gate->GetStatsUdpPort(i, s);
            counters[i].CheckRecord(s);
        }
        if (b.gate->GetNumOfMailboxDrops() < drops) fuzz::Fail("a counter went down");
        drops = b.gate->GetNumOfMailboxDrops();
        fuzz::CheckPool(false, static_cast<uint32_t>(b.held.size()));
    }
    release(b);
    while (hostNetInjectedPending() != 0) {
        b.gate->PollPorts();
        route(b);
    }
    route(b);
    fuzz::CheckPool(true);
    return 0;
}
