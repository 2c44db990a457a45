// Shared internals of the host platform files (not part of any API).
#pragma once

#include <cstdint>
#include <string>

// Depth of host-side code on the current thread: while above 0, operator new
// goes to the host's allocator even on a firmware thread, so that the
// platform's own bookkeeping never shows in the firmware's heap statistics.
extern thread_local int tlsHostDepth;
// Whether operator new of this thread goes to the simulated heap.
extern thread_local bool tlsRouteNew;
// The network stack's error code and session flag of the running task.
// Every context runs on the simulated CPU's one thread: the kernel carries
// these (and the two above) across each switch.
extern thread_local int32_t tlsNetError;
extern thread_local bool tlsNetSession;

struct HostScope {
    HostScope() { ++tlsHostDepth; }
    ~HostScope() { --tlsHostDepth; }
    HostScope(const HostScope&) = delete;
    HostScope& operator=(const HostScope&) = delete;
};

// Simulated heap, also used by the kernel for task stacks and mailboxes.
void* hostHeapAlloc(uint32_t size);
void hostHeapFree(void* block);
bool hostHeapOwns(const void* block);

// A listening Unix stream socket at `path` (a stale one is replaced), or -1
// with `error`.
int hostListenUnix(const std::string& path, std::string& error);
