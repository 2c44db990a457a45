// Board set-up calls of the SoC board library, and the memory map.
#pragma once

#include <cstdint>

// Command line of the host runner; the board has none and ignores it.
void platformArgs(int argc, char** argv);

// Board library set-up; bit 0x08 module clocks, bit 0x40 pin multiplexing.
// Returns 0 on success.
int32_t Board_init(uint32_t flags);

// First-level (1 MB section) descriptor attributes of the memory map.
struct ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs {
    uint8_t type;  // 2 = section
    bool bufferable;
    bool cacheable;
    bool shareable;
    bool noexecute;
    uint8_t imp;
    uint8_t domain;
    uint8_t accPerm;
    uint8_t tex;
};
constexpr uint8_t ti_sysbios_family_arm_a8_Mmu_FirstLevelDesc_SECTION = 2;

void ti_sysbios_family_arm_a8_Mmu_disable();
void ti_sysbios_family_arm_a8_Mmu_enable();
void ti_sysbios_family_arm_a8_Mmu_initDescAttrs(
    ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs* attrs);
void ti_sysbios_family_arm_a8_Mmu_setFirstLevelDesc(
    void* virtualAddr, void* physicalAddr,
    const ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs* attrs);
