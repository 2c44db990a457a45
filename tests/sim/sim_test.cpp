// The whole gateway in one process on virtual time, started as the runner
// starts it, against in-process peers: the host-link engine on both links
// (through the McSPI model), a BAC-M master on line 1, RAWoS ends on lines 2
// and 3 (through the UART model, across seeded lossy lines) and UDP peers on
// loopback sockets. Each seed draws its traffic and faults; every seed runs in
// a child process (the firmware's modules are singletons).
//
// Traffic: every message carries its flow, a sequence number and a checksum
// of its own. Faults: byte flips and drops on the lines, a host link clocked
// no more for longer than its time-out, a serial peer restarted (its queue
// and half-received message gone), bursts that fill the mailbox and the pool.
// After the faults stop, the run goes on quietly, then checks:
//  - no fatal error (the child would exit with the fatal status);
//  - each message arrived once, or its loss is counted, excused or one of
//    BAC-M's own limits on a damaged line (see bacmLimits);
//  - BAC-M has no sequence numbers: a frame repeated after its ACK was lost
//    is delivered twice. Duplicates on a BAC-M flow must not exceed the
//    repeats its sender made; on every other flow no duplicate is allowed;
//  - RAWoS has no check: a damaged message arrives damaged. Damaged messages
//    (own checksum wrong) are allowed only on a line that flipped or dropped
//    bytes, at most one per damaged byte;
//  - the pool holds all its BDs; every link is up at both ends.
// Replay a seed: ZOK2_SIM_SEED=n test_sim; long runs: ZOK2_SIM_SEEDS=n.
#include "simrig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

using namespace sim;

