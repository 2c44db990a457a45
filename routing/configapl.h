// The board's configuration handler. At start-up it creates the two host
// links, over which the host's configuration arrives; the handling of the
// configuration messages themselves builds on this.
// Init runs once in the main task; the gate table is written only there and
// read by the router and the diagnostics pages.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "spigateapl.h"

constexpr uint16_t NUM_OF_GROUPS = 2;
constexpr uint16_t NUM_OF_SPIGATES = 2;
constexpr uint16_t LEN_MAX_CONFIG_MSG = 110;

// Host-link gates, one per group; null until Init.
extern SpiGate* hSpiGate[NUM_OF_SPIGATES];

class Config {
public:
    // Clears the configuration state and creates hSpiGate[0] (SOURCE_SPI1,
    // controller 0) and hSpiGate[1] (SOURCE_SPI2, controller 1). Main task,
    // once; failures are the gates' fatal errors.
    static void Init();
    // Connection callback of both host links (their worker tasks).
    static void SpiConnectionHandler(SOURCES_E source, LINK_ACTIVITY_E activity);
};
