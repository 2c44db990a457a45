// Address and route administration of the board's Linux interfaces through
// rtnetlink (a NETLINK_ROUTE socket; no external tools). The board only ever
// removes what it added itself: every successful add is recorded, and
// hostNetRemoveAdded undoes the record in reverse order at stop. Addresses
// and routes that were already present are never recorded, changed or removed.
// Meant for start-up and stop; calls are serialised by one lock.
#pragma once

#include <cstdint>
#include <string>

// True when this process may change addresses and routes (own network
// namespace or CAP_NET_ADMIN).
bool hostNetMayAdminister();
// Adds addr/prefixLen (network byte order address) to interface ifname;
// false and a reason in err.
bool hostNetAddAddress(const char* ifname, uint32_t addr, uint8_t prefixLen, std::string& err);
// Adds a default route via gw (network order) on ifname; false and a reason in err.
bool hostNetAddDefaultRoute(const char* ifname, uint32_t gw, std::string& err);
// True when addr is local (a socket can bind it).
bool hostNetAddressIsLocal(uint32_t addr);
// Removes every address and route this process added, in reverse order;
// safe to call twice.
void hostNetRemoveAdded();
// True when the runner put the board into a network namespace of its own.
bool hostNetInOwnNamespace();
