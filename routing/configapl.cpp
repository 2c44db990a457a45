// Configuration handler: see configapl.h.
#include "configapl.h"

#include <cstring>

#include "iprotocol.h"

// Kept by convention although no check here is fatal yet.
[[maybe_unused]] static const char _MODULE_[] = "configapl.cpp";

// Host links: the host clocks at 9.216 MHz in SPI mode 1 with an active-low
// chip select; a link is down after 2 s of silence and kept alive by a
// connection packet after 1 s without sending.
static const uint32_t SPI_BAUD_RATE = 9216000;
static const uint32_t SPI_CLOCK_MODE = 1;
static const uint32_t SPI_CS_POLARITY = 0x40;
static const uint32_t TIME_BPPOS_RECV_TIMEOUT = 2000000;       // microseconds
static const uint32_t TIME_BPPOS_CONNECTION_WINDOW = 1000000;  // microseconds

SpiGate* hSpiGate[NUM_OF_SPIGATES] = {nullptr, nullptr};

static uint16_t mConfigStatus[NUM_OF_GROUPS];
static uint8_t mBufConfigMsg[NUM_OF_GROUPS][LEN_MAX_CONFIG_MSG];

static SpiGate* CreateSpiGate(SOURCES_E source, uint16_t spiIndex)
{
    SPIGATE_CONFIG_T cfg;
    cfg.source = source;
    cfg.spiIndex = spiIndex;
    cfg.spiBaudRate = SPI_BAUD_RATE;
    cfg.spiClockMode = SPI_CLOCK_MODE;
    cfg.spiChipSelectPolarity = SPI_CS_POLARITY;
    cfg.bpposTicksRecvTimeout = usToTicks(TIME_BPPOS_RECV_TIMEOUT);
    cfg.bpposTicksConnectionWindow = usToTicks(TIME_BPPOS_CONNECTION_WINDOW);
    cfg.connectionCallback = Config::SpiConnectionHandler;
    return new SpiGate(cfg);
}

void Config::Init()
{
    std::memset(mBufConfigMsg, 0, sizeof mBufConfigMsg);
    mConfigStatus[0] = 0;
    hSpiGate[0] = CreateSpiGate(SOURCE_SPI1, 0);
    mConfigStatus[1] = 0;
    hSpiGate[1] = CreateSpiGate(SOURCE_SPI2, 1);
}

void Config::SpiConnectionHandler(SOURCES_E source, LINK_ACTIVITY_E activity)
{
    // The group's status message on LINK_UP comes with the handling of the
    // configuration messages; until then a link change needs no action.
    (void)source;
    (void)activity;
}
