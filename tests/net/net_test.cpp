// UDP ports, IP gates and the Ethernet module against the host network
// stack on real loopback sockets: edge cases of open, receive and send, the fatal
// misuses, the poll order of the worker task (virtual time), multicast, the
// interface queries through the register and PHY models, broadcasts on
// loopback, and a flood that must lose no BD.

#include <atomic>
#include <chrono>
#include <linux/capability.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <tuple>
#include <unistd.h>

#include "ethapl.h"
#include "hostboard.h"
#include "hostnet.h"
#include "hostnetlink.h"
#include "hostrtc.h"
#include "hwreg.h"
#include "ipgateapl.h"
#include "prototest.h"
#include "soc_eth.h"
#include "taskapl.h"
#include "testnet.h"
#include "udpapl.h"

namespace {

constexpr auto WAIT_LIMIT = std::chrono::seconds(10);  // an I/O thread on a loaded machine

uint32_t addr(const char* text) { return inet_addr(text); }

// An outside peer: an ordinary socket on 127.0.0.1.
struct Peer {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    explicit Peer(const char* local = "127.0.0.1", uint16_t port = 0)
    {
        const sockaddr_in sa{AF_INET, port, {addr(local)}, {}};
        bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
        const in_addr ifAddr{addr("127.0.0.1")};
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ifAddr, sizeof ifAddr);
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    }
    ~Peer() { close(fd); }
    uint32_t localAddr() const  // network order
    {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        return sa.sin_addr.s_addr;
    }
    uint16_t port() const  // network order
    {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
        return sa.sin_port;
    }
    void send(uint32_t to, uint16_t port, size_t size) const
    {
        const Bytes data(size, 0x5A);
        const sockaddr_in sa{AF_INET, port, {to}, {}};
        ASSERT_EQ(
            static_cast<ssize_t>(size),
            sendto(fd, data.data(), size, 0, reinterpret_cast<const sockaddr*>(&sa), sizeof sa));
    }
};

// A port number (network order) free on 127.0.0.1 right now.
uint16_t freePort() { return Peer().port(); }

// The router's place: notes port, source and tick of every BD and returns
// it; slow while the sender runs, then stops the run once the mailbox is empty.
using Taken = std::tuple<uint16_t, SOURCES_E, uint32_t>;  // port, source, tick
std::vector<Taken> gTaken;
std::atomic<uint32_t> gDrained{0};
std::atomic<bool> gSenderDone{false};

void routerTask(UArg slowTicks, UArg stopWhenDone)
{
    for (;;) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        if (gTaken.size() < gTaken.capacity()) {
            gTaken.push_back({bd->DestPort(), bd->Source(), ti_sysbios_knl_Clock_getTicks()});
        }
        BdPool::Put(bd);
        ++gDrained;
        if (!gSenderDone) {
            ti_sysbios_knl_Task_sleep(static_cast<uint32_t>(slowTicks));
        } else if (stopWhenDone != 0 && BdMail::NumPending() == 0) {
            hostKernelStop();
        }
    }
}

void startRouter(uint32_t slowTicks, bool stopWhenDone)
{
    ASSERT_NE(nullptr,
              taskCreateOrNull({"router", 2, 0, routerTask, slowTicks, stopWhenDone ? 1u : 0u}));
}

class NetTest : public FirmwareTest {
protected:
    // First thing of every test: a fresh kernel, network model and heap.
    void StartKernel(HostClockMode mode)
    {
        hostKernelReset(mode);
        restartDrivers();
        hostHeapReset();
        hostNetReset();
        hostRtcCtrlReset();
        hostBoardConfig().eth[0] = "lo";
        hostBoardConfig().eth[1] = "lo";
        static const bool poolReady = (BdPool::Init(), true);  // the pool lives on the host heap
        (void)poolReady;
        BdMail::Init();
        Ethernet::Init();
        fdOpenSession(ti_sysbios_knl_Task_self());
        deliveries().clear();
        gDrained = 0;
        dcInit();
        (void)consoleText();  // the start-up banner
    }