namespace {

uint64_t envOr(const char* name, uint64_t fallback)
{
    const char* v = std::getenv(name);
    return v != nullptr ? std::strtoull(v, nullptr, 10) : fallback;
}

void consoleByte(uint8_t byte, void*)
{
    std::string& c = rig().console;
    if (c.size() > 8192) c.erase(0, 4096);
    c.push_back(static_cast<char>(byte));
}
void fatalPutByte(uint8_t byte) { uartWriteByte(DC_UART_INDEX, byte); }
const EXM_HOOKS_T FATAL_HOOKS = {fatalPutByte, WtdDrv::Restart};
void halted(int32_t code)
{
    std::fprintf(stderr, "fatal error %d; console:\n%s\n%s", static_cast<int>(code),
                 rig().console.c_str(), rig().fails.c_str());
    std::fflush(stderr);
    _exit(hostExitStatusForFatal(code));
}

// As the runner's main task: start-up inside the kernel, then the watchdog.
void mainTask(UArg, UArg)
{
    Ethernet::DiscoverDevices();
    Config::Init();
    Router::Init();
    for (;;) {
        WtdDrv::Restart();
        ti_sysbios_knl_Task_sleep(1000);
    }
}

bool inWindow(uint64_t from, uint64_t to) { return rig().now >= from && rig().now < to; }

void newPeer(int k)
{
    Rig& r = rig();
    if (k == 0) {
        zok2tools::BacmPeerConfig c;
        c.address = 5;
        c.recvTimeoutMs = 300;  // the board may hold the turn for 200 ms
        r.bacm = std::make_unique<zok2tools::BacmPeer>(c, r.now);
    } else {
        zok2tools::RawosPeerConfig c;
        c.interCharGapMs = 16;
        c.recvTimeoutMs = 60000;  // as the board's
        r.raw[k - 1] = std::make_unique<zok2tools::RawosPeer>(c);
    }
}

// The serial lines: board UART -> lossy line -> peer, and back.
void pumpLines()
{
    Rig& r = rig();
    for (int k = 0; k < 3; ++k) {
        uint8_t buf[4096];
        size_t n = hostUartTakeTx(static_cast<uint32_t>(k + 1), buf, sizeof buf);
        const bool off = r.restartLine == k && inWindow(r.restartFrom, r.restartTo);
        if (off && !r.peerOff) {
            r.peerOff = true;
            if (k == 0) r.lostInPeer += static_cast<uint32_t>(r.bacm->Queued());
        }
        if (!off && r.peerOff && r.restartLine == k) {
            r.peerOff = false;
            newPeer(k);
        }
        zok2tools::LinePipe& l = *r.line[k];
        l.aToB.Write(buf, off ? 0 : n, r.now);
        if (off) r.peerOffBytes += n;
        const Bytes in = l.aToB.Read(r.now);
        if (!off) {
            std::vector<Bytes> got;
            if (k == 0) {
                r.bacm->Receive(in.data(), in.size(), r.now);
                r.bacm->Poll(r.now);
                l.bToA.Write(r.bacm->TakeOutput(), r.now);
                got = r.bacm->TakeReceived();
            } else {
                zok2tools::RawosPeer& p = *r.raw[k - 1];
                p.Receive(in.data(), in.size(), r.now);
                p.Poll(r.now);
                l.bToA.Write(p.TakeOutput(), r.now);
                got = p.TakeReceived();
            }
            for (const Bytes& m : got) {
                if (k == 0) arrived(L1, m);
                if (k != 0) arrivedStream(static_cast<Party>(L1 + k), m);
            }
        }
        const Bytes back = l.bToA.Read(r.now);
        if (!back.empty()) hostUartLineIn(static_cast<uint32_t>(k + 1), back.data(), back.size());
    }
}

// The hosts clock their links every period unless one is kept silent.
void pumpHosts()
{
    Rig& r = rig();
    if (r.now < r.nextHostPoll) return;
    r.nextHostPoll = r.now + HOST_PERIOD;
    for (int i = 0; i < 2; ++i) {
        hostlink::LinkEngine& e = *r.host[i];
        if (r.silentLink == i && inWindow(r.silentFrom, r.silentTo)) {
            e.supervise(r.now);
            continue;
        }
        e.tick(r.now);
        // As a polling host does: long bursts while the board talks.
        const Bytes chunk = e.nextChunk(r.now, r.boardTalking[i] ? 4096 : 32, 4096);
        Bytes back(chunk.size());
        r.boardTalking[i] = false;
        if (hostMcspiClockSync(static_cast<uint32_t>(i), chunk.data(), back.data(),
                               static_cast<uint32_t>(chunk.size()))) {
            e.received(back.data(), back.size(), r.now);
            for (uint8_t b : back) r.boardTalking[i] = r.boardTalking[i] || b != 0x16;
        }
    }
}

void pumpUdp()
{
    Rig& r = rig();
    for (int g = 0; g < 2 && r.udpOn; ++g) {
        uint8_t buf[2048];
        for (ssize_t n; (n = ::recv(r.udp[g], buf, sizeof buf, MSG_DONTWAIT)) >= 0;) {
            arrived(static_cast<Party>(U0 + g), Bytes(buf, buf + n));
        }
    }
}

void configure()
{
    Rig& r = rig();
    for (int g = 0; g < 2; ++g) {
        zok2tools::GroupConfig c;
        c.mask = 0xFFFFFF00;
        c.gateway = ntohl(r.peerAddr[g]) + 253;
        c.address = ntohl(r.boardAddr[g]);
        c.ports = {PORT_ETH[g]};
        c.bacmAddr = 5;
        c.line[0] = {g == 0 ? "rs232" : "rs485", g == 0 ? "bacm" : "rawos", 115200, "none", 16};
        c.line[1] = {"rs232", "rawos", 115200, "none", 16};
        Bytes msg;
        std::string err;
        if (!zok2tools::EncodeConfig(c, msg, &err)) fail("configuration: " + err);
        r.host[g]->queueMessage(hostMessage(zok2tools::CONFIG_PORT, 0, 0, msg), r.now);
    }
    r.configured = true;
}

// Both ends of every link agree, and with `up` they are up.
void checkLinks(const char* when, int downLink)
{
    Rig& r = rig();
    for (int i = 0; i < 2; ++i) {
        const bool wantUp = i != downLink;
        const bool board = boardLinkUp(hSpiGate[i]->protHandle);
        if (board != r.host[i]->linkUp() || board != wantUp) {
            fail(std::string(when) + ": host link " + std::to_string(i + 1) + " board " +
                 (board ? "up" : "down") + ", host " + (r.host[i]->linkUp() ? "up" : "down"));
        }
    }
}

// The board's own link to a host or to the BAC-M master, sampled every tick.
IProtocol* boardSide(Party p) { return p == L1 ? lineProt(0) : hSpiGate[p - H1]->protHandle; }
void sampleLinks(bool closeAll)
{
    Rig& r = rig();
    for (Party p : {H1, H2, L1}) {
        const bool up = !closeAll && boardLinkUp(boardSide(p));
        if (!up && r.downSince[p] == 0) r.downSince[p] = r.now;
        if (up && r.downSince[p] != 0) {
            r.down[p].push_back({r.downSince[p], r.now});
            r.downSince[p] = 0;
        }
    }
}

void finish()
{
    Rig& r = rig();
    sampleLinks(true);
    checkLinks("at the end", -1);
    if (!boardLinkUp(lineProt(0)) || !r.bacm->LinkUp()) fail("BAC-M link not up at both ends");
    // The board's RAWoS end is up once it has heard a message (within 60 s).
    for (int k = 1; k < 3; ++k) {
        if (boardLinkUp(lineProt(k)) != !r.flows[k == 1 ? 3 : 5].sentAt.empty()) {
            fail("RAWoS line " + std::to_string(k + 1) + ": a link state the peer did not see");
        }
    }
    BDPOOL_STATS_T pool;
    BdPool::GetStats(pool);
    if (pool.numOfFreeBds != NUM_BDS || BdMail::NumPending() != 0) {
        fail("pool holds " + std::to_string(pool.numOfFreeBds) + " BDs at rest");
    }
    r.done = true;
    hostKernelStop();
}

// Bursts through the host links, and through Ethernet when UDP is on.
constexpr size_t FLOWS_TO_BURST[] = {0, 2, 4, 6, 7, 8, 9};

void peerTask(UArg, UArg)
{
    Rig& r = rig();
    for (;;) {
        r.now = ti_sysbios_knl_Clock_getTicks();
        if (!r.done) {
            pumpHosts();
            pumpLines();
            pumpUdp();
            if (!r.configured && r.host[0]->linkUp() && r.host[1]->linkUp()) configure();
            ROUTER_STATS_T rs;
            Router::GetStats(rs);
            if (r.trafficStart == 0 && rs.routerState == 1 && r.bacm->LinkUp()) {
                r.trafficStart = r.now;
                for (int k = 0; k < 3; ++k) r.line[k]->aToB.SetFaults(r.flipP[k], r.dropP[k]);
                for (int k = 0; k < 3; ++k) r.line[k]->bToA.SetFaults(r.flipP[k], r.dropP[k]);
                r.silentFrom += r.now, r.silentTo += r.now, r.restartFrom += r.now;
                r.restartTo += r.now;
                for (uint64_t& b : r.bursts) b += r.now;
            }
            if (r.trafficStart == 0 && r.now > START_LIMIT_MS) {
                fail("not configured with every link up");
                finish();
            }
            const uint64_t end = r.trafficStart + TRAFFIC_MS;
            if (r.trafficStart != 0) sampleLinks(false);
            if (r.trafficStart != 0 && r.now < end) {
                // Line 3 is RS-485, half duplex: one direction in each half.
                const bool firstHalf = r.now < r.trafficStart + TRAFFIC_MS / 2 - 150;
                const bool secondHalf = r.now >= r.trafficStart + TRAFFIC_MS / 2;
                for (size_t f = 0; f < NUM_FLOWS; ++f) {
                    if ((f == 4 && !firstHalf) || (f == 5 && !secondHalf)) continue;
                    if (f >= 6 && !r.udpOn) continue;
                    if (r.rng() % r.rate[f] == 0) sendOn(f);
                }
                for (; r.nextBurst < r.bursts.size() && r.bursts[r.nextBurst] <= r.now;
                     ++r.nextBurst) {
                    for (uint32_t n = 40 + r.rng() % 40; n > 0; --n) {
                        sendOn(FLOWS_TO_BURST[r.rng() % (r.udpOn ? 7 : 3)]);
                    }
                }
            }
            if (r.trafficStart != 0 && r.now >= end && !r.faultsOff) {
                r.faultsOff = true;
                for (int k = 0; k < 3; ++k) r.line[k]->aToB.SetFaults(0, 0);
                for (int k = 0; k < 3; ++k) r.line[k]->bToA.SetFaults(0, 0);
            }
            if (r.silentLink >= 0 && r.now + 2 >= r.silentTo && !r.silenceChecked &&
                r.silentTo - r.silentFrom > 2100) {
                r.silenceChecked = true;
                checkLinks("end of silence", r.silentLink);
            }
            const uint64_t quietEnd = r.silentLink >= 0
                                          ? std::max(end + QUIET_MS, r.silentTo + RECOVER_MS)
                                          : end + QUIET_MS;
            // Quiescent: every queue of the BAC-M exchange (one message a turn)
            // empty and its link back (a restarted master may wait out the
            // board's 1 s time-out). The master must hold the turn: while it
            // waits, its last INFO may still be on the line, unanswered.
            const bool drained = r.trafficStart != 0 && r.now >= quietEnd &&
                                 r.bacm->Queued() == 0 && r.bacm->HoldsTurn() &&
                                 boardLinkUp(lineProt(0)) &&
                                 statsOf<BACM_STATS_T>(lineProt(0)).loadSendMsgQueue == 0 &&
                                 r.host[0]->pendingBytes() == 0 && r.host[1]->pendingBytes() == 0;
            // Traffic has stopped: once drained, only the last message the
            // board took is still crossing its host link (a few host periods).
            if (drained && r.drainedAt == 0) r.drainedAt = r.now;
            const bool settled = r.drainedAt != 0 && r.now >= r.drainedAt + SETTLE_MS;
            if (r.trafficStart != 0 && r.now >= quietEnd && (settled || r.now >= quietEnd + 4000)) {
                if (!settled) fail("queues still full");
                finish();
            }
        }
        ti_sysbios_knl_Task_sleep(2);  // as often as the UART drivers look
    }
}

// This seed's traffic rates and faults, times relative to the traffic start.
void draw()
{
    Rig& r = rig();
    auto pick = [&](uint32_t lo, uint32_t hi) { return lo + r.rng() % (hi - lo + 1); };
    for (size_t f = 0; f < NUM_FLOWS; ++f) {
        const bool serial = FLOWS[f].to >= L1 && FLOWS[f].to <= L3;
        const bool fromSerial = FLOWS[f].from >= L1 && FLOWS[f].from <= L3;
        r.rate[f] = serial || fromSerial ? pick(20, 80) : pick(5, 20);
    }
    for (int k = 0; k < 3; ++k) {
        if (r.rng() % 2 == 0) continue;
        r.flipP[k] = pick(0, 1000) * 2e-6;
        r.dropP[k] = pick(0, 1000) * 1e-6;
    }
    if (r.rng() % 4 == 0) {  // beyond the time-out (2 s) or not
        r.silentLink = static_cast<int>(r.rng() % 2);
        r.silentFrom = pick(0, 200);
        r.silentTo = r.silentFrom + pick(1200, 2300);
    }
    if (r.rng() % 3 == 0) {
        r.restartLine = static_cast<int>(r.rng() % 3);
        r.restartFrom = pick(0, TRAFFIC_MS - 300);
        r.restartTo = r.restartFrom + pick(5, 300);
    }
    for (uint32_t n = r.rng() % 4; n > 0; --n) r.bursts.push_back(pick(0, TRAFFIC_MS - 1));
    std::sort(r.bursts.begin(), r.bursts.end());
}

int udpPeer(uint32_t addr, uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = addr;
    const int big = 1 << 20;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        fail(std::string("UDP peer bind: ") + std::strerror(errno));
    }
    return fd;
}

