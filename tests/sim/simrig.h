// One seed of the whole-gateway simulation (see sim_test.cpp): the firmware
// started as the runner starts it, a peer task that plays every outside party
// once per tick, and the checks at the end. Runs once per process.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bacmapl.h"
#include "bacmpeer.h"
#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "boardapl.h"
#include "bpposapl.h"
#include "configapl.h"
#include "dcapl.h"
#include "ethapl.h"
#include "exmapl.h"
#include "hostboard.h"
#include "hostconfig.h"
#include "hostkernel.h"
#include "hostlink_engine.h"
#include "hostmcspi.h"
#include "hostperiph.h"
#include "hostuart.h"
#include "ipgateapl.h"
#include "linepipe.h"
#include "rawosapl.h"
#include "rawospeer.h"
#include "routerapl.h"
#include "scigateapl.h"
#include "soc_uart.h"
#include "spigateapl.h"
#include "uartdrvapl.h"
#include "wdtdrvapl.h"

struct SimResult {
    bool ok = true;
    std::string text;
};

namespace sim {

using Bytes = std::vector<uint8_t>;
constexpr uint64_t START_LIMIT_MS = 4000;  // configured and every link up by then
constexpr uint64_t TRAFFIC_MS = 800;       // traffic and faults
constexpr uint64_t QUIET_MS = 500;         // lines and queues drain
constexpr uint64_t RECOVER_MS = 1300;      // a silent host link back up: keep-alive window + margin
constexpr uint32_t HOST_PERIOD = 10;       // the host clocks its links every 10 ms
constexpr uint64_t SETTLE_MS = 5 * HOST_PERIOD;  // from drained queues to the end
constexpr uint32_t RAW_GAP_MS = 40;              // silence a RAWoS peer keeps between messages
constexpr uint16_t PORT_ETH[2] = {2000, 5000};

// Flows: source and destination parties.
enum Party : uint8_t { H1, H2, L1, L2, L3, U0, U1, NUM_PARTIES };
struct Flow {
    Party from, to;
    uint16_t port;  // the destination port a host addresses
};
constexpr Flow FLOWS[] = {{H1, L1, 2010}, {L1, H1, 0}, {H1, L2, 2011}, {L2, H1, 0},
                          {H2, L3, 2010}, {L3, H2, 0}, {H1, U0, 2000}, {U0, H1, 0},
                          {H2, U1, 5000}, {U1, H2, 0}};
constexpr size_t NUM_FLOWS = sizeof FLOWS / sizeof FLOWS[0];

struct FlowLog {
    std::vector<uint64_t> sentAt;          // per sequence number
    std::map<uint32_t, uint32_t> arrived;  // sequence -> times
};

struct Rig {
    std::mt19937 rng;
    uint32_t slot = 0;
    bool verbose = false;
    uint64_t now = 0, trafficStart = 0, nextHostPoll = 0, drainedAt = 0;
    bool configured = false, done = false;
    bool boardTalking[2] = {};
    bool udpOn = false;  // loopback sockets run on the host's time: not repeatable
    bool silenceChecked = false, peerOff = false, faultsOff = false;
    size_t nextBurst = 0;
    std::unique_ptr<hostlink::LinkEngine> host[2];
    std::unique_ptr<zok2tools::BacmPeer> bacm;
    std::unique_ptr<zok2tools::RawosPeer> raw[2];
    std::unique_ptr<zok2tools::LinePipe> line[3];
    uint64_t lineBusyUntil[3] = {};
    int udp[2] = {-1, -1};
    uint32_t boardAddr[2] = {}, peerAddr[2] = {};
    FlowLog flows[NUM_FLOWS];
    uint32_t damaged[NUM_PARTIES] = {}, misrouted = 0;
    // Faults of this seed.
    double flipP[3] = {}, dropP[3] = {};
    int silentLink = -1;
    uint64_t silentFrom = 0, silentTo = 0;
    int restartLine = -1;
    uint64_t restartFrom = 0, restartTo = 0;
    uint64_t peerOffBytes = 0;
    uint32_t lostInPeer = 0;  // messages queued in the restarted BAC-M peer
    std::vector<uint64_t> bursts;
    struct Window {
        uint64_t from, to;
    };
    std::vector<Window> down[NUM_PARTIES];  // the board's link to a party was down
    uint64_t downSince[NUM_PARTIES] = {};
    uint32_t rate[NUM_FLOWS] = {};  // one message per this many ms, on average
    std::string fails, console;
};
inline Rig& rig()
{
    static Rig r;
    return r;
}

inline void fail(const std::string& what)
{
    rig().fails += "  at " + std::to_string(rig().now) + " ms: " + what + "\n";
}

// Protocol statistics: the link state is every record's first field. The
// protocol writes its own record, whichever type the caller reads, so the
// buffer holds the largest.
constexpr size_t kLargestStats =
    std::max({sizeof(BACM_STATS_T), sizeof(RAWOS_STATS_T), sizeof(BPPOS_STATS_T)});
template <typename T>
T statsOf(IProtocol* p)
{
    alignas(uint32_t) uint8_t raw[std::max(sizeof(T), kLargestStats)];
    p->GetStats(raw);
    T s;
    std::memcpy(&s, raw, sizeof s);
    return s;
}
inline IProtocol* lineProt(int k) { return hSciGate[k]->protHandle; }
inline bool boardLinkUp(IProtocol* p) { return statsOf<BPPOS_STATS_T>(p).linkActivity == LINK_UP; }

// Message: flow, sequence (2), filler length (2), filler, then a 32-bit
// hash of our own (a damaged RAWoS message passes it once in 2^32).
inline uint32_t hash(const uint8_t* m, size_t n)
{
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ m[i]) * 16777619u;
    return h;
}
inline Bytes makeMessage(size_t flow, uint32_t seq, size_t fill)
{
    Bytes m = {static_cast<uint8_t>(flow), static_cast<uint8_t>(seq >> 8),
               static_cast<uint8_t>(seq), static_cast<uint8_t>(fill >> 8),
               static_cast<uint8_t>(fill)};
    for (size_t i = 0; i < fill; ++i) m.push_back(static_cast<uint8_t>(rig().rng()));
    const uint32_t h = hash(m.data(), m.size());
    for (int i = 24; i >= 0; i -= 8) m.push_back(static_cast<uint8_t>(h >> i));
    return m;
}
// A whole message at m (up to avail bytes) whose hash checks; its size.
inline bool checks(const uint8_t* m, size_t avail, size_t& size)
{
    if (avail < 9) return false;
    size = static_cast<size_t>(m[3] << 8 | m[4]) + 9;
    if (size > avail) return false;
    const uint32_t h = hash(m, size - 4);
    return m[size - 4] == static_cast<uint8_t>(h >> 24) &&
           m[size - 3] == static_cast<uint8_t>(h >> 16) &&
           m[size - 2] == static_cast<uint8_t>(h >> 8) && m[size - 1] == static_cast<uint8_t>(h);
}