    void TearDown() override
    {
        BDPOOL_STATS_T s;
        BdPool::GetStats(s);
        EXPECT_EQ(NUM_BDS, s.numOfFreeBds + BdMail::NumPending()) << "a BD went missing";
        FirmwareTest::TearDown();
    }

    static UDP_CONFIG_T portConfig(uint16_t port, const char* local = "127.0.0.1")
    {
        return UDP_CONFIG_T{SOURCE_ETH0, recordDelivery, port, addr(local)};
    }

    // Sends a marker to the port's own address and receives until it is
    // in, then reads whatever else is marked: everything sent to the port
    // before the marker has then been delivered.
    static void settle(UDP& u, const Peer& peer)
    {
        constexpr uint32_t MARKER_SIZE = 99;
        peer.send(u.GetLocalIpAddr(), u.GetLocalPort(), MARKER_SIZE);
        recvUntil(u, [] {
            return !deliveries().empty() && deliveries().back().data.size() == MARKER_SIZE;
        });
        deliveries().pop_back();
        for (int i = 0; i < 4; ++i) u.Recv();  // its own socket, groups and broadcasts
    }

    // The groups' addresses are never read: more than the maximum is fatal.
    static IPGATE_CONFIG_T gateConfig(uint32_t groups = 0)
    {
        return {SOURCE_ETH1, 1, addr("255.0.0.0"), addr("127.0.0.1"), 0, groups, {}};
    }