// A loss the firmware counts nowhere, allowed only where the sim saw its
// cause: the board's link to the destination down (messages for it are
// refused), a burst that overran a queue, a restarted peer. Bound: 1 s, more
// than any message spends in the board.
bool excused(size_t f, uint64_t sentAt)
{
    const Rig& r = rig();
    const uint64_t lead = 1000;
    auto near = [&](uint64_t from, uint64_t to) { return sentAt + lead >= from && sentAt <= to; };
    if (r.silentLink >= 0 && FLOWS[f].to == H1 + r.silentLink && near(r.silentFrom, r.silentTo)) {
        return true;  // the host stopped clocking: the board's transmit FIFO overflows
    }
    for (const Rig::Window& w : r.down[FLOWS[f].to]) {
        if (near(w.from, w.to)) return true;
    }
    for (uint64_t b : r.bursts) {
        if (near(b, b + lead)) return true;
    }
    const Party line = static_cast<Party>(L1 + r.restartLine);
    return r.restartLine >= 0 && (FLOWS[f].from == line || FLOWS[f].to == line) &&
           near(r.restartFrom, r.restartTo);
}

// Drops the firmware counts on a flow's path.
uint64_t counted(size_t f)
{
    const Flow& fl = FLOWS[f];
    uint64_t n = 0;
    if (fl.from == H1 || fl.from == H2) {
        const BPPOS_STATS_T s = statsOf<BPPOS_STATS_T>(hSpiGate[fl.from - H1]->protHandle);
        n += s.numOfCrcErrors + s.numOfPacketFormatErrors + s.numOfRecvDataQueueFullErrors +
             s.numOfRecvdMsgLengthErrors;
        ROUTER_STATS_T rs;
        Router::GetStats(rs);
        n += rs.numOfUnknownUdpPortErrors;
    }
    if (fl.to == H1 || fl.to == H2) {
        const BPPOS_STATS_T s = statsOf<BPPOS_STATS_T>(hSpiGate[fl.to - H1]->protHandle);
        n += s.numOfSendMsgLengthErrors + s.numOfSendDataQueueFullErrors;
    }
    if (fl.from == L1 || fl.to == L1) {
        const BACM_STATS_T s = statsOf<BACM_STATS_T>(lineProt(0));
        n += fl.to == L1 ? s.numOfSendMsgQueueFullErrors + s.numOfSendMsgLengthErrors
                         : s.numOfCrcErrors + s.numOfPacketFormatErrors +
                               s.numOfRecvDataQueueFullErrors + s.numOfRecvdMsgLengthErrors;
    }
    for (Party p : {L2, L3}) {
        if (fl.from != p) continue;
        const RAWOS_STATS_T s = statsOf<RAWOS_STATS_T>(lineProt(p - L1));
        n += s.numOfRecvDataQueueFullErrors + s.numOfRecvdMsgLengthErrors;
    }
    for (int g = 0; g < 2; ++g) {
        UDP_STATS_T u;
        hIpGate[g]->GetStatsUdpPort(0, u);
        if (fl.to == U0 + g) n += u.numOfSendErrors;
        if (fl.from == U0 + g) n += u.numOfRecvErrors + hIpGate[g]->GetNumOfMailboxDrops();
    }
    // RAWoS has no check: each flipped or dropped byte may cost one message.
    for (Party p : {L2, L3}) {
        const zok2tools::LinePipe& l = *rig().line[p - L1];
        if (fl.to == p) n += l.aToB.Counters().flipped + l.aToB.Counters().dropped;
        if (fl.from == p) n += l.bToA.Counters().flipped + l.bToA.Counters().dropped;
    }
    return n;
}

