// One UDP endpoint of the board: a datagram socket bound to one local address
// and port. Received datagrams become BDs handed to the receive callback;
// a BD's data is sent as one datagram to the address and port the BD names.
// Opened in the router task; Recv runs in the IP gate's worker task, Send in
// the router task, statistics in the console task. Never closed.
#pragma once

#include <cstdint>

#include "bdapl.h"
#include "errcodes.h"
#include "netstack.h"

enum SOCKET_STATES_E : uint8_t {
    SOCKET_CLOSED = 0,
    SOCKET_OPENING = 1,
    SOCKET_OPENED = 2,
};

struct UDP_CONFIG_T {
    SOURCES_E source;               // SOURCE_ETH0 or SOURCE_ETH1, stamped into received BDs
    RECV_BD_CALLBACK recvCallback;  // takes each received BD; must not be null
    uint16_t localPort;             // network byte order
    uint32_t localIpAddr;           // network byte order
};

// Statistics of one port. The port keeps its counters in a record of this
// type (receive counters written only by the gate's worker task, send
// counters only by the router task); GetStats adds the live fields.
struct UDP_STATS_T {
    uint16_t localPort;           // network byte order
    SOCKET_STATES_E socketState;
    uint32_t numOfRecvdMessages;  // datagrams delivered as BDs
    uint32_t numOfRecvErrors;     // failed receive attempts
    uint32_t lastRecvError;       // stack error code of the last receive failure
    uint32_t numOfSentMessages;   // datagrams sent
    uint32_t numOfSendErrors;     // failed sends
    uint32_t lastSendError;       // stack error code of the last send failure
};

class UDP {
public:
    // A null receive callback is fatal (EC_ERROR_INVALID_ARGUMENT). No socket yet.
    explicit UDP(UDP_CONFIG_T config);

    uint16_t GetLocalPort() const { return localPort; }
    uint32_t GetLocalIpAddr() const { return localIpAddr; }
    SOCKET_STATES_E GetSocketState() const { return socketState; }

    // Creates, binds and configures the socket. Fatal (EC_FAIL) on a port
    // that is not closed; a stack failure prints its line and returns
    // EC_FAIL with the port left SOCKET_OPENING.
    ERROR_CODES_E Open();
    // Joins a multicast group (network order) on the port's own address.
    // Fatal (EC_FAIL) before Open; a refusal prints its line, EC_FAIL.
    ERROR_CODES_E Join(uint32_t multIpAddr);
    // Sends the BD's data to its destination; the caller keeps the BD.
    // A null BD is fatal. Failures are counted, EC_FAIL.
    ERROR_CODES_E Send(BD* bd);
    // Takes at most one waiting datagram, without blocking.
    void Recv();
    void ResetStats();
    void GetStats(UDP_STATS_T& stats) const;

private:
    const SOURCES_E source;
    const RECV_BD_CALLBACK recvCallback;
    const uint16_t localPort;
    const uint32_t localIpAddr;
    SOCKET_STATES_E socketState;  // only ever moves forward
    SOCKET socketPtr;             // null until opened
    UDP_STATS_T counters;         // the counters; the live fields are filled by GetStats
};
