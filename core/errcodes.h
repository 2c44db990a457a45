// Result codes of every operation in the firmware, one signed byte each.
// EC_SUCCESS and EC_FAIL are ordinary results; the other codes name the
// fault that stopped the board through exmFatalError.
#pragma once

#include <cstdint>

enum ERROR_CODES_E : int8_t {
    EC_SUCCESS = 0,
    EC_FAIL = -1,
    EC_SYSTEM_EXIT = -2,
    EC_SYSTEM_ABORT = -3,
    EC_ERROR_TASK_CREATION = -10,
    EC_ERROR_QUEUE_CREATION = -11,
    EC_ERROR_MAILBOX_CREATION = -12,
    EC_ERROR_TIMER_CREATION = -13,
    EC_ERROR_SEMAPHORE_CREATION = -14,
    EC_ERROR_MEMORY_ALLOCATION = -15,
    EC_ERROR_REGISTER_ISR = -16,
    EC_ERROR_INVALID_ARGUMENT = -20,
    EC_ERROR_INVALID_POINTER = -21,
    EC_ERROR_INVALID_INDEX = -22,
    EC_ERROR_INVALID_SWITCH = -23,
    EC_ERROR_BD_POOL_EMPTY = -30,
    EC_ERROR_ETH_DISCOVER = -40,
    EC_ERROR_IP_ADD = -41,
    EC_ERROR_UDP_OPEN = -42,
    EC_ERROR_SPI_OPEN = -50,
    EC_ERROR_UART_OPEN = -60,
    EC_ERROR_SXCRV_CONFIG = -61,
};