// Losses BAC-M cannot avoid on a damaged line, none counted by the board.
// An answer does not say which packet it answers (no sequence numbers):
//  - a frame whose opening (address, DLE, STX) is damaged vanishes whole;
//  - a frame whose end is damaged is read as text until the next frame opens,
//    then dropped as a format error without a NACK;
//  in both, when the receiver's time-out runs out before the sender's, its
//  repeat reads as the acknowledgement and the message is gone (the master's
//  300 ms against the board's 1 s: the frames to the master);
//  - the CRC starts at 0, so a lost leading zero byte of a text goes unseen:
//    the message arrives short (counted damaged here; flow 0 starts with 0).
// Bound, only where the line was damaged: the frames sent that the receiver
// neither took nor answered with a NACK, and the damaged messages.
uint64_t bacmLimits(size_t f)
{
    if (f > 1) return 0;
    const zok2tools::LineChannel& c = f == 0 ? rig().line[0]->aToB : rig().line[0]->bToA;
    if (c.Counters().dropped == 0 && c.Counters().flipped == 0 && rig().restartLine != 0) return 0;
    const BACM_STATS_T b = statsOf<BACM_STATS_T>(lineProt(0));
    const zok2tools::BacmPeerCounters& p = rig().bacm->Counters();
    const uint64_t taken =
        f == 0 ? p.infoReceived + p.crcErrors + p.emptyFrames
               : uint64_t{b.numOfRecvdMessages} + b.numOfCrcErrors + b.numOfRecvdMsgLengthErrors;
    const uint64_t sent = f == 0 ? b.numOfSentMessages : p.infoSent;
    return (sent > taken ? sent - taken : 0) + (f == 0 ? rig().damaged[L1] : 0);
}

