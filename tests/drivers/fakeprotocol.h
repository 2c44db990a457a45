// The byte protocol the driver tests hand to a driver: it records every
// byte the driver passes on and answers the driver's requests with the
// bytes the test queued, counting the requests.
#pragma once

#include <deque>
#include <vector>

#include "iprotocol.h"

class FakeProtocol : public IProtocol {
public:
    void EnableLog() override {}
    ERROR_CODES_E Send(BD*) override { return EC_FAIL; }
    void ResetStats() override {}
    void GetStats(uint8_t*) override {}
    void RxDataHandler(uint8_t byte) override { received.push_back(byte); }
    ERROR_CODES_E TxDataHandler(uint8_t& byte) override
    {
        ++txCalls;
        if (toSend.empty()) return EC_FAIL;
        byte = toSend.front();
        toSend.pop_front();
        return EC_SUCCESS;
    }
    void Queue(const std::vector<uint8_t>& bytes)
    {
        toSend.insert(toSend.end(), bytes.begin(), bytes.end());
    }

    std::vector<uint8_t> received;
    std::deque<uint8_t> toSend;
    uint32_t txCalls = 0;
};
