// The operating-system hooks the Ethernet driver calls, and the stack's
// interface table that Ethernet::Init fills. The driver's packet task runs
// above every application task so that no frame waits on the application;
// it gets the kernel's default stack.
#include "ethdrv.h"
#include "kernel.h"
#include "taskapl.h"

static const int EMAC_POLL_TASK_PRIORITY = 10;
static const uint32_t OSAL_ALIGN = 4;

NIMU_DEVICE_TABLE_ENTRY NIMUDeviceTable[NIMU_DEVICE_TABLE_SIZE] = {};

void* Osal_TaskCreate(OSAL_TASK_FXN fxn)
{
    // The driver does not check the result.
    return taskCreateOrNull({"EmacPollPkt", EMAC_POLL_TASK_PRIORITY, 0, fxn, 0, 0});
}

void* Osal_malloc(uint32_t numBytes) { return xdc_runtime_Memory_alloc(numBytes, OSAL_ALIGN); }

void Osal_free(void* ptr, uint32_t numBytes) { xdc_runtime_Memory_free(ptr, numBytes); }

void Osal_TaskSleep(uint32_t ticks) { ti_sysbios_knl_Task_sleep(ticks); }
