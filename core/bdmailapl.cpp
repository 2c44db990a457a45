// The router mailbox of BD pointers.
#include "bdmailapl.h"

#include "bdpoolapl.h"
#include "exmapl.h"
#include "kernel.h"

static const char _MODULE_[] = "bdmailapl.cpp";

static ti_sysbios_knl_Mailbox_Handle mMailboxHandle = nullptr;
// The router task once it has waited for a BD: it must never wait for room
// that only it can make.
static ti_sysbios_knl_Task_Handle mReader = nullptr;

void BdMail::Init()
{
    mMailboxHandle = ti_sysbios_knl_Mailbox_create(sizeof(BD*), NUM_MAILBOX_ITENS);
    if (mMailboxHandle == nullptr) {
        EXM_FATAL(EC_ERROR_MAILBOX_CREATION);
    }
}

int BdMail::Post(BD* bd)
{
    return ti_sysbios_knl_Mailbox_post(mMailboxHandle, &bd, BIOS_NO_WAIT) ? EC_SUCCESS : EC_FAIL;
}

void BdMail::Pend(BD** bd)
{
    mReader = ti_sysbios_knl_Task_self();
    (void)ti_sysbios_knl_Mailbox_pend(mMailboxHandle, bd, BIOS_WAIT_FOREVER);  // cannot time out
}

int BdMail::PostOrRecycle(BD* bd)
{
    const ti_sysbios_knl_Task_Handle self = ti_sysbios_knl_Task_self();
    const uint32_t ticksWait = (self == nullptr || self == mReader)
                                   ? BIOS_NO_WAIT
                                   : TIME_WAIT_FOR_ROOM / ti_sysbios_knl_Clock_tickPeriod;
    if (ti_sysbios_knl_Mailbox_post(mMailboxHandle, &bd, ticksWait)) {
        return EC_SUCCESS;
    }
    // The message is lost either way; the BD must not be.
    BdPool::Put(bd);
    return EC_FAIL;
}

uint32_t BdMail::NumPending() { return ti_sysbios_knl_Mailbox_getNumPendingMsgs(mMailboxHandle); }
