// Loopback addresses and port numbers of this test process's own, so that
// test suites can run side by side on one machine (and beside ctest -j)
// without meeting on an address or a port: derived from the process id,
// within 127.0.0.0/8 and below the ephemeral ports. Every address of
// 127.0.0.0/8 is local, so nothing needs to be set up.
#pragma once

#include <cstdint>
#include <string>

namespace testnet {

// Addresses of this process: 512 from 127.0.2.0 up, never in 127.0.0.0/23
// (where other programs live) nor in 127.255.255.0/24 (loopback's broadcast).
constexpr uint32_t kAddrs = 512;
// Ports of this process, from 10000 up to below 30000: clear of the board's
// own (1024, 2000-2015), of the ephemeral range and of one another as long
// as process ids differ by less than 5000.
constexpr uint32_t kPorts = 4;

// Address `offset` (below kAddrs) of this process's block, in host order.
uint32_t hostAddr(uint32_t offset);
// The same in network order, and as dotted text.
uint32_t netAddr(uint32_t offset);
std::string text(uint32_t offset);
// Port k (below kPorts) of this process, in host order.
uint16_t port(uint32_t k);

// Another process's block: the simulation's children keep to the block of
// the test process that forked them.
uint32_t hostAddrOf(long pid, uint32_t offset);
// Another process's port k.
uint16_t portOf(long pid, uint32_t k);

}  // namespace testnet
