// Task creation through the kernel's parameter block.
#include "taskapl.h"

void taskCreate(const TASK_CONFIG_T& config, const EXM_WHERE_T& where)
{
    if (taskCreateOrNull(config) == nullptr) {
        exmFatalError(EC_ERROR_TASK_CREATION, where.module, where.file, where.line);
    }
}

ti_sysbios_knl_Task_Handle taskCreateOrNull(const TASK_CONFIG_T& config)
{
    ti_sysbios_knl_Task_Params params;
    ti_sysbios_knl_Task_Params_init(&params);
    params.arg0 = config.arg0;
    params.arg1 = config.arg1;
    params.priority = config.priority;
    if (config.stackSize != 0) {
        params.stackSize = config.stackSize;
    }
    params.instanceName = config.name;
    return ti_sysbios_knl_Task_create(config.entry, &params);
}