    // Calls Recv until `done` or the limit; the I/O thread marks asynchronously.
    template <typename Done>
    static void recvUntil(UDP& u, Done done)
    {
        const auto end = std::chrono::steady_clock::now() + WAIT_LIMIT;
        while (!done() && std::chrono::steady_clock::now() < end) {
            u.Recv();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(done());
    }
};

TEST_F(NetTest, PortReceivesEdgeCasesAndGroupsAndATakenPortStaysOpening)
{
    StartKernel(HostClockMode::Manual);
    const uint16_t port = freePort();
    UDP u(portConfig(port));
    ASSERT_EQ(EC_SUCCESS, u.Open());
    EXPECT_EQ(SOCKET_OPENED, u.GetSocketState());
    UDP second(portConfig(port));
    (void)consoleText();
    EXPECT_EQ(EC_FAIL, second.Open());
    EXPECT_EQ(SOCKET_OPENING, second.GetSocketState());
    const unsigned p = ntohs(port);  // printed in host order
    EXPECT_EQ("Opening UDP port " + std::to_string(p) + " for 127.0.0.1...\r\nERROR: UDP port " +
                  std::to_string(p) + " bind failed, 48\r\n",
              consoleText());
    Peer peer;
    u.Recv();  // settles the mark every new socket starts with

    const uint64_t callsBefore = hostNetState().recvCalls;
    for (int i = 0; i < 100; ++i) u.Recv();
    EXPECT_EQ(callsBefore, hostNetState().recvCalls) << "an empty poll made a system call";
    UDP_STATS_T s;
    u.GetStats(s);
    EXPECT_EQ(0u, s.numOfRecvErrors);

    struct Case {
        size_t size;
        uint32_t delivered, errors, lastError;
    };
    const Case cases[] = {{LEN_BD_BUFFER, 1, 0, 0}, {LEN_BD_BUFFER + 1u, 1, 1, 40}, {0, 1, 1, 40}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const uint64_t calls = hostNetState().recvCalls;
        peer.send(addr("127.0.0.1"), u.GetLocalPort(), c.size);
        recvUntil(u, [&] { return hostNetState().recvCalls > calls + 1; });  // read and drained
        u.GetStats(s);
        EXPECT_EQ(c.delivered, s.numOfRecvdMessages);
        EXPECT_EQ(c.errors, s.numOfRecvErrors);
        EXPECT_EQ(c.lastError, s.lastRecvError);
        EXPECT_EQ(0u, s.numOfSentMessages + s.numOfSendErrors);
    }
    ASSERT_EQ(1u, deliveries().size());
    const Delivered& g = deliveries()[0];
    EXPECT_EQ(std::make_tuple(SOURCE_ETH0, u.GetLocalPort(), addr("127.0.0.1"), peer.port(),
                              addr("127.0.0.1")),
              std::tie(g.source, g.destPort, g.destIpAddr, g.sourcePort, g.sourceIpAddr));
    EXPECT_EQ(Bytes(LEN_BD_BUFFER, 0x5A), g.data);

    u.ResetStats();
    u.GetStats(s);
    EXPECT_EQ(0u, s.numOfRecvdMessages + s.numOfRecvErrors + s.lastRecvError);
    EXPECT_EQ(u.GetLocalPort(), s.localPort);
    EXPECT_EQ(SOCKET_OPENED, s.socketState);

    const uint32_t group = htonl(0xEFFF4D01u);  // 239.255.77.1
    ASSERT_EQ(EC_SUCCESS, u.Join(group)) << consoleText();
    EXPECT_EQ(EC_FAIL, u.Join(group)) << "a second join of the same group";
    EXPECT_EQ("ERROR: UDP port " + std::to_string(p) + " join multicast failed, 48\r\n",
              consoleText());
    peer.send(group, u.GetLocalPort(), 7);
    settle(u, peer);
    ASSERT_EQ(2u, deliveries().size()) << "the group's datagram, once";
    EXPECT_EQ(addr("127.0.0.1"), deliveries()[1].destIpAddr) << "always the port's own address";
    EXPECT_EQ(peer.port(), deliveries()[1].sourcePort);
    EXPECT_EQ(7u, deliveries()[1].data.size());
}

TEST_F(NetTest, GateSendsThroughTheMatchingPortOnlyFromItsOwnAddressAndMisuseIsFatal)
{
    StartKernel(HostClockMode::Manual);
    IpGate gate(gateConfig());
    uint32_t index = 0;
    EXPECT_EQ(EC_FAIL, gate.GetUdpPortIndex(freePort(), index));
    const uint16_t portA = freePort();
    gate.OpenUdpPort(portA);
    const uint16_t portB = freePort();
    gate.OpenUdpPort(portB);
    ASSERT_EQ(EC_SUCCESS, gate.GetUdpPortIndex(portB, index));
    EXPECT_EQ(1u, index);
    // The far end listens on the same port number at another address.
    Peer far("127.0.0.2", portB);

    BD* bd = BdPool::Get();
    const uint8_t payload[] = {1, 2, 3};
    bd->Copy(sizeof payload, payload);
    bd->DestIpAddr(addr("127.0.0.2"));
    bd->DestPort(portA);
    EXPECT_EQ(EC_FAIL, gate.SendUdpPort(index, bd)) << "a BD for another port";
    bd->DestPort(far.port());
    EXPECT_EQ(EC_SUCCESS, gate.SendUdpPort(index, bd));
    bd->DestPort(freePort());
    EXPECT_EQ(EC_FAIL, gate.SendUdp(bd)) << "no port matches";
    BdPool::Put(bd);

    UDP_STATS_T a, b;
    gate.GetStatsUdpPort(0, a);
    gate.GetStatsUdpPort(1, b);
    EXPECT_EQ(0u, a.numOfSentMessages + a.numOfSendErrors);
    EXPECT_EQ(1u, b.numOfSentMessages);
    EXPECT_EQ(0u, b.numOfSendErrors);
    // Loopback delivers within sendto: the datagram is there now, once.
    uint8_t buf[16];
    sockaddr_in from{};
    socklen_t len = sizeof from;
    ASSERT_EQ(3, recvfrom(far.fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                          &len));
    EXPECT_EQ(0, std::memcmp(buf, payload, sizeof payload));
    EXPECT_EQ(portB, from.sin_port);
    EXPECT_EQ(addr("127.0.0.1"), from.sin_addr.s_addr);
    EXPECT_EQ(-1, recv(far.fd, buf, sizeof buf, MSG_DONTWAIT));

    // Misuse stops the board.
    const auto fatal = [](ERROR_CODES_E code, const char* module) {
        return "FATAL ERROR: code= " + std::to_string(code) + " module= " + module;
    };
    const ERROR_CODES_E arg = EC_ERROR_INVALID_ARGUMENT;
    EXPECT_FATAL(UDP u(UDP_CONFIG_T{SOURCE_ETH0, nullptr, 1, 0}), arg, fatal(arg, "udpapl"));
    UDP closed(portConfig(freePort()));
    EXPECT_FATAL((void)closed.Join(addr("239.255.77.1")), EC_FAIL, fatal(EC_FAIL, "udpapl"));
    EXPECT_FATAL((void)closed.Send(nullptr), arg, fatal(arg, "udpapl"));
    ASSERT_EQ(EC_SUCCESS, closed.Open());
    EXPECT_FATAL((void)closed.Open(), EC_FAIL, fatal(EC_FAIL, "udpapl")) << "second Open";

    EXPECT_FATAL(IpGate g(gateConfig(MAX_NUM_MULTI_ADDR + 1)), arg, fatal(arg, "ipgateapl"));
    IpGate fresh(gateConfig());
    EXPECT_FATAL(fresh.GetStatsUdpPort(0, a), arg, fatal(arg, "ipgateapl")) << "no port 0 yet";
    EXPECT_FATAL(for (uint32_t i = 0; i <= MAX_NUM_UDP_PORTS; ++i) fresh.OpenUdpPort(freePort()),
                 arg, fatal(arg, "ipgateapl"));

    EXPECT_FATAL(Ethernet::CpswPortMacModeSelect(0, 4), arg, fatal(arg, "ethapl"));
    uint8_t mac[LEN_MAC_ADDR];
    EXPECT_FATAL(Ethernet::GetMacAddr(2, sizeof mac, mac), arg, fatal(arg, "ethapl"));
}

TEST_F(NetTest, BroadcastsReachEveryPortOfTheInterfaceWithThatNumberStampedWithItsOwnAddress)
{
    StartKernel(HostClockMode::Manual);
    // Both interfaces on loopback, each with a /24 of this process's own.
    const uint32_t mask = addr("255.255.255.0");
    const uint32_t addr0 = testnet::netAddr(2), addr1 = testnet::netAddr(258);
    (void)Ethernet::GetNumOfDevices();
    ASSERT_EQ(EC_SUCCESS, Ethernet::AddIpToDevice(0, addr0, mask, 0, "zok2.local"));
    ASSERT_EQ(EC_SUCCESS, Ethernet::AddIpToDevice(1, addr1, mask, 0, "zok2.local"));
    const uint16_t p = htons(testnet::port(0)), other = htons(testnet::port(1));
    UDP a({SOURCE_ETH0, recordDelivery, p, addr0});
    UDP b({SOURCE_ETH1, recordDelivery, p, addr1});
    UDP c({SOURCE_ETH0, recordDelivery, other, addr0});
    UDP* const ports[] = {&a, &b, &c};
    for (UDP* u : ports) ASSERT_EQ(EC_SUCCESS, u->Open()) << consoleText();
    // From the first interface's network: its broadcasts leave on loopback.
    const Peer peer(testnet::text(1).c_str());
    for (UDP* u : ports) settle(*u, peer);
    ASSERT_TRUE(deliveries().empty());

    struct Case {
        const char* what;
        uint32_t to;
        uint16_t port;
        std::vector<const UDP*> hear;
        UDP* from = nullptr;  // the peer when null
    };
    const Case cases[] = {
        {"the first network's broadcast", addr0 | ~mask, p, {&a}},
        {"the second network's broadcast", addr1 | ~mask, p, {&b}},
        {"255.255.255.255: both interfaces are loopback", INADDR_BROADCAST, p, {&a, &b}},
        {"255.255.255.255 to the other port number", INADDR_BROADCAST, other, {&c}},
        {"unicast", addr1, p, {&b}},
        {"the first interface's own broadcast: not to itself", INADDR_BROADCAST, p, {&b}, &c},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        const size_t size = 1 + static_cast<size_t>(&k - cases);  // tells the cases apart
        if (k.from == nullptr) {
            peer.send(k.to, k.port, size);
        } else {
            BD* bd = BdPool::Get();
            bd->Copy(static_cast<uint32_t>(size), Bytes(size, 0x5A).data());
            bd->DestIpAddr(k.to);
            bd->DestPort(k.port);
            ASSERT_EQ(EC_SUCCESS, k.from->Send(bd));
            BdPool::Put(bd);
        }
        for (UDP* u : ports) settle(*u, peer);
        std::vector<std::tuple<uint32_t, uint16_t, uint32_t, size_t>> got, expected;
        for (const Delivered& d : deliveries()) {
            got.emplace_back(d.destIpAddr, d.destPort, d.sourceIpAddr, d.data.size());
        }
        const uint32_t source = k.from != nullptr ? k.from->GetLocalIpAddr() : peer.localAddr();
        for (const UDP* u : k.hear) {
            expected.emplace_back(u->GetLocalIpAddr(), u->GetLocalPort(), source, size);
        }
        EXPECT_EQ(expected, got) << "the port's own address, once per port that hears it";
        deliveries().clear();
    }
}

TEST_F(NetTest, WorkerTakesOneDatagramPerPortPerTickLaterOpenedFirst)
{
    StartKernel(HostClockMode::Virtual);
    IpGate gate(gateConfig());
    const uint16_t portA = freePort();
    gate.OpenUdpPort(portA);
    const uint16_t portB = freePort();
    gate.OpenUdpPort(portB);
    Peer peer;
    // Queued before the worker runs: loopback delivers within sendto, and a
    // new socket starts marked.
    for (int i = 0; i < 2; ++i) {
        peer.send(addr("127.0.0.1"), portA, 10);
        peer.send(addr("127.0.0.1"), portB, 10);
    }
    gTaken.reserve(8);
    gSenderDone = true;
    startRouter(0, false);
    const uint32_t t0 = ti_sysbios_knl_Clock_getTicks();
    hostKernelRun(5);
    const std::vector<Taken> expected = {{portB, SOURCE_ETH1, t0},
                                         {portA, SOURCE_ETH1, t0},
                                         {portB, SOURCE_ETH1, t0 + 1},
                                         {portA, SOURCE_ETH1, t0 + 1}};
    EXPECT_EQ(expected, gTaken);
}

// Takes the right to administer the network from this thread, as an
// ordinary user runs without it.
bool dropNetAdmin()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    data[CAP_NET_ADMIN / 32].effective &= ~(1u << (CAP_NET_ADMIN % 32));
    return ::syscall(SYS_capset, &header, data) == 0;
}

