// Message buffer descriptor (BD) and its two intrusive lists.
// A BD never owns its data area: the pool binds each BD to one slot of its
// static array for life. The lists do no locking; whoever shares a list
// between tasks locks around it (the pool does). Argument faults are fatal.
#pragma once

#include <cstdint>

#include "errcodes.h"

// Interface a message came from: high nibble the kind, low nibble the instance.
enum SOURCES_E : uint8_t {
    SOURCE_NONE = 0x00,
    SOURCE_SPI1 = 0x10,
    SOURCE_SPI2 = 0x11,
    SOURCE_ETH0 = 0x20,
    SOURCE_ETH1 = 0x21,
    SOURCE_SCI1 = 0x30,
    SOURCE_SCI2 = 0x31,
    SOURCE_SCI3 = 0x32,
    SOURCE_ZOK1 = 0x40,
    SOURCE_ZOK2 = 0x41,
};

enum LINK_ACTIVITY_E : uint8_t {
    LINK_DOWN = 0,
    LINK_UP = 1,
};

class BD;
// Receive callback of a protocol or UDP port: the callee owns the BD.
using RECV_BD_CALLBACK = void (*)(BD* bd);
// Link up/down notification of a protocol.
using CONNECTION_CALLBACK = void (*)(SOURCES_E source, LINK_ACTIVITY_E activity);

// Bounds faults of the inline operations below. The fatal line names the
// caller's module (its source file, taken at the call) and this header, the
// file that holds the check.
[[noreturn]] void bdFatal(ERROR_CODES_E code, const char* caller, uint32_t line);

// An index into a BD's data area that remembers the source file of the code
// that made it, for the fatal line of operator[] (which takes one argument).
struct BD_INDEX_T {
    // Implicit: bd[i] reads as usual.
    BD_INDEX_T(uint32_t i, const char* file = __builtin_FILE()) : index(i), caller(file) {}
    uint32_t index;
    const char* caller;
};

class BD {
public:
    BD(uint32_t capacity, uint8_t* buffer);

    BD* Next() const { return nextPtr; }
    void Next(BD* next) { nextPtr = next; }
    SOURCES_E Source() const { return source; }
    void Source(SOURCES_E src) { source = src; }
    uint16_t DestPort() const { return destPort; }
    void DestPort(uint16_t port) { destPort = port; }
    uint32_t DestIpAddr() const { return destIpAddr; }
    void DestIpAddr(uint32_t addr) { destIpAddr = addr; }
    uint16_t SourcePort() const { return sourcePort; }
    void SourcePort(uint16_t port) { sourcePort = port; }
    uint32_t SourceIpAddr() const { return sourceIpAddr; }
    void SourceIpAddr(uint32_t addr) { sourceIpAddr = addr; }
    uint32_t Load() const { return bufferLoad; }
    const uint8_t* BufferPtr() const { return bufferPtr; }
    uint16_t Capacity() const { return static_cast<uint16_t>(bufferCapacity); }

    void Load(uint32_t load, const char* caller = __builtin_FILE())
    {
        if (load > bufferCapacity) {
            bdFatal(EC_ERROR_INVALID_INDEX, caller, __LINE__);
        }
        bufferLoad = load;
    }

    // Reads any byte of the data area; checked against the capacity, not the load.
    uint8_t Buffer(uint32_t index, const char* caller = __builtin_FILE()) const
    {
        if (index >= bufferCapacity) {
            bdFatal(EC_ERROR_INVALID_INDEX, caller, __LINE__);
        }
        return bufferPtr[index];
    }

    // Writes one byte of the data area; the load is not changed.
    void Buffer(uint32_t index, uint8_t value, const char* caller = __builtin_FILE())
    {
        if (index >= bufferCapacity) {
            bdFatal(EC_ERROR_INVALID_INDEX, caller, __LINE__);
        }
        Data()[index] = value;
    }

    uint8_t& operator[](BD_INDEX_T at)
    {
        if (at.index >= bufferCapacity) {
            bdFatal(EC_ERROR_INVALID_INDEX, at.caller, __LINE__);
        }
        return Data()[at.index];
    }

    uint8_t operator[](BD_INDEX_T at) const { return Buffer(at.index, at.caller); }

    // Copies length bytes to the start of the data area and sets the load.
    void Copy(uint32_t length, const uint8_t* src);

    // Empties the BD; the data bytes stay.
    void Flush() { bufferLoad = 0; }

    // Adds one byte behind the load; EC_FAIL when the BD is full.
    ERROR_CODES_E Append(uint8_t value)
    {
        if (bufferLoad >= bufferCapacity) {
            return EC_FAIL;
        }
        Data()[bufferLoad++] = value;
        return EC_SUCCESS;
    }

    // Diagnostic dump on the console.
    void Print() const;

private:
    // The data area is handed over writable by the pool; the pointer is
    // kept const so that readers cannot scribble through BufferPtr().
    uint8_t* Data() { return const_cast<uint8_t*>(bufferPtr); }

    BD* nextPtr;                     // link of BdStack / BdQueue; meaningless outside a list
    SOURCES_E source;                // interface the message came from
    uint32_t sourceIpAddr;           // network byte order
    uint32_t destIpAddr;             // network byte order
    uint16_t sourcePort;             // network byte order
    uint16_t destPort;               // network byte order; the router routes on it
    uint32_t bufferLoad;             // bytes held; never above bufferCapacity
    const uint32_t bufferCapacity;   // size of the data area
    const uint8_t* const bufferPtr;  // start of the data area; not owned
};

// Last-in first-out list through BD::Next.
class BdStack {
public:
    BdStack() : head(nullptr), numOfItems(0) {}
    void Push(BD* bd);
    BD* Pop();
    uint32_t NumOfItems() const { return numOfItems; }
    ERROR_CODES_E IsEmpty() const { return head == nullptr ? EC_SUCCESS : EC_FAIL; }
    void Print() const;

private:
    BD* head;             // top of the stack; null when empty
    uint32_t numOfItems;  // BDs in the stack
};

// First-in first-out list through BD::Next, with insertion at either end.
class BdQueue {
public:
    BdQueue() : front(nullptr), bottom(nullptr), numOfItems(0) {}
    void Enqueue(BD* bd);
    void EnqueueFront(BD* bd);
    BD* Dequeue();
    uint32_t NumOfItems() const { return numOfItems; }
    ERROR_CODES_E IsEmpty() const { return front == nullptr ? EC_SUCCESS : EC_FAIL; }

private:
    BD* front;            // next to leave; null when empty
    BD* bottom;           // last entered at the back; valid only while front is set
    uint32_t numOfItems;  // BDs in the queue
};
