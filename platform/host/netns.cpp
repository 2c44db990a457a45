// Linux side of the runner's network namespace option: unshare at start-up,
// veth pairs made from the original namespace with the board end moved in,
// loopback and board ends up, an optional host-side address, and deletion of
// the pairs at a clean stop. A watchdog restart re-execs the same process,
// which is then already inside: an environment mark says so.
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <linux/veth.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "hostinternal.h"
#include "hostnetlink.h"
#include "hostnetns.h"
#include "netlinkinternal.h"

namespace {

constexpr int NUM_ETH = 2;
constexpr uint8_t MAX_PREFIX_LEN = 32;
constexpr int DECIMAL = 10;
// Holds the inode of the board's namespace across the watchdog's re-exec.
constexpr const char* ENV_NAMESPACE = "ZOK2GW_NETNS_INODE";
constexpr const char* OWN_NAMESPACE = "/proc/self/ns/net";

bool gRequested = false;
bool gInOwn = false;
bool gHostAddrGiven = false;
uint32_t gHostAddr = 0;      // network order
uint8_t gHostPrefixLen = 0;
// Board-side names of the pairs made (or taken over), deleted at a clean stop.
std::string gBoardEnds[NUM_ETH];
int gNumPairs = 0;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "zok2gw: --netns: %s\n", what.c_str());
    std::exit(HOST_NETNS_EXIT_STATUS);
}

bool parsePrefix(const std::string& text, uint32_t& addr, uint8_t& prefixLen)
{
    const size_t slash = text.find('/');
    if (slash == std::string::npos) {
        return false;
    }
    in_addr a{};
    if (::inet_pton(AF_INET, text.substr(0, slash).c_str(), &a) != 1) {
        return false;
    }
    char* end = nullptr;
    const unsigned long p = std::strtoul(text.c_str() + slash + 1, &end, DECIMAL);
    if (end == text.c_str() + slash + 1 || *end != '\0' || p > MAX_PREFIX_LEN) {
        return false;
    }
    addr = a.s_addr;
    prefixLen = static_cast<uint8_t>(p);
    return true;
}

bool givenOnCommandLine(int argc, char** argv, const char* option)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], option) == 0) {
            return true;
        }
    }
    return false;
}

unsigned long long namespaceInode(const char* path)
{
    struct stat st {};
    return ::stat(path, &st) == 0 ? static_cast<unsigned long long>(st.st_ino) : 0;
}

std::string hostEnd(int i) { return HOST_NETNS_HOST_PREFIX + std::to_string(i); }

void deletePairs()
{
    HostScope host;
    for (int i = 0; i < gNumPairs; ++i) {
        (void)hostLinkDelete(gBoardEnds[i].c_str());  // already gone is as good
    }
    gNumPairs = 0;
}

void bringUp(const char* name)
{
    const int r = hostLinkSetUp(name);
    if (r != 0) {
        fail(std::string("cannot bring ") + name + " up: " + std::strerror(-r));
    }
}

// In the original namespace: replaces a stale pair of an earlier run, makes
// the pair with its board end in the namespace of ownFd, host end up.
void makePair(int i, const std::string& boardEnd, int ownFd)
{
    const std::string host = hostEnd(i);
    if (::if_nametoindex(host.c_str()) != 0) {
        if (!hostLinkIsVeth(host.c_str())) {
            fail(host + " exists and is not a veth interface: not touched");
        }
        std::fprintf(stderr, "zok2gw: replacing stale veth %s\n", host.c_str());
        (void)hostLinkDelete(host.c_str());
    }
    const int r = hostLinkCreateVeth(host.c_str(), boardEnd.c_str(), ownFd);
    if (r != 0) {
        fail("cannot create veth pair " + host + "/" + boardEnd + ": " + std::strerror(-r));
    }
    bringUp(host.c_str());
    if (i == 0 && gHostAddrGiven) {
        const int a = nlAddAddressUnrecorded(static_cast<int>(::if_nametoindex(host.c_str())),
                                             gHostAddr, gHostPrefixLen);
        if (a != 0 && a != -EEXIST) {
            fail("cannot give " + host + " its address: " + std::strerror(-a));
        }
    }
}

}  // namespace

