// The router: see routerapl.h.
#include "routerapl.h"

#include "bdmailapl.h"
#include "bdpoolapl.h"
#include "configapl.h"
#include "dcprintapl.h"
#include "exmapl.h"
#include "gpiodrvapl.h"
#include "ipgateapl.h"
#include "netstack.h"
#include "taskapl.h"

static const char _MODULE_[] = "routerapl.cpp";

static const int ROUTER_TASK_PRIORITY = 2;
static const uint32_t ROUTER_TASK_STACK = 8192;
static const uint32_t LEN_MIN_ZOK_MSG = 2;  // the two leading bytes checked here

static const uint16_t HOST_LINK_1 = 0;
static const uint16_t HOST_LINK_2 = 1;
static const uint16_t SCI_LINE_1 = 0;
static const uint16_t SCI_LINE_2 = 1;
static const uint16_t SCI_LINE_3 = 2;
static const uint16_t ETH_0 = 0;
static const uint16_t ETH_1 = 1;

static const uint32_t ROUTER_STATE_CONFIG = 0;
static const uint32_t ROUTER_STATE_STEADY = 1;

// The state apart from the counters: a reset by the console task, which the
// router may preempt at any point, must never write it.
static uint32_t mRouterState;
static ROUTER_STATS_T mStats;        // the counters; its routerState is not used
static GpioDrv mConfigLoopActivity;  // high while the configuration loop handles a BD
static GpioDrv mSteadyLoopActivity;  // one pulse per BD routed in the steady loop

void Router::Init()
{
    mConfigLoopActivity.Config(TEST_POINT4);
    mSteadyLoopActivity.Config(TEST_POINT5);
    mStats = ROUTER_STATS_T{};
    mRouterState = ROUTER_STATE_CONFIG;
    taskCreate({"router", ROUTER_TASK_PRIORITY, ROUTER_TASK_STACK, WorkerTask, 0, 0}, EXM_HERE);
}

void Router::GetStats(ROUTER_STATS_T& stats)
{
    stats = mStats;
    stats.routerState = mRouterState;
}

void Router::ResetStats() { mStats = ROUTER_STATS_T{}; }

void Router::WorkerTask(UArg, UArg)
{
    // This task opens the UDP sockets during configuration and sends on
    // them afterwards.
    fdOpenSession(ti_sysbios_knl_Task_self());
    ConfigLoop();
    SteadyLoop();
}

void Router::ConfigLoop()
{
    dcPrint("Waiting for configuration...\n");
    do {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        ConfigStep(bd);
    } while (Config::IsConfigured() != 1);
    dcPrint("Configuration complete.\n");
}

void Router::ConfigPass()
{
    while (BdMail::NumPending() != 0 && Config::IsConfigured() != 1) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        ConfigStep(bd);
    }
}

void Router::ConfigStep(BD* bd)
{
    ++mStats.numOfMsgsToRoute;
    mConfigLoopActivity.Set();
    if (bd->DestPort() == PORT_CONFIG) {
        switch (bd->Source()) {
        case SOURCE_SPI1:
        case SOURCE_SPI2:
            ProcessZokMessage(bd);
            break;
        case SOURCE_ZOK1:
            SendTo(hSpiGate[HOST_LINK_1]->protHandle, bd);
            break;
        case SOURCE_ZOK2:
            SendTo(hSpiGate[HOST_LINK_2]->protHandle, bd);
            break;
        default:
            break;  // nothing else speaks on the configuration port yet
        }
    }
    // Any other traffic waits for the configuration: dropped, not counted.
    BdPool::Put(bd);
    mConfigLoopActivity.Clear();
}

void Router::SteadyLoop()
{
    mRouterState = ROUTER_STATE_STEADY;
    for (;;) {
        BD* bd = nullptr;
        BdMail::Pend(&bd);
        ++mStats.numOfMsgsToRoute;
        mSteadyLoopActivity.Toggle();
        Route(bd);
        BdPool::Put(bd);
        mSteadyLoopActivity.Toggle();
    }
}

