// The one pool of message buffers and the one router mailbox.
// Get/Put run in tasks (never in interrupt handlers) and guard the free list
// with the scheduler lock; the mailbox's own locking is the kernel's.
// Both are set up once before the kernel starts and live for the whole run.
#pragma once

#include <cstdint>

#include "bdapl.h"

constexpr uint16_t NUM_BDS = 128;         // BDs in the pool
constexpr uint16_t LEN_BD_BUFFER = 1468;  // data bytes per BD: the largest message of any interface

struct BDPOOL_STATS_T {
    uint16_t capacityOfBd;  // LEN_BD_BUFFER
    uint16_t numOfBds;      // NUM_BDS
    uint32_t numOfFreeBds;  // BDs in the free list right now
};

class BdPool {
public:
    // Creates the BDs; the BD of the last slot ends on top.
    static void Init();
#ifdef ZOK2_TEST_HOOKS
    // Test and fuzz builds only, after Init: every BD free again, in Init's
    // order, whoever held it; nothing is allocated.
    static void Restart();
#endif
    // A clean BD; an empty pool is fatal (EC_ERROR_BD_POOL_EMPTY). Never null.
    static BD* Get();
    // Clears the header fields and load (not the bytes) and frees the BD.
    // A null BD, or a pool BD that is already free, is fatal
    // (EC_ERROR_INVALID_ARGUMENT).
    static void Put(BD* bd);
    // Snapshot without a lock, for the diagnostics pages.
    static void GetStats(BDPOOL_STATS_T& stats);
};