inline void arrived(Party at, const Bytes& m)
{
    Rig& r = rig();
    size_t size = 0;
    if (!checks(m.data(), m.size(), size) || size != m.size() || m[0] >= NUM_FLOWS) {
        ++r.damaged[at];
        return;
    }
    const uint32_t seq = static_cast<uint32_t>(m[1] << 8 | m[2]);
    if (FLOWS[m[0]].to != at || seq >= r.flows[m[0]].sentAt.size()) {
        ++r.misrouted;
        fail("flow " + std::to_string(m[0]) + " message " + std::to_string(seq) + " misrouted");
        return;
    }
    ++r.flows[m[0]].arrived[seq];
}

// The board sends RAWoS messages back to back, so the far end may hear
// several as one: cut them apart by their own length, and after damage look
// for the next message that checks.
inline void arrivedStream(Party at, const Bytes& chunk)
{
    bool skipping = false;
    for (size_t i = 0, size = 0; i < chunk.size();) {
        if (checks(&chunk[i], chunk.size() - i, size)) {
            arrived(at, Bytes(chunk.begin() + static_cast<long>(i),
                              chunk.begin() + static_cast<long>(i + size)));
            i += size;
            skipping = false;
        } else {
            if (!skipping) ++rig().damaged[at];
            skipping = true;
            ++i;
        }
    }
}

inline hostlink::Message hostMessage(uint16_t port, uint32_t destAddr, uint32_t srcAddr, Bytes p)
{
    hostlink::Message m;
    m.destPort = m.sourcePort = port;
    m.destAddr = destAddr;
    m.sourceAddr = srcAddr;
    m.payload = std::move(p);
    return m;
}

// Sends the next message of a flow if its sender can take one now.
inline void sendOn(size_t f)
{
    Rig& r = rig();
    const Flow& fl = FLOWS[f];
    const uint32_t seq = static_cast<uint32_t>(r.flows[f].sentAt.size());
    if (seq > 0xFFFF) return;
    const bool serial = fl.from == L1 || fl.from == L2 || fl.from == L3 || fl.to == L1 ||
                        fl.to == L2 || fl.to == L3;
    const size_t maxFill = fl.to == L1 || fl.from == L1 ? 240 : serial ? 60 : 1000;
    const Bytes m = makeMessage(f, seq, std::uniform_int_distribution<size_t>(0, maxFill)(r.rng));
    switch (fl.from) {
    case H1:
    case H2: {
        hostlink::LinkEngine& e = *r.host[fl.from - H1];
        if (e.pendingBytes() > 16000) return;
        const bool toEth = fl.to == U0 || fl.to == U1;
        const int g = fl.from - H1;
        e.queueMessage(hostMessage(fl.port, toEth ? ntohl(r.peerAddr[g]) : 0x0A500001,
                                   toEth ? ntohl(r.boardAddr[g]) : 0x0A500010, m),
                       r.now);
        break;
    }
    case L1:
        if (r.restartLine == 0 && r.now >= r.restartFrom && r.now < r.restartTo) return;
        if (!r.bacm->Send(m)) return;
        break;
    case L2:
    case L3: {
        const int k = fl.from - L1;
        if (r.now < r.lineBusyUntil[k]) return;
        if (r.restartLine == k && r.now >= r.restartFrom && r.now < r.restartTo) return;
        r.raw[k - 1]->Send(m);
        r.lineBusyUntil[k] = r.now + m.size() * 10 / 115 + 1 + RAW_GAP_MS;
        break;
    }
    default: {
        const int g = fl.from - U0;
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(PORT_ETH[g]);
        to.sin_addr.s_addr = r.boardAddr[g];
        if (::sendto(r.udp[g], m.data(), m.size(), 0, reinterpret_cast<sockaddr*>(&to),
                     sizeof to) != static_cast<ssize_t>(m.size()))
            return;
    }
    }
    r.flows[f].sentAt.push_back(r.now);
}

}  // namespace sim

SimResult simRunSeed(uint32_t seed, uint32_t slot, bool verbose);