// Every message delivered once, or its loss accounted for.
void account(std::string& text)
{
    Rig& r = rig();
    const BACM_STATS_T bs = statsOf<BACM_STATS_T>(lineProt(0));
    char line[256];
    for (size_t f = 0; f < NUM_FLOWS; ++f) {
        const FlowLog& fl = r.flows[f];
        uint64_t unique = 0, dups = 0, excusedLost = 0, lost = 0;
        for (const auto& a : fl.arrived) {
            ++unique;
            dups += a.second - 1;
        }
        for (uint32_t seq = 0; seq < fl.sentAt.size(); ++seq) {
            if (fl.arrived.count(seq) != 0) continue;
            ++(excused(f, fl.sentAt[seq]) ? excusedLost : lost);
            if (!excused(f, fl.sentAt[seq]) && lost <= 3 && r.verbose) {
                text += "  flow " + std::to_string(f) + " lost message " + std::to_string(seq) +
                        " sent at " + std::to_string(fl.sentAt[seq]) + " ms\n";
            }
        }
        const uint64_t budget = counted(f) + (f == 1 ? r.lostInPeer : 0) + bacmLimits(f);
        uint64_t dupLimit = 0;
        if (f == 0) dupLimit = bs.numTotalReTxMsg;
        if (f == 1) dupLimit = r.bacm->Counters().infoRepeated;
        std::snprintf(
            line, sizeof line,
            "flow %zu: sent %zu, arrived %llu, lost %llu (counted drops %llu) + %llu "
            "excused, dup %llu (repeats %llu)\n",
            f, fl.sentAt.size(), static_cast<unsigned long long>(unique),
            static_cast<unsigned long long>(lost), static_cast<unsigned long long>(budget),
            static_cast<unsigned long long>(excusedLost), static_cast<unsigned long long>(dups),
            static_cast<unsigned long long>(dupLimit));
        text += line;
        if (dups > dupLimit) fail("flow " + std::to_string(f) + ": duplicates beyond repeats");
        if (lost > budget) fail("flow " + std::to_string(f) + ": losses no counter explains");
    }
    std::snprintf(
        line, sizeof line,
        "bacm: crc %u fmt %u qfull %u sendq %u retx %u; damaged H1 %u H2 %u L1 %u L2 %u L3 %u; "
        "peer off bytes %llu, lost in peer %u\n",
        bs.numOfCrcErrors, bs.numOfPacketFormatErrors, bs.numOfRecvDataQueueFullErrors,
        bs.numOfSendMsgQueueFullErrors, bs.numTotalReTxMsg, r.damaged[H1], r.damaged[H2],
        r.damaged[L1], r.damaged[L2], r.damaged[L3],
        static_cast<unsigned long long>(r.peerOffBytes), r.lostInPeer);
    text += line;
    const BPPOS_STATS_T h1 = statsOf<BPPOS_STATS_T>(hSpiGate[0]->protHandle);
    std::snprintf(line, sizeof line,
                  "bacm board recvd %u sent %u; peer info sent %llu acks recvd %llu recvd %llu; "
                  "host link 1 board sent %u, host got %llu\n",
                  bs.numOfRecvdMessages, bs.numOfSentMessages,
                  (unsigned long long)r.bacm->Counters().infoSent,
                  (unsigned long long)r.bacm->Counters().ackReceived,
                  (unsigned long long)r.bacm->Counters().infoReceived, h1.numOfSentMessages,
                  (unsigned long long)r.host[0]->stats().framesReceived);
    text += line;
    std::snprintf(line, sizeof line,
                  "faults: flip %g/%g/%g drop %g/%g/%g, silent link %d %llu-%llu, restart line %d "
                  "%llu-%llu, %zu bursts\n",
                  r.flipP[0], r.flipP[1], r.flipP[2], r.dropP[0], r.dropP[1], r.dropP[2],
                  r.silentLink + 1, static_cast<unsigned long long>(r.silentFrom),
                  static_cast<unsigned long long>(r.silentTo), r.restartLine + 1,
                  static_cast<unsigned long long>(r.restartFrom),
                  static_cast<unsigned long long>(r.restartTo), r.bursts.size());
    text += line;
}

}  // namespace