TEST_F(NetTest, InterfacesThroughStackRegistersAndPhyAddressEntriesReplaceTheStaticOne)
{
    StartKernel(HostClockMode::Manual);
    Ethernet::DiscoverDevices();
    EXPECT_EQ("2 Ethernet interfaces detected: lo lo\r\n", consoleText());
    uint32_t index = 0;
    EXPECT_EQ(EC_FAIL, Ethernet::GetConfigIndex(2, &index));
    ASSERT_EQ(EC_SUCCESS, Ethernet::GetConfigIndex(1, &index));
    EXPECT_EQ(2u, index);
    uint16_t mtu = 0;
    EXPECT_EQ(EC_SUCCESS, Ethernet::GetDeviceMtu(0, mtu));
    EXPECT_GT(mtu, 0u);

    // Loopback has no speed: its PHY shows 0x3100.
    uint32_t autoNeg = 9, speed = 9, duplex = 9;
    ASSERT_EQ(EC_SUCCESS, Ethernet::GetDeviceSpeed(1, autoNeg, speed, duplex));
    EXPECT_EQ(std::make_tuple(1u, 100u, 1u), std::tie(autoNeg, speed, duplex));

    const uint8_t mac[LEN_MAC_ADDR] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    hostCtrlSetMac(1, mac);
    uint8_t out[LEN_MAC_ADDR] = {};
    Ethernet::GetMacAddr(1, sizeof out, out);
    EXPECT_EQ(0, std::memcmp(mac, out, sizeof mac));
    Ethernet::GetMacAddr(0, sizeof out, out);
    EXPECT_EQ(0x02, out[0] & 0x03) << "locally administered, unicast";
    EXPECT_NE(0, std::memcmp(mac, out, sizeof mac));

    struct Mode {
        uint32_t before, ethIndex, mode, after;
    };
    const Mode modes[] = {
        {0xFFFFFFFFu, 1, 3, 0xFFFFFF5Bu}, {0x00000000u, 1, 3, 0x00000008u},
        {0xFFFFFFFFu, 0, 1, 0xFFFFFFADu}, {0x0000000Au, 0, 3, 0x0000000Au},
        {0xFFFFFFFFu, 1, 2, 0xFFFFFF53u},
    };
    for (const Mode& m : modes) {
        regWrite32(SOC_CONTROL_GMII_SEL, m.before);
        Ethernet::CpswPortMacModeSelect(m.ethIndex, m.mode);
        EXPECT_EQ(m.after, regRead32(SOC_CONTROL_GMII_SEL)) << m.ethIndex << "/" << m.mode;
    }

    (void)Ethernet::GetNumOfDevices();  // the stack starts with its own empty entry
    EXPECT_EQ(1u, hostNetState().addrEntries);
    Ethernet::RemoveIpsFromDevice(0);
    EXPECT_EQ(0u, hostNetState().addrEntries);
    (void)consoleText();
    EXPECT_EQ(EC_SUCCESS, Ethernet::AddIpToDevice(0, addr("127.0.0.9"), addr("255.0.0.0"),
                                                  addr("127.0.0.1"), "zok2.local"));
    EXPECT_EQ("Adding IP configurations to ETH0.\r\n", consoleText());
    // Run as root, the address would really be added to the host's loopback:
    // without the right to administer the network, the refusal shows.
    if (hostNetMayAdminister()) {
        ASSERT_TRUE(dropNetAdmin());
    }
    ASSERT_FALSE(hostNetMayAdminister());
    testing::internal::CaptureStderr();
    EXPECT_EQ(EC_FAIL, Ethernet::AddIpToDevice(0, addr("198.51.100.55"), addr("255.255.255.0"), 0,
                                               "zok2.local"));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(std::string::npos, err.find("198.51.100.55")) << err;
    EXPECT_NE(std::string::npos, err.find("(lo)")) << err;
    EXPECT_NE(std::string::npos,
              consoleText().find("ERROR: Failed to add a static IP configuration "
                                 "entry, -3\r\n"));
    EXPECT_EQ(1u, hostNetState().addrEntries);
}

