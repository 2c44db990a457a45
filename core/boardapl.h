// Board set-up before the kernel runs: the kernel configuration (runtime
// hooks, idle hooks), the memory map and the board library.
#pragma once

#include <cstdint>

constexpr uint32_t SYS_MMU_BUFFERABLE = 1;
constexpr uint32_t SYS_MMU_CACHEABLE = 2;
constexpr uint32_t SYS_MMU_SHAREABLE = 4;
constexpr uint32_t SYS_MMU_NO_EXECUTE = 8;
constexpr uint32_t SYS_MMU_END_OF_TABLE = 0xFFFFFFFFu;
constexpr uint32_t NUM_MMU_ENTRIES = 18;

struct SYS_MMU_ENTRY {
    void* address;            // start of a 1 MB section, mapped to itself
    unsigned int attributes;  // SYS_MMU_* flags
};

extern const SYS_MMU_ENTRY applMmuEntries[NUM_MMU_ENTRIES];

// Installs the runtime's output and termination hooks and the idle hooks.
void kernelConfig();
// Writes the memory map of `table` up to its end marker, then enables the MMU.
void boardMmuInit(const SYS_MMU_ENTRY* table);
// Board library set-up; spins for ever on failure (no console exists yet).
void boardInit();
