// One UDP endpoint: see udpapl.h.
#include "udpapl.h"

#include "bdpoolapl.h"
#include "dcapl.h"
#include "exmapl.h"

static const char _MODULE_[] = "udpapl.cpp";

static const int32_t OPTION_ON = 1;
static const int32_t OPTION_OFF = 0;
static const int32_t SEND_BUFFER_BYTES = 8192;
static const int32_t RECV_BUFFER_BYTES = 16384;

// Ports and addresses are held in network byte order; messages show numbers.
static uint16_t hostOrder(uint16_t netPort)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(&netPort);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}

static ndk::sockaddr_in sockAddr(uint32_t addr, uint16_t port)
{
    ndk::sockaddr_in sa = {};
    sa.sin_family = NDK_AF_INET;
    sa.sin_port = port;
    sa.sin_addr = addr;
    return sa;
}

// One socket option of 32 bits at the socket level; prints `what` on failure.
static bool setOption(SOCKET s, int32_t option, int32_t value, uint16_t port, const char* what)
{
    if (NDK_setsockopt(s, NDK_SOL_SOCKET, option, &value, sizeof value) == -1) {
        dcPrintf("ERROR: UDP port %u %s option failed, %d\n", port, what, fdError());
        return false;
    }
    return true;
}

UDP::UDP(UDP_CONFIG_T config)
    : source(config.source),
      recvCallback(config.recvCallback),
      localPort(config.localPort),
      localIpAddr(config.localIpAddr),
      socketState(SOCKET_CLOSED),
      socketPtr(nullptr),
      counters()
{
    if (recvCallback == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
}

ERROR_CODES_E UDP::Open()
{
    const uint16_t port = hostOrder(localPort);
    char addrText[NDK_INET_ADDRSTRLEN] = {};
    (void)NDK_inet_ntop(NDK_AF_INET, &localIpAddr, addrText, sizeof addrText);  // fits always
    dcPrintf("Opening UDP port %u for %s...\n", port, addrText);
    if (socketState != SOCKET_CLOSED) {
        EXM_FATAL(EC_FAIL);  // a port is opened once
    }
    socketState = SOCKET_OPENING;

    // A socket left by a failure here is not released: the system stops.
    SOCKET s = NDK_socket(NDK_AF_INET, NDK_SOCK_DGRAM, NDK_IPPROTO_UDP);
    if (s == NDK_INVALID_SOCKET) {
        dcPrintf("ERROR: UDP port %u socket creation failed, %d\n", port, fdError());
        return EC_FAIL;
    }
    const ndk::sockaddr_in local = sockAddr(localIpAddr, localPort);
    if (NDK_bind(s, &local, sizeof local) == -1) {
        dcPrintf("ERROR: UDP port %u bind failed, %d\n", port, fdError());
        return EC_FAIL;
    }
    if (!setOption(s, NDK_SO_BROADCAST, OPTION_ON, port, "broadcast") ||
        !setOption(s, NDK_SO_BLOCKING, OPTION_OFF, port, "non-blocking") ||
        !setOption(s, NDK_SO_SNDBUF, SEND_BUFFER_BYTES, port, "send buffer") ||
        !setOption(s, NDK_SO_RCVBUF, RECV_BUFFER_BYTES, port, "recv buffer")) {
        return EC_FAIL;
    }
    socketPtr = s;
    socketState = SOCKET_OPENED;
    return EC_SUCCESS;
}

ERROR_CODES_E UDP::Join(uint32_t multIpAddr)
{
    if (socketState != SOCKET_OPENED) {
        EXM_FATAL(EC_FAIL);
    }
    ndk::ip_mreq group;
    group.imr_multiaddr = multIpAddr;
    group.imr_interface = localIpAddr;
    if (NDK_setsockopt(socketPtr, NDK_IPPROTO_IP, NDK_IP_ADD_MEMBERSHIP, &group, sizeof group) ==
        -1) {
        dcPrintf("ERROR: UDP port %u join multicast failed, %d\n", hostOrder(localPort),
                 fdError());
        return EC_FAIL;
    }
    return EC_SUCCESS;
}

ERROR_CODES_E UDP::Send(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    const ndk::sockaddr_in dest = sockAddr(bd->DestIpAddr(), bd->DestPort());
    if (fdShare(socketPtr) == -1) {
        ++counters.numOfSendErrors;
        counters.lastSendError = static_cast<uint32_t>(fdError());
        return EC_FAIL;
    }
    ERROR_CODES_E result = EC_SUCCESS;
    if (NDK_sendto(socketPtr, bd->BufferPtr(), static_cast<int32_t>(bd->Load()), 0, &dest,
                   sizeof dest) == -1) {
        ++counters.numOfSendErrors;
        counters.lastSendError = static_cast<uint32_t>(fdError());
        result = EC_FAIL;
    } else {
        ++counters.numOfSentMessages;
    }
    (void)fdClose(socketPtr);  // releases the reference taken above
    return result;
}

void UDP::Recv()
{
    if (fdShare(socketPtr) == -1) {
        ++counters.numOfRecvErrors;
        counters.lastRecvError = static_cast<uint32_t>(fdError());
        return;
    }
    void* data = nullptr;
    ndk::sockaddr_in from = {};
    int32_t fromLen = sizeof from;
    NDK_PACKET packet = nullptr;
    const int32_t n = NDK_recvncfrom(socketPtr, &data, NDK_MSG_DONTWAIT, &from, &fromLen, &packet);
    if (n == -1) {
        const int32_t code = fdError();
        if (code != NDK_EWOULDBLOCK) {
            ++counters.numOfRecvErrors;
            counters.lastRecvError = static_cast<uint32_t>(code);
        }
    } else if (n > 0) {
        // An empty pool cannot come from this port alone (the mailbox holds
        // fewer BDs than the pool); under a flood it drops the datagram
        // instead of stopping the board.
        BDPOOL_STATS_T pool;
        BdPool::GetStats(pool);
        if (pool.numOfFreeBds == 0) {
            NDK_recvncfree(packet);
            ++counters.numOfRecvErrors;
            counters.lastRecvError = NDK_ENOBUFS;
        } else {
            BD* bd = BdPool::Get();
            if (static_cast<uint32_t>(n) > bd->Capacity()) {
                NDK_recvncfree(packet);
                ++counters.numOfRecvErrors;
                counters.lastRecvError = NDK_EMSGSIZE;
                BdPool::Put(bd);
            } else {
                bd->Copy(static_cast<uint32_t>(n), static_cast<const uint8_t*>(data));
                bd->DestPort(localPort);
                bd->DestIpAddr(localIpAddr);
                bd->SourcePort(from.sin_port);
                bd->SourceIpAddr(from.sin_addr);
                bd->Source(source);
                NDK_recvncfree(packet);
                ++counters.numOfRecvdMessages;
                recvCallback(bd);
            }
        }
    }
    // n == 0: an empty datagram is neither delivered nor counted.
    (void)fdClose(socketPtr);
}

void UDP::ResetStats() { counters = UDP_STATS_T(); }

void UDP::GetStats(UDP_STATS_T& stats) const
{
    stats = counters;
    stats.localPort = localPort;
    stats.socketState = socketState;
}