TEST_F(NetTest, FloodLosesNoBdAndCountsWhatTheMailboxRefused)
{
    constexpr int DATAGRAMS = 10000;
    constexpr uint32_t RUN_LIMIT_TICKS = 120000;  // ends when the mailbox is empty
    StartKernel(HostClockMode::Real);
    IpGate gate(gateConfig());
    const uint16_t port = freePort();
    gate.OpenUdpPort(port);
    // A router far slower than the gate while the flood lasts: one BD every
    // 20 ticks; then it empties the mailbox and ends the run.
    gSenderDone = false;
    startRouter(20, true);
    UDPSTATS before;
    NDK_getUdpStats(&before);
    std::thread sender([port] {
        Peer peer;
        for (int i = 0; i < DATAGRAMS; ++i) {
            peer.send(addr("127.0.0.1"), port, 64);
            if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        // The gate takes what the socket still holds within a tick each.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        gSenderDone = true;
    });
    hostKernelRun(RUN_LIMIT_TICKS);
    sender.join();
    EXPECT_FALSE(hostFirmwareHalted());
    UDPSTATS after;
    NDK_getUdpStats(&after);

    UDP_STATS_T s;
    gate.GetStatsUdpPort(0, s);
    EXPECT_EQ(0u, BdMail::NumPending());  // the pool is full again: TearDown checks
    EXPECT_GT(gate.GetNumOfMailboxDrops(), 0u);
    EXPECT_EQ(s.numOfRecvdMessages, gDrained + gate.GetNumOfMailboxDrops());
    // What the gate did not take, the socket's buffer refused (Linux counts
    // it) or still holds (a few dozen datagrams at most).
    EXPECT_GE(s.numOfRecvdMessages + (after.RcvFull - before.RcvFull) + 64u,
              static_cast<uint32_t>(DATAGRAMS));
}
}  // namespace
