// One host link's gate: see spigateapl.h.
#include "spigateapl.h"

#include "bdmailapl.h"
#include "bpposapl.h"
#include "kernel.h"

// Kept by convention although no check here is fatal yet.
[[maybe_unused]] static const char _MODULE_[] = "spigateapl.cpp";

// The link's number in a source's low nibble.
static const uint32_t SOURCE_INSTANCE_MASK = 0x0F;
static const uint32_t NUM_HOST_LINKS = 2;

// Per link; written by the links' worker tasks, read and reset by the console.
static uint32_t mNumOfMailboxDrops[NUM_HOST_LINKS];

SpiGate::SpiGate(SPIGATE_CONFIG_T config)
    : source(config.source),
      spiIndex(config.spiIndex),
      spiBaudRate(config.spiBaudRate),
      spiClockMode(config.spiClockMode),
      spiChipSelectPolarity(config.spiChipSelectPolarity),
      bpposTicksRecvTimeout(config.bpposTicksRecvTimeout),
      bpposTicksConnectionWindow(config.bpposTicksConnectionWindow),
      spiHandle(nullptr),
      protHandle(nullptr)
{
    // The protocol's FIFOs must exist before the driver enables the
    // interrupt that fills them.
    const uint32_t key = ti_sysbios_knl_Task_disable();
    BPPOS_CONFIG_T prot;
    prot.source = source;
    prot.recvCallback = RecvMessageHandler;
    prot.connectionCallback = config.connectionCallback;
    prot.ticksRecvTimeout = bpposTicksRecvTimeout;
    prot.ticksConnectionWindow = bpposTicksConnectionWindow;
    protHandle = new BPPoS(prot);

    SPIDRV_CONFIG_T drv;
    drv.spiIndex = spiIndex;
    drv.baudRate = spiBaudRate;
    drv.clockMode = spiClockMode;
    drv.chipSelectPolarity = spiChipSelectPolarity;
    drv.protHandle = protHandle;
    spiHandle = new SpiDrv(drv);
    ti_sysbios_knl_Task_restore(key);
}

void SpiGate::RecvMessageHandler(BD* bd)
{
    const uint32_t instance = bd->Source() & SOURCE_INSTANCE_MASK;
    if (BdMail::PostOrRecycle(bd) != EC_SUCCESS && instance < NUM_HOST_LINKS) {
        ++mNumOfMailboxDrops[instance];
    }
}

uint32_t SpiGate::GetNumOfMailboxDrops() const
{
    return mNumOfMailboxDrops[(source & SOURCE_INSTANCE_MASK) % NUM_HOST_LINKS];
}

void SpiGate::Send(BD* bd)
{
    (void)protHandle->Send(bd);  // refusals are counted by the protocol
}

void SpiGate::GetProtStats(uint8_t* p) { protHandle->GetStats(p); }

void SpiGate::ResetStats()
{
    protHandle->ResetStats();
    mNumOfMailboxDrops[(source & SOURCE_INSTANCE_MASK) % NUM_HOST_LINKS] = 0;
}
