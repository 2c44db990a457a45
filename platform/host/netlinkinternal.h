// Shared internals of the rtnetlink files (netlink.cpp, netns.cpp): a request
// builder with a fixed buffer, one-shot transactions that wait for the
// kernel's acknowledgement, and dumps. Not part of any API; host code only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <linux/netlink.h>

// One rtnetlink request: header, family body and attributes, built in place.
class NlRequest {
public:
    NlRequest(uint16_t type, uint16_t flags);
    // Appends raw bytes (a family header), padded to netlink alignment.
    void put(const void* data, size_t len);
    void attr(uint16_t type, const void* data, size_t len);
    void attrU32(uint16_t type, uint32_t value) { attr(type, &value, sizeof(value)); }
    void attrString(uint16_t type, const char* text);
    // Opens a nested attribute; endNest closes the one opened at `start`.
    size_t beginNest(uint16_t type);
    void endNest(size_t start);
    // False when an append did not fit (the request is then never sent).
    bool fits() const { return !overflow_; }
    const nlmsghdr* header() const { return reinterpret_cast<const nlmsghdr*>(buf_); }

private:
    static constexpr size_t CAPACITY = 1024;  // the largest request (a veth pair) needs ~200
    alignas(nlmsghdr) unsigned char buf_[CAPACITY];
    size_t len_;
    bool overflow_ = false;
};

// Sends the request on a fresh NETLINK_ROUTE socket of the calling thread's
// namespace and waits for the acknowledgement: 0, or a negative errno.
int nlTransact(const NlRequest& req);
// Dumps (RTM_GETLINK/GETADDR/GETROUTE) for the family; each message goes to
// `each`. 0, or a negative errno.
int nlDump(uint16_t type, unsigned char family, const std::function<void(const nlmsghdr*)>& each);
// Walks the attributes that follow a family header of `bodyLen` bytes.
void nlForEachAttr(const nlmsghdr* msg, size_t bodyLen,
                   const std::function<void(uint16_t type, const void* data, size_t len)>& each);
// Same, for the payload of a nested attribute.
void nlForEachNested(const void* data, size_t len,
                     const std::function<void(uint16_t type, const void* data, size_t len)>& each);
// Adds an address without recording it (for links the process deletes
// itself, which take their addresses with them). 0, or a negative errno.
int nlAddAddressUnrecorded(int ifindex, uint32_t addr, uint8_t prefixLen);