bool hostNetInOwnNamespace() { return gInOwn; }

bool hostNetnsTakeOption(int argc, char** argv, int& i, bool& ok)
{
    const std::string a = argv[i];
    if (a == "--netns") {
        gRequested = true;
        return true;
    }
    if (a == "--netns-host-addr0") {
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s: option %s needs a value\n", argv[0], argv[i]);
            ok = false;
            return true;
        }
        ok = parsePrefix(argv[++i], gHostAddr, gHostPrefixLen);
        if (!ok) {
            std::fprintf(stderr, "%s: %s wants ADDRESS/PREFIX, e.g. 192.168.1.1/24\n", argv[0],
                         a.c_str());
        }
        gHostAddrGiven = true;
        return true;
    }
    return false;
}

const char* hostNetnsUsage()
{
    return "  --netns                (root) run in a network namespace of its own, each Ethernet\n"
           "                         interface on a veth pair (board side eth0/eth1 or as\n"
           "                         --eth0/--eth1 say, host side zok2h0/zok2h1)\n"
           "  --netns-host-addr0 A/P with --netns: give zok2h0 this address, e.g. 192.168.1.1/24\n";
}

void hostNetnsStart(int argc, char** argv, std::string eth[2])
{
    if (!gRequested) {
        if (gHostAddrGiven) {
            fail("--netns-host-addr0 needs --netns");
        }
        return;
    }
    HostScope host;
    if (::geteuid() != 0) {
        fail("needs root (it makes a network namespace and veth interfaces); "
             "run as root, or without --netns on loopback");
    }
    const char* ethOption[NUM_ETH] = {"--eth0", "--eth1"};
    for (int i = 0; i < NUM_ETH; ++i) {
        if (!givenOnCommandLine(argc, argv, ethOption[i])) {
            eth[i] = "eth" + std::to_string(i);
        }
    }
    // One pair per distinct board-side name; an interface left on the
    // namespace's loopback needs none.
    int pairIndex[NUM_ETH] = {-1, -1};
    for (int i = 0; i < NUM_ETH; ++i) {
        if (eth[i] == "lo" || (i == 1 && eth[1] == eth[0])) {
            continue;
        }
        if (eth[i].size() >= IFNAMSIZ) {
            fail("interface name " + eth[i] + " is too long");
        }
        pairIndex[i] = gNumPairs;
        gBoardEnds[gNumPairs++] = eth[i];
    }

    const char* mark = std::getenv(ENV_NAMESPACE);
    const unsigned long long current = namespaceInode(OWN_NAMESPACE);
    const bool restarted = mark != nullptr && std::strtoull(mark, nullptr, DECIMAL) == current;
    if (!restarted) {
        const int originalFd = ::open(OWN_NAMESPACE, O_RDONLY | O_CLOEXEC);
        if (originalFd < 0 || ::unshare(CLONE_NEWNET) != 0) {
            fail(std::string("cannot make a network namespace: ") + std::strerror(errno));
        }
        const int ownFd = ::open(OWN_NAMESPACE, O_RDONLY | O_CLOEXEC);
        if (ownFd < 0 || ::setns(originalFd, CLONE_NEWNET) != 0) {
            fail(std::string("cannot return to the original namespace: ") + std::strerror(errno));
        }
        for (int i = 0; i < NUM_ETH; ++i) {
            if (pairIndex[i] >= 0) {
                makePair(i, eth[i], ownFd);
            }
        }
        if (::setns(ownFd, CLONE_NEWNET) != 0) {
            fail(std::string("cannot enter the board's namespace: ") + std::strerror(errno));
        }
        ::close(originalFd);
        ::close(ownFd);
        ::setenv(ENV_NAMESPACE, std::to_string(namespaceInode(OWN_NAMESPACE)).c_str(), 1);
    }
    bringUp("lo");
    for (int p = 0; p < gNumPairs; ++p) {
        if (::if_nametoindex(gBoardEnds[p].c_str()) == 0) {
            fail(gBoardEnds[p] + " is missing in the board's namespace");
        }
        bringUp(gBoardEnds[p].c_str());
    }
    gInOwn = true;
    std::atexit(deletePairs);

    std::string wiring;
    std::string hosts;
    for (int i = 0; i < NUM_ETH; ++i) {
        wiring += (i == 0 ? "" : ", ") + std::string("Ethernet ") + std::to_string(i) + " on " +
                  eth[i];
        if (pairIndex[i] >= 0) {
            wiring += " <-> " + hostEnd(i) + " on the host";
            hosts += (hosts.empty() ? "" : " and ") + hostEnd(i);
        }
    }
    std::fprintf(stderr, "zok2gw: %s network namespace: %s\n",
                 restarted ? "restarted in its" : "in a", wiring.c_str());
    std::fprintf(stderr,
                 "zok2gw: reach the board through %s (with an address in the board's subnet on "
                 "the host side, e.g. --netns-host-addr0 A/P), or run commands inside with "
                 "nsenter --net=/proc/%d/ns/net\n",
                 hosts.empty() ? "nothing (no veth)" : hosts.c_str(), static_cast<int>(::getpid()));
}

