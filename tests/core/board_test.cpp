#include <gtest/gtest.h>

#include "board.h"
#include "boardapl.h"
#include "hostboard.h"

namespace {
using Attrs = ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs;

struct Row {
    uint32_t addr;
    bool bufferable;
    bool cacheable;
    uint8_t tex;
};

TEST(MemoryMap, SectionsMappedOneToOneWithTheirAttributesUpToTheEndMarker)
{
    boardMmuInit(applMmuEntries);
    EXPECT_TRUE(hostMmuEnabled());
    // tex drops to 0 at the first row with neither flag and stays there.
    const Row rows[] = {
        {0x30000000, false, true, 1}, {0x30300000, false, true, 1},  {0x40300000, false, false, 0},
        {0x44D00000, true, false, 0}, {0x48100000, false, false, 0}, {0x54400000, true, false, 0},
        {0x80000000, false, true, 0},
    };
    for (const Row& row : rows) {
        Attrs a{};
        uint32_t physical = 0;
        ASSERT_TRUE(hostMmuSection(row.addr + 0x1234, &a, &physical)) << std::hex << row.addr;
        EXPECT_EQ(row.addr, physical);
        EXPECT_EQ(row.bufferable, a.bufferable) << std::hex << row.addr;
        EXPECT_EQ(row.cacheable, a.cacheable) << std::hex << row.addr;
        EXPECT_EQ(row.tex, a.tex) << std::hex << row.addr;
        EXPECT_FALSE(a.shareable);
        EXPECT_FALSE(a.noexecute);
        EXPECT_EQ(3, a.accPerm);
        EXPECT_EQ(ti_sysbios_family_arm_a8_Mmu_FirstLevelDesc_SECTION, a.type);
    }

    // The walk stops at the end marker.
    const SYS_MMU_ENTRY table[] = {
        {reinterpret_cast<void*>(0x60000000u), SYS_MMU_SHAREABLE | SYS_MMU_NO_EXECUTE},
        {reinterpret_cast<void*>(uintptr_t{SYS_MMU_END_OF_TABLE}), 0},
        {reinterpret_cast<void*>(0x61000000u), SYS_MMU_CACHEABLE},
    };
    boardMmuInit(table);
    Attrs a{};
    uint32_t physical = 0;
    ASSERT_TRUE(hostMmuSection(0x60000000, &a, &physical));
    EXPECT_TRUE(a.shareable);
    EXPECT_TRUE(a.noexecute);
    EXPECT_FALSE(hostMmuSection(0x61000000, &a, &physical));
}

TEST(Board, InitUsesTheApplicationsFlags)
{
    boardInit();
    EXPECT_EQ(0x5Cu, hostBoardInitFlags());
}

}  // namespace