SimResult simRunSeed(uint32_t seed, uint32_t slot, bool verbose)
{
    Rig& r = rig();
    r.rng.seed(seed);
    r.slot = slot;
    r.verbose = verbose;
    r.udpOn = envOr("ZOK2_SIM_UDP", 0) != 0;
    draw();
    hostKernelReset(HostClockMode::Virtual);
    hostPeripheralsInstall();
    hostHeapReset();
    hostSetHaltHandler(halted);
    exmSetHooks(&FATAL_HOOKS);
    hostUartSetTxSink(SOC_UART0_BASE, consoleByte, nullptr);
    for (int g = 0; g < 2; ++g) {
        // Loopback addresses of this run's own (the board binds its ports
        // there): by process and slot, so that runs side by side do not meet.
        const uint32_t run = static_cast<uint32_t>(::getppid() % 50);
        const uint32_t net = 0x7F000000u | (100u + 50u * g + run) << 16 | slot << 8;
        r.peerAddr[g] = htonl(net | 1);
        r.boardAddr[g] = htonl(net | 2);
        if (r.udpOn) r.udp[g] = udpPeer(r.peerAddr[g], PORT_ETH[g]);
    }
    for (int i = 0; i < 2; ++i) {
        hostlink::LinkConfig c;
        r.host[i] = std::make_unique<hostlink::LinkEngine>(c, 0);
        r.host[i]->onMessage([i](const hostlink::Message& m) {
            if (m.destPort != zok2tools::CONFIG_PORT)
                arrived(static_cast<Party>(H1 + i), m.payload);
        });
    }
    for (int k = 0; k < 3; ++k) {
        r.line[k] =
            std::make_unique<zok2tools::LinePipe>(0, seed * 8 + static_cast<uint32_t>(k) * 2);
        newPeer(k);
    }

    // Start-up as the runner's main() does it.
    hostHeapRouteNew(true);
    kernelConfig();
    boardMmuInit(applMmuEntries);
    boardInit();
    WtdDrv::Init();
    dcInit();
    Ethernet::Init();
    BdPool::Init();
    BdMail::Init();
    ti_sysbios_knl_Task_Params p;
    ti_sysbios_knl_Task_Params_init(&p);
    p.priority = 1;
    p.stackSize = 4096;
    p.instanceName = "main";
    ti_sysbios_knl_Task_create(mainTask, &p);
    p.priority = 11;  // above every firmware task: the outside world moves first
    p.instanceName = "peers";
    ti_sysbios_knl_Task_create(peerTask, &p);
    hostHeapRouteNew(false);

    hostKernelRun(START_LIMIT_MS + TRAFFIC_MS + 2300 + RECOVER_MS + 5000);
    if (!r.done) fail("the run did not finish");
    SimResult res;
    std::string text;
    account(text);
    res.ok = r.fails.empty();
    res.text = "seed " + std::to_string(seed) + (res.ok ? " ok\n" : " FAILED\n") + r.fails;
    if (!res.ok || verbose) res.text += text;
    if (!res.ok) res.text += "console:\n" + r.console;
    return res;
}

