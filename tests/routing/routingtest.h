// Helpers of the configuration and router tests: the fixture with pool,
// mailbox, console, UART, McSPI and GPIO models, and configuration messages
// built from their fields.
#pragma once

#include <algorithm>

#include "configapl.h"
#include "consoleapl.h"
#include "crcapl.h"
#include "hostgpio.h"
#include "hostmcspi.h"
#include "hostuart.h"
#include "prototest.h"

// A configuration message from its fields, with its checksum.
struct ConfigFields {
    Bytes mask{255, 255, 255, 0};
    Bytes gateway{192, 168, 1, 1};
    Bytes address{192, 168, 1, 10};
    std::vector<Bytes> multicast;
    std::vector<uint16_t> ports;
    Bytes line1{0x08, 0x00, 0x00, 0x00};
    Bytes line2{0x18, 0x29, 0x00, 0x00};
    uint8_t bacmAddr = 5;
    uint8_t numMulticast = 0xFF;  // 0xFF: as many as listed
    uint8_t numPorts = 0xFF;

    Bytes Build() const
    {
        Bytes m = {0x96, 0xE1, 0, 0, 0, 0, 0, 0};
        const auto put = [&m](const Bytes& b) { m.insert(m.end(), b.begin(), b.end()); };
        for (const Bytes& b : {mask, gateway, address}) put(b);
        m.push_back(numMulticast == 0xFF ? static_cast<uint8_t>(multicast.size()) : numMulticast);
        for (const Bytes& a : multicast) put(a);
        m.insert(m.end(), 8, 0);
        m.push_back(numPorts == 0xFF ? static_cast<uint8_t>(ports.size()) : numPorts);
        for (uint16_t p : ports) put({static_cast<uint8_t>(p >> 8), static_cast<uint8_t>(p)});
        for (const Bytes& b : {line1, line2, Bytes{bacmAddr, 0, 0}}) put(b);
        m.push_back(Crc::Calc8bitsChecksum(static_cast<uint32_t>(m.size()), m.data()));
        return m;
    }
};

// Group 0 of the worked example, byte for byte.
inline Bytes workedExample()
{
    return {0x96, 0xE1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0xC0, 0xA8,
            0x01, 0x01, 0xC0, 0xA8, 0x01, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x58, 0x29, 0x00, 0x00, 0x05, 0x00, 0x00, 0x22};
}

// The worked example with line 2 on RS-232, the only standard its
// transceiver channel has (byte 0 of its record 0x18 instead of 0x58).
inline Bytes workedExampleOnRs232()
{
    Bytes m = workedExample();
    m[34] = 0x18;
    m[41] = Crc::Calc8bitsChecksum(41, m.data());
    return m;
}

// Group 1 on another subnet, one RAWoS line on RS-485.
inline ConfigFields group1Fields()
{
    ConfigFields f;
    f.gateway = {10, 20, 0, 1};
    f.address = {10, 20, 0, 10};
    f.line1 = {0x98, 0x0C, 0, 0};  // RS-485, RAWoS, 115200, no parity, 24 ms
    f.line2 = {0, 0, 0, 0};
    return f;
}

class RoutingTest : public FirmwareTest {
protected:
    void SetUp() override
    {
        hostUartReset();
        hostGpioReset();
        hostMcspiReset(false);
        FirmwareTest::SetUp();
    }
    // Pool, mailbox, console and host links on a fresh kernel in `mode`.
    static void StartBoard(HostClockMode mode)
    {
        hostKernelReset(mode);
        restartDrivers();
        Config::Restart();  // forgets the gates of an earlier test
        hostHeapRouteNew(true);
        BdPool::Init();
        BdMail::Init();
        dcInit();
        Config::Init();
        hostHeapRouteNew(false);
    }

public:
    // The console's text since the last call, without CRs: what reached UART 0
    // and, unless its driver task runs, what waits in the console's FIFO.
    static std::string ConsoleOut(bool drainFifo = true)
    {
        std::string raw = Console() + (drainFifo ? consoleText() : "");
        ClearConsole();
        raw.erase(std::remove(raw.begin(), raw.end(), '\r'), raw.end());
        return raw;
    }
};
