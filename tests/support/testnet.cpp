#include "testnet.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <unistd.h>

namespace testnet {
namespace {

constexpr uint32_t LOOPBACK_NET = 0x7F000000u;  // 127.0.0.0
constexpr uint32_t BLOCK_BITS = 9;              // 512 addresses
// Blocks 1 to 32766: block 0 holds 127.0.0.1, block 32767 loopback's broadcast.
constexpr long NUM_BLOCKS = 32766;
constexpr uint32_t PORT_BASE = 10000;
constexpr long PORT_SLOTS = 5000;

}  // namespace

uint32_t hostAddrOf(long pid, uint32_t offset)
{
    const auto block = static_cast<uint32_t>(1 + pid % NUM_BLOCKS);
    return LOOPBACK_NET | block << BLOCK_BITS | (offset % kAddrs);
}

uint32_t hostAddr(uint32_t offset) { return hostAddrOf(::getpid(), offset); }

uint32_t netAddr(uint32_t offset) { return htonl(hostAddr(offset)); }

std::string text(uint32_t offset)
{
    const uint32_t a = hostAddr(offset);
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 0xFF) + "." +
           std::to_string(a >> 8 & 0xFF) + "." + std::to_string(a & 0xFF);
}

uint16_t portOf(long pid, uint32_t k)
{
    return static_cast<uint16_t>(PORT_BASE + (pid % PORT_SLOTS) * kPorts + k % kPorts);
}

uint16_t port(uint32_t k) { return portOf(::getpid(), k); }

}  // namespace testnet
