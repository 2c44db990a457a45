// The pool of 128 BDs over one static array of data areas. The free list is
// shared by many tasks and guarded by the scheduler lock: the critical
// section is a few instructions and never blocks.
#include "bdpoolapl.h"

#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "bdpoolapl.cpp";

static uint8_t mBuffer[NUM_BDS][LEN_BD_BUFFER];
static BdStack mBdStack;
// 1 while the BD of that slot is in the free list: a second Put of a free BD
// would let two later Gets hand it to two owners.
static uint8_t mSlotFree[NUM_BDS];
// The BD of each slot, for a test build's Restart.
static BD* hBd[NUM_BDS];

// The slot whose data area the BD uses, or NUM_BDS for a BD of another
// buffer, which the pool takes as before but cannot track.
static uint32_t slotOf(const BD* bd)
{
    const uintptr_t first = reinterpret_cast<uintptr_t>(&mBuffer[0][0]);
    const uintptr_t data = reinterpret_cast<uintptr_t>(bd->BufferPtr());
    if (data < first || data >= first + sizeof(mBuffer)) {
        return NUM_BDS;
    }
    return static_cast<uint32_t>((data - first) / LEN_BD_BUFFER);
}

void BdPool::Init()
{
    // From an empty list: a test build inits again after every kernel reset.
    mBdStack = BdStack();
    for (uint16_t i = 0; i < NUM_BDS; ++i) {
        mSlotFree[i] = 0;
        hBd[i] = new BD(LEN_BD_BUFFER, mBuffer[i]);
        Put(hBd[i]);
    }
}

#ifdef ZOK2_TEST_HOOKS
void BdPool::Restart()
{
    mBdStack = BdStack();
    for (uint16_t i = 0; i < NUM_BDS; ++i) {
        mSlotFree[i] = 0;
        Put(hBd[i]);
    }
}
#endif

BD* BdPool::Get()
{
    const uint32_t key = ti_sysbios_knl_Task_disable();
    BD* bd = mBdStack.Pop();
    if (bd != nullptr) {
        const uint32_t slot = slotOf(bd);
        if (slot < NUM_BDS) {
            mSlotFree[slot] = 0;
        }
    }
    ti_sysbios_knl_Task_restore(key);
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_BD_POOL_EMPTY);
    }
    return bd;
}

void BdPool::Put(BD* bd)
{
    const uint32_t key = ti_sysbios_knl_Task_disable();
    if (bd != nullptr) {
        const uint32_t slot = slotOf(bd);
        if (slot < NUM_BDS) {
            if (mSlotFree[slot] != 0) {
                ti_sysbios_knl_Task_restore(key);
                EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
            }
            mSlotFree[slot] = 1;
        }
        bd->Load(0);
        bd->Source(SOURCE_NONE);
        bd->SourceIpAddr(0);
        bd->DestIpAddr(0);
        bd->SourcePort(0);
        bd->DestPort(0);
    }
    mBdStack.Push(bd);  // a null BD is the free list's fatal error
    ti_sysbios_knl_Task_restore(key);
}

void BdPool::GetStats(BDPOOL_STATS_T& stats)
{
    stats.capacityOfBd = LEN_BD_BUFFER;
    stats.numOfBds = NUM_BDS;
    stats.numOfFreeBds = mBdStack.NumOfItems();
}
