// The board of the configuration and console fuzz targets: see fuzzboard.h.
#include "fuzzboard.h"

#include <cstring>

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "configapl.h"
#include "crcapl.h"
#include "dcapl.h"
#include "ethapl.h"
#include "fuzzharness.h"
#include "hostboard.h"
#include "hostgpio.h"
#include "hostkernel.h"
#include "hostmcspi.h"
#include "hostnet.h"
#include "hostrtc.h"
#include "hostuart.h"
#include "netstack.h"
#include "routerapl.h"

namespace fuzz {

namespace {

constexpr uint32_t LEN_CONFIG = 42;  // no multicast group, the default ports
constexpr uint32_t IN_CHECKSUM = LEN_CONFIG - 1;

// Group 0: 255.255.255.0, gateway 192.168.1.1, address 192.168.1.10; line 1
// BAC-M slave 5 at 115200, line 2 RAWoS at 115200, odd parity, 80 ms, on
// RS-232 (its transceiver channel has no other standard).
constexpr uint8_t GROUP0[LEN_CONFIG] = {
    0x96, 0xE1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0xC0, 0xA8,
    0x01, 0x01, 0xC0, 0xA8, 0x01, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x18, 0x29, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};
// Group 1: 10.20.0.10/24 via 10.20.0.1; line 3 RAWoS on RS-485 at 115200, 24 ms.
constexpr uint8_t GROUP1[LEN_CONFIG] = {
    0x96, 0xE1, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x00, 0x0A, 0x14,
    0x00, 0x01, 0x0A, 0x14, 0x00, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
    0x00, 0x00, 0x98, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00};

uint32_t mTasksAtStart = 0;

void postConfig(SOURCES_E source, const uint8_t (&msg)[LEN_CONFIG])
{
    uint8_t m[LEN_CONFIG];
    std::memcpy(m, msg, sizeof m);
    m[IN_CHECKSUM] = Crc::Calc8bitsChecksum(IN_CHECKSUM, m);
    PostMessage(source, PORT_CONFIG, m, LEN_CONFIG, 0);
}

}  // namespace

void StartBoard()
{
    static bool done = false;
    if (done) return;
    done = true;
    SetUpOnce();
    hostUartReset();
    hostGpioReset();
    hostMcspiReset(false);
    hostNetReset();
    hostRtcCtrlReset();
    hostBoardConfig().eth[0] = "lo";
    hostBoardConfig().eth[1] = "lo";
    Ethernet::Init();
    (void)fdOpenSession(ti_sysbios_knl_Task_self());
    dcInit();
    Config::Init();
    Router::Init();
    // The serial transceivers are made at the first configuration and kept:
    // made here, they outlive every run's gates.
    ConfigureBoth();
    Config::Restart();
    DrainConsole();
    mTasksAtStart = hostKernelNumTasks();
    hostHeapSave();
}

void RestoreBoard()
{
    Config::Restart();
    hostKernelForgetTasks(mTasksAtStart);
    hostHeapRestore();
}

void PostMessage(SOURCES_E source, uint16_t port, const uint8_t* msg, uint32_t len, uint8_t stale)
{
    static uint8_t filled[LEN_BD_BUFFER];
    if (len > LEN_BD_BUFFER) len = LEN_BD_BUFFER;
    std::memset(filled, stale, sizeof filled);
    if (len != 0) std::memcpy(filled, msg, len);
    BD* bd = BdPool::Get();
    bd->Copy(LEN_BD_BUFFER, filled);
    bd->Load(len);
    bd->Source(source);
    bd->DestPort(port);
    bd->SourcePort(port);
    (void)BdMail::PostOrRecycle(bd);
}

void RouteConfig()
{
    hostHeapRouteNew(true);
    Router::ConfigPass();
    hostHeapRouteNew(false);
}

void ConfigureBoth()
{
    postConfig(SOURCE_SPI1, GROUP0);
    postConfig(SOURCE_SPI2, GROUP1);
    Router::ConfigPass();
    if (Config::IsConfigured() != 1) Fail("the board refused the host's configuration");
    ReturnDelivered();
    DrainConsole();
}

void DrainConsole()
{
    uint8_t b = 0;
    while (dcConsole()->TxDataHandler(b) == EC_SUCCESS) {}
}

void BoardWatch::Check()
{
    ROUTER_STATS_T stats{};
    Router::GetStats(stats);
    router.CheckRecord(stats);
    for (uint16_t i = 0; i < NUM_OF_SPIGATES; ++i) link[i].Check(*hSpiGate[i]->protHandle);
    CheckPool(false);
}

void BoardWatch::Forget()
{
    router.Forget();
    for (auto& l : link) l.Forget();
}

}  // namespace fuzz
