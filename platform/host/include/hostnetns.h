// The runner's network namespace option: as root the board runs in a network
// namespace of its own, wired to the namespace it was started in by one veth
// pair per Ethernet interface (board side named as --eth0/--eth1 say, host
// side zok2h0/zok2h1). Also the rtnetlink link operations it is built from,
// which tests use to build their own topologies.
#pragma once

#include <string>

// Host-side name of the veth pair of Ethernet interface i: this prefix and i.
constexpr const char* HOST_NETNS_HOST_PREFIX = "zok2h";
// Exit status when the namespace cannot be made (as for a bad option).
constexpr int HOST_NETNS_EXIT_STATUS = 2;

// Takes argv[i] when it is a namespace option (moving i past its value) and
// returns true; ok turns false on a bad value.
bool hostNetnsTakeOption(int argc, char** argv, int& i, bool& ok);
// Usage lines of the namespace options.
const char* hostNetnsUsage();
// When the option was given: enters the board's namespace before any thread
// or socket exists and makes the veth pairs, replacing stale ones; eth holds
// the board-side names (lo becomes eth0/eth1 unless given on the command
// line). After a watchdog restart (same process, already inside) it takes
// the existing pairs over. Exits with HOST_NETNS_EXIT_STATUS on failure.
void hostNetnsStart(int argc, char** argv, std::string eth[2]);

// Link operations in the calling thread's namespace: 0 or a negative errno.
// The peer goes into the namespace of peerNsFd (-1: the same namespace).
int hostLinkCreateVeth(const char* name, const char* peer, int peerNsFd);
int hostLinkSetUp(const char* name);
// Deleting one end of a veth pair deletes both.
int hostLinkDelete(const char* name);
bool hostLinkIsVeth(const char* name);
