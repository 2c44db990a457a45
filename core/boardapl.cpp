// Board set-up before the kernel: kernel configuration, memory map, board
// library. Runs on the start-up stack, alone.
#include "boardapl.h"

#include "board.h"
#include "cpuloadapl.h"
#include "exmapl.h"
#include "kernel.h"

namespace {
constexpr uint32_t BOARD_INIT_FLAGS = 0x5C;  // module clocks (0x08) and pin mux (0x40) among them

void* section(uintptr_t address) { return reinterpret_cast<void*>(address); }
}  // namespace

const SYS_MMU_ENTRY applMmuEntries[NUM_MMU_ENTRIES] = {
    {section(0x30000000), SYS_MMU_CACHEABLE},
    {section(0x30100000), SYS_MMU_CACHEABLE},
    {section(0x30200000), SYS_MMU_CACHEABLE},
    {section(0x30300000), SYS_MMU_CACHEABLE},
    {section(0x40300000), 0},
    {section(0x44D00000), SYS_MMU_BUFFERABLE},
    {section(0x44E00000), SYS_MMU_BUFFERABLE},
    {section(0x47900000), SYS_MMU_BUFFERABLE},
    {section(0x48000000), SYS_MMU_BUFFERABLE},
    {section(0x48100000), 0},
    {section(0x48200000), SYS_MMU_BUFFERABLE},
    {section(0x48300000), SYS_MMU_BUFFERABLE},
    {section(0x49000000), SYS_MMU_BUFFERABLE},
    {section(0x4A000000), SYS_MMU_BUFFERABLE},
    {section(0x4A100000), SYS_MMU_BUFFERABLE},
    {section(0x54400000), SYS_MMU_BUFFERABLE},
    {section(0x80000000), SYS_MMU_CACHEABLE},
    {section(SYS_MMU_END_OF_TABLE), 0},
};

void kernelConfig()
{
    static const xdc_runtime_System_Hooks hooks = {exmPrintChar, exmPrintString,
                                                   exmSystemExitHandler, exmSystemAbortHandler};
    xdc_runtime_System_setHooks(&hooks);
    // The CPU load hook is the idle loop's first function.
    ti_sysbios_knl_Idle_add(cpuloadIdleFunc);
}

void boardMmuInit(const SYS_MMU_ENTRY* table)
{
    ti_sysbios_family_arm_a8_Mmu_disable();
    ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs attrs;
    ti_sysbios_family_arm_a8_Mmu_initDescAttrs(&attrs);
    attrs.type = ti_sysbios_family_arm_a8_Mmu_FirstLevelDesc_SECTION;
    attrs.imp = 1;
    attrs.domain = 0;
    attrs.accPerm = 3;
    for (const SYS_MMU_ENTRY* row = table;
         reinterpret_cast<uintptr_t>(row->address) != SYS_MMU_END_OF_TABLE; ++row) {
        attrs.bufferable = (row->attributes & SYS_MMU_BUFFERABLE) != 0;
        attrs.cacheable = (row->attributes & SYS_MMU_CACHEABLE) != 0;
        // Device memory wants tex 0; it is deliberately never set back, so
        // every row after the first uncached one keeps tex 0.
        if (!attrs.bufferable && !attrs.cacheable) {
            attrs.tex = 0;
        }
        attrs.shareable = (row->attributes & SYS_MMU_SHAREABLE) != 0;
        attrs.noexecute = (row->attributes & SYS_MMU_NO_EXECUTE) != 0;
        ti_sysbios_family_arm_a8_Mmu_setFirstLevelDesc(row->address, row->address, &attrs);
    }
    ti_sysbios_family_arm_a8_Mmu_enable();
}

void boardInit()
{
    if (Board_init(BOARD_INIT_FLAGS) != 0) {
        for (;;) {}
    }
}
