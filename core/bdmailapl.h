// The router mailbox: BD pointers from every producer task to the router.
// Post never blocks; PostOrRecycle waits a bounded time for room, except in
// the router task; Pend is for the router task only.
#pragma once

#include <cstdint>

#include "bdapl.h"

class BdMail {
public:
    static constexpr uint16_t NUM_MAILBOX_ITENS = 64;  // depth, in BD pointers
    // Longest wait of PostOrRecycle for room: one protocol worker period, in
    // which the router empties the mailbox many times over.
    static constexpr uint32_t TIME_WAIT_FOR_ROOM = 10000;  // microseconds

    // Creates the kernel mailbox; failure is fatal (EC_ERROR_MAILBOX_CREATION).
    static void Init();
    // EC_SUCCESS when queued (the router now owns the BD); EC_FAIL at once
    // when full, and the caller still owns the BD.
    static int Post(BD* bd);
    // Waits without limit for the next BD, in posting order. The task that
    // calls it is the mailbox's reader from then on.
    static void Pend(BD** bd);
    // Posts, waiting up to TIME_WAIT_FOR_ROOM while the mailbox is full, so
    // that a burst one worker pass decodes reaches the router whole; the
    // reader itself (the router posting its own status messages) and a
    // caller outside any task never wait. A BD still refused goes back to
    // the pool, so that no refusal takes a BD out of circulation: EC_FAIL,
    // and the message is lost for the caller to count.
    static int PostOrRecycle(BD* bd);
    // BDs waiting in the mailbox right now.
    static uint32_t NumPending();
};
