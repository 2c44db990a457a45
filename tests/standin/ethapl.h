// Stand-in for the Ethernet interfaces while the networking modules are
// being written: start-up and the MAC address read by the configuration
// status message (standin_net.h).
#pragma once

#include <cstdint>

class Ethernet {
public:
    static void Init();
    static void DiscoverDevices();
    static void GetMacAddr(uint32_t ethIndex, uint32_t capacity, uint8_t* macAddr);
};
