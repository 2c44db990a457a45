// Address and route administration through netlink, in a network namespace
// of the test's own (root only; skipped with the reason otherwise): what the
// board adds appears and is bindable, its undo removes exactly that, and what
// was already there stays.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <net/if.h>
#include <sched.h>
#include <sstream>

#include "hostnetlink.h"
#include "hostnetns.h"

namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

// Default routes of the calling thread's namespace, as "ifname gateway".
std::vector<std::string> DefaultRoutes()
{
    std::ifstream f("/proc/self/net/route");
    std::string line;
    std::vector<std::string> out;
    std::getline(f, line);  // column titles
    while (std::getline(f, line)) {
        std::istringstream in(line);
        std::string ifname, dest, gw;
        in >> ifname >> dest >> gw;
        if (dest == "00000000") {
            in_addr a{};
            a.s_addr =
                static_cast<uint32_t>(std::stoul(gw, nullptr, 16));  // printed raw, network order
            out.push_back(ifname + " " + inet_ntoa(a));
        }
    }
    return out;
}

TEST(HostNetlink, AddsRecordsAndRemovesOnlyItsOwn)
{
    if (unshare(CLONE_NEWNET) != 0) {
        GTEST_SKIP() << "cannot make a network namespace (needs root): " << std::strerror(errno);
    }
    const int veth = hostLinkCreateVeth("zt0", "zt1", -1);
    if (veth != 0) GTEST_SKIP() << "cannot create a veth pair: " << std::strerror(-veth);
    ASSERT_EQ(hostLinkSetUp("lo"), 0);  // brings 127.0.0.1/8 with it: present before the board
    ASSERT_EQ(hostLinkSetUp("zt0"), 0);
    ASSERT_EQ(hostLinkSetUp("zt1"), 0);
    EXPECT_TRUE(hostLinkIsVeth("zt0"));
    EXPECT_FALSE(hostLinkIsVeth("lo"));
    EXPECT_TRUE(hostNetMayAdminister());
    EXPECT_TRUE(DefaultRoutes().empty());

    std::string err;
    EXPECT_FALSE(hostNetAddressIsLocal(Ip("10.9.0.2")));
    ASSERT_TRUE(hostNetAddAddress("zt0", Ip("10.9.0.2"), 24, err)) << err;
    EXPECT_TRUE(hostNetAddAddress("zt0", Ip("10.9.0.2"), 24, err)) << "a second add is no error";
    ASSERT_TRUE(hostNetAddAddress("zt1", Ip("10.9.1.2"), 24, err)) << err;
    EXPECT_TRUE(hostNetAddAddress("lo", Ip("127.0.0.1"), 8, err)) << err;
    EXPECT_TRUE(hostNetAddressIsLocal(Ip("10.9.0.2")));
    EXPECT_TRUE(hostNetAddressIsLocal(Ip("10.9.1.2")));

    // The second interface's default route cannot share the first one's metric.
    ASSERT_TRUE(hostNetAddDefaultRoute("zt0", Ip("10.9.0.1"), err)) << err;
    ASSERT_TRUE(hostNetAddDefaultRoute("zt1", Ip("10.9.1.1"), err)) << err;
    EXPECT_TRUE(hostNetAddDefaultRoute("zt0", Ip("10.9.0.1"), err)) << "already there";
    EXPECT_EQ(DefaultRoutes(), (std::vector<std::string>{"zt0 10.9.0.1", "zt1 10.9.1.1"}));

    struct Refused {
        const char* ifname;
        const char* gw;      // a route when set, else the address 10.9.2.2/33
        const char* reason;  // part of the message
    };
    const Refused refused[] = {
        {"nosuch0", nullptr, "no interface nosuch0"},
        {"zt0", nullptr, "prefix length 33"},
        {"zt0", "10.200.0.1", "10.200.0.1 on zt0"},
        {"nosuch0", "10.9.0.1", "no interface nosuch0"},
    };
    for (const Refused& r : refused) {
        err.clear();
        const bool ok = r.gw != nullptr ? hostNetAddDefaultRoute(r.ifname, Ip(r.gw), err)
                                        : hostNetAddAddress(r.ifname, Ip("10.9.2.2"), 33, err);
        EXPECT_FALSE(ok) << r.reason;
        EXPECT_NE(err.find(r.reason), std::string::npos) << err;
    }

    hostNetRemoveAdded();
    EXPECT_FALSE(hostNetAddressIsLocal(Ip("10.9.0.2")));
    EXPECT_FALSE(hostNetAddressIsLocal(Ip("10.9.1.2")));
    EXPECT_TRUE(DefaultRoutes().empty());
    EXPECT_TRUE(hostNetAddressIsLocal(Ip("127.0.0.1"))) << "present before: never the board's";
    hostNetRemoveAdded();  // nothing left to undo
    EXPECT_TRUE(hostNetAddressIsLocal(Ip("127.0.0.1")));

    EXPECT_EQ(hostLinkDelete("zt0"), 0);
    EXPECT_EQ(if_nametoindex("zt1"), 0u) << "deleting one end deletes both";
}

}  // namespace