int hostLinkCreateVeth(const char* name, const char* peer, int peerNsFd)
{
    NlRequest req(RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL);
    ifinfomsg ifi{};
    ifi.ifi_family = AF_UNSPEC;
    req.put(&ifi, sizeof(ifi));
    req.attrString(IFLA_IFNAME, name);
    const size_t info = req.beginNest(IFLA_LINKINFO);
    req.attrString(IFLA_INFO_KIND, "veth");
    const size_t data = req.beginNest(IFLA_INFO_DATA);
    const size_t peerInfo = req.beginNest(VETH_INFO_PEER);
    req.put(&ifi, sizeof(ifi));  // the peer's own link header
    req.attrString(IFLA_IFNAME, peer);
    if (peerNsFd >= 0) {
        req.attrU32(IFLA_NET_NS_FD, static_cast<uint32_t>(peerNsFd));
    }
    req.endNest(peerInfo);
    req.endNest(data);
    req.endNest(info);
    return nlTransact(req);
}

int hostLinkSetUp(const char* name)
{
    const unsigned index = ::if_nametoindex(name);
    if (index == 0) {
        return -ENODEV;
    }
    NlRequest req(RTM_NEWLINK, NLM_F_REQUEST | NLM_F_ACK);
    ifinfomsg ifi{};
    ifi.ifi_family = AF_UNSPEC;
    ifi.ifi_index = static_cast<int>(index);
    ifi.ifi_flags = IFF_UP;
    ifi.ifi_change = IFF_UP;
    req.put(&ifi, sizeof(ifi));
    return nlTransact(req);
}

int hostLinkDelete(const char* name)
{
    NlRequest req(RTM_DELLINK, NLM_F_REQUEST | NLM_F_ACK);
    ifinfomsg ifi{};
    ifi.ifi_family = AF_UNSPEC;
    req.put(&ifi, sizeof(ifi));
    req.attrString(IFLA_IFNAME, name);
    return nlTransact(req);
}

bool hostLinkIsVeth(const char* name)
{
    const int index = static_cast<int>(::if_nametoindex(name));
    bool veth = false;
    nlDump(RTM_GETLINK, AF_UNSPEC, [&](const nlmsghdr* h) {
        if (h->nlmsg_type != RTM_NEWLINK ||
            static_cast<const ifinfomsg*>(NLMSG_DATA(h))->ifi_index != index) {
            return;
        }
        nlForEachAttr(h, sizeof(ifinfomsg), [&](uint16_t type, const void* d, size_t len) {
            if (type != IFLA_LINKINFO) {
                return;
            }
            nlForEachNested(d, len, [&](uint16_t t, const void* kind, size_t n) {
                veth = veth || (t == IFLA_INFO_KIND && std::strncmp(static_cast<const char*>(kind),
                                                                    "veth", n) == 0);
            });
        });
    });
    return index != 0 && veth;
}
