// Stand-in for the netlink side until it lands: the process administers
// nothing, and an address is local when a socket can bind it.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "hostnetlink.h"

bool hostNetMayAdminister() { return false; }

bool hostNetAddAddress(const char*, uint32_t, uint8_t, std::string& err)
{
    err = "not supported";
    return false;
}

bool hostNetAddDefaultRoute(const char*, uint32_t, std::string& err)
{
    err = "not supported";
    return false;
}

bool hostNetAddressIsLocal(uint32_t addr)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    const bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (fd >= 0) {
        ::close(fd);
    }
    return ok;
}

void hostNetRemoveAdded() {}

bool hostNetInOwnNamespace() { return false; }
