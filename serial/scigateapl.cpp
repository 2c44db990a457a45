// One serial line's gate: see scigateapl.h.
#include "scigateapl.h"

#include "bacmapl.h"
#include "bdmailapl.h"
#include "exmapl.h"
#include "kernel.h"
#include "rawosapl.h"

static const char _MODULE_[] = "scigateapl.cpp";

// The line's number in a source's low nibble.
static const uint32_t SOURCE_INSTANCE_MASK = 0x0F;
static const uint32_t NUM_SCI_LINES = 3;

// Per line; written by the protocols' worker tasks, read and reset by the console.
static uint32_t mNumOfMailboxDrops[NUM_SCI_LINES];

SciGate::SciGate(SCIGATE_CONFIG_T config)
    : source(config.source),
      uartIndex(config.uartIndex),
      uartStandard(config.uartStandard),
      uartBaudRate(config.uartBaudRate),
      uartWordLength(config.uartWordLength),
      uartStopBits(config.uartStopBits),
      uartParity(config.uartParity),
      protType(config.protType),
      bacmMaster(config.bacmMaster),
      protTicksRecvTimeout(config.protTicksRecvTimeout),
      bacmTicksAckWindow(config.bacmTicksAckWindow),
      bacmPhysicalAddr(config.bacmPhysicalAddr),
      rawosInterCharTimeout(config.rawosInterCharTimeout),
      uartHandle(nullptr),
      protHandle(nullptr)
{
    // The protocol's FIFOs must exist before the driver's task feeds them.
    const uint32_t key = ti_sysbios_knl_Task_disable();
    if (protType == SCI_PROT_TYPE_BACM) {
        BACM_CONFIG_T prot;
        prot.source = source;
        prot.recvCallback = RecvMessageHandler;
        prot.master = bacmMaster;
        prot.physicalAddr = bacmPhysicalAddr;
        prot.ticksRecvTimeout = protTicksRecvTimeout;
        prot.ticksAckWindow = bacmTicksAckWindow;
        protHandle = new BACM(prot);
    } else if (protType == SCI_PROT_TYPE_RAWOS) {
        RAWOS_CONFIG_T prot;
        prot.source = source;
        prot.recvCallback = RecvMessageHandler;
        prot.ticksRecvTimeout = protTicksRecvTimeout;
        prot.ticksInterCharTimeout = rawosInterCharTimeout;
        protHandle = new RAWoS(prot);
    } else {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }

    UARTDRV_CONFIG_T drv;
    drv.uartIndex = uartIndex;
    drv.standard = uartStandard;
    drv.baudRate = uartBaudRate;
    drv.dataLength = uartWordLength;
    drv.stopBits = uartStopBits;
    drv.parityType = uartParity;
    drv.protHandle = protHandle;
    uartHandle = new UartDrv(drv);
    ti_sysbios_knl_Task_restore(key);
}

void SciGate::RecvMessageHandler(BD* bd)
{
    const uint32_t instance = bd->Source() & SOURCE_INSTANCE_MASK;
    if (BdMail::PostOrRecycle(bd) != EC_SUCCESS && instance < NUM_SCI_LINES) {
        ++mNumOfMailboxDrops[instance];
    }
}

uint32_t SciGate::GetNumOfMailboxDrops() const
{
    return mNumOfMailboxDrops[(source & SOURCE_INSTANCE_MASK) % NUM_SCI_LINES];
}

void SciGate::GetConfig(SCIGATE_CONFIG_T& cfg) const
{
    cfg.uartIndex = uartIndex;
    cfg.uartStandard = uartStandard;
    cfg.uartBaudRate = uartBaudRate;
    cfg.uartWordLength = uartWordLength;
    cfg.uartStopBits = uartStopBits;
    cfg.uartParity = uartParity;
    cfg.protType = protType;
    cfg.bacmMaster = bacmMaster;
    cfg.protTicksRecvTimeout = protTicksRecvTimeout;
    cfg.bacmTicksAckWindow = bacmTicksAckWindow;
    cfg.bacmPhysicalAddr = bacmPhysicalAddr;
    cfg.rawosInterCharTimeout = rawosInterCharTimeout;
}

void SciGate::GetUartStats(uint8_t* p) { uartHandle->GetStats(p); }

void SciGate::GetProtStats(uint8_t* p) { protHandle->GetStats(p); }

void SciGate::ResetStats()
{
    protHandle->ResetStats();
    uartHandle->ResetStats();
    mNumOfMailboxDrops[(source & SOURCE_INSTANCE_MASK) % NUM_SCI_LINES] = 0;
}

void SciGate::Send(BD* bd)
{
    (void)protHandle->Send(bd);  // refusals are counted by the protocol
}