namespace {

TEST(Sim, SeededRunsHoldEveryInvariant)
{
    if (const char* one = std::getenv("ZOK2_SIM_SEED")) {
        // ZOK2_SIM_SLOT: loopback addresses of its own beside a long run.
        const uint32_t slot = static_cast<uint32_t>(envOr("ZOK2_SIM_SLOT", 0));
        const SimResult r =
            simRunSeed(static_cast<uint32_t>(std::strtoul(one, nullptr, 10)), slot, true);
        EXPECT_TRUE(r.ok) << r.text;
        if (r.ok) std::printf("%s", r.text.c_str());
        return;
    }
    const uint64_t first = envOr("ZOK2_SIM_FIRST", 1);
#ifdef __SANITIZE_ADDRESS__
    const uint64_t seeds = envOr("ZOK2_SIM_SEEDS", 40);  // several times slower: a sample
#else
    const uint64_t seeds = envOr("ZOK2_SIM_SEEDS", 200);
#endif
    const uint32_t jobs = static_cast<uint32_t>(envOr("ZOK2_SIM_JOBS", 3));
    const auto t0 = std::chrono::steady_clock::now();
    std::vector<pid_t> slots(jobs, 0);
    std::vector<uint64_t> slotSeed(jobs, 0);
    std::vector<uint64_t> failed;
    uint64_t next = first, done = 0;
    while (done < seeds) {
        for (uint32_t s = 0; s < jobs; ++s) {
            if (slots[s] != 0 || next >= first + seeds) continue;
            slotSeed[s] = next++;
            slots[s] = ::fork();
            if (slots[s] == 0) {
                const SimResult r = simRunSeed(static_cast<uint32_t>(slotSeed[s]), s, false);
                if (!r.ok) std::fprintf(stderr, "%s", r.text.c_str());
                std::fflush(stderr);
                _exit(r.ok ? 0 : 1);
            }
        }
        int status = 0;
        const pid_t pid = ::wait(&status);
        for (uint32_t s = 0; s < jobs; ++s) {
            if (slots[s] != pid) continue;
            slots[s] = 0;
            ++done;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                failed.push_back(slotSeed[s]);
                std::fprintf(stderr,
                             "seed %llu failed (status %d): replay with ZOK2_SIM_SEED=%llu\n",
                             static_cast<unsigned long long>(slotSeed[s]), status,
                             static_cast<unsigned long long>(slotSeed[s]));
            }
        }
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("sim: %llu seeds from %llu, %zu failed, %.1f s wall\n",
                static_cast<unsigned long long>(seeds), static_cast<unsigned long long>(first),
                failed.size(), wall);
    EXPECT_TRUE(failed.empty());
}

}  // namespace