void Router::ProcessZokMessage(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    if (bd->Load() < LEN_MIN_ZOK_MSG) {
        ++mStats.numOfMsgFormatErrors;
        dcPrint("ERROR: Invalid ZOK message format (length).\n");
    } else if (bd->Buffer(0) != BC_CONFIG_MSG) {
        ++mStats.numOfMsgFormatErrors;
        dcPrint("ERROR: Invalid ZOK message format (BC).\n");
    } else if (bd->Buffer(1) != BM_CONFIG_MSG) {
        ++mStats.numOfMsgFormatErrors;
        dcPrint("ERROR: Invalid ZOK message format (BM) .\n");
    } else {
        Config::ProcessConfigMessage(bd);
    }
}

// Stamps a serial-line message as coming from 10.80.0.1 on the line's port.
static void StampSci(BD* bd, uint16_t port)
{
    bd->SourcePort(port);
    bd->DestPort(port);
    bd->SourceIpAddr(IPADDR_SCI);
    bd->DestIpAddr(IPADDR_SCI);
}

void Router::Route(BD* bd)
{
    // Every Send copies what it needs: the BD goes back to the pool after.
    switch (bd->Source()) {
    case SOURCE_SPI1:
        if (bd->DestPort() == PORT_SCI1) {
            SendTo(hSciGate[SCI_LINE_1]->protHandle, bd);
        } else if (bd->DestPort() == PORT_SCI2) {
            SendTo(hSciGate[SCI_LINE_2]->protHandle, bd);
        } else {
            SendToUdp(ETH_0, bd);
        }
        break;
    case SOURCE_SPI2:
        if (bd->DestPort() == PORT_SCI1) {
            SendTo(hSciGate[SCI_LINE_3]->protHandle, bd);
        } else if (bd->DestPort() != PORT_SCI2) {  // group 1 has no second line
            SendToUdp(ETH_1, bd);
        }
        break;
    case SOURCE_ETH0:
    case SOURCE_ZOK1:
        SendTo(hSpiGate[HOST_LINK_1]->protHandle, bd);
        break;
    case SOURCE_ETH1:
    case SOURCE_ZOK2:
        SendTo(hSpiGate[HOST_LINK_2]->protHandle, bd);
        break;
    case SOURCE_SCI1:
        StampSci(bd, PORT_SCI1);
        SendTo(hSpiGate[HOST_LINK_1]->protHandle, bd);
        break;
    case SOURCE_SCI2:
        StampSci(bd, PORT_SCI2);
        SendTo(hSpiGate[HOST_LINK_1]->protHandle, bd);
        break;
    case SOURCE_SCI3:
        StampSci(bd, PORT_SCI1);
        SendTo(hSpiGate[HOST_LINK_2]->protHandle, bd);
        break;
    default:
        EXM_FATAL(EC_ERROR_INVALID_SWITCH);
    }
}

// A destination that refuses (its link down, its transmit FIFO full, a bad
// length) loses the message: counted here whatever the cause, which the
// destination counts too where its counters have a name for it.
void Router::SendTo(IProtocol* protocol, BD* bd)
{
    if (protocol->Send(bd) != EC_SUCCESS) {
        ++mStats.numOfSendRefusedErrors;
    }
}

void Router::SendToUdp(uint16_t ipGate, BD* bd)
{
    uint32_t index = 0;
    if (hIpGate[ipGate]->GetUdpPortIndex(bd->DestPort(), index) == EC_SUCCESS) {
        if (hIpGate[ipGate]->SendUdpPort(index, bd) != EC_SUCCESS) {
            ++mStats.numOfSendRefusedErrors;  // the port counts it as a send error too
        }
    } else {
        ++mStats.numOfUnknownUdpPortErrors;
    }
}
