// The router mailbox: BD pointers from every producer task to the router.
// Post never blocks; Pend is for the router task only.
#pragma once

#include <cstdint>

#include "bdapl.h"

class BdMail {
public:
    static constexpr uint16_t NUM_MAILBOX_ITENS = 64;  // depth, in BD pointers

    // Creates the kernel mailbox; failure is fatal (EC_ERROR_MAILBOX_CREATION).
    static void Init();
    // EC_SUCCESS when queued (the router now owns the BD); EC_FAIL at once
    // when full, and the caller still owns the BD.
    static int Post(BD* bd);
    // Waits without limit for the next BD, in posting order.
    static void Pend(BD** bd);
    // Posts, or returns the BD to the pool when the mailbox refuses it, so
    // that no refusal takes a BD out of circulation. EC_FAIL when refused.
    static int PostOrRecycle(BD* bd);
    // BDs waiting in the mailbox right now.
    static uint32_t NumPending();
};
