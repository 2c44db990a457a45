// Buffer descriptor and list operations that are not inline.
#include "bdapl.h"

#include <cstring>

#include "dcprintapl.h"
#include "exmapl.h"

static const char _MODULE_[] = "bdapl.cpp";

void bdFatal(ERROR_CODES_E code, const char* caller, uint32_t line)
{
    // Every module is named after its source file, so the caller's file
    // name is its module name.
    exmFatalError(code, exmBaseName(caller), "bdapl.h", line);
}

BD::BD(uint32_t capacity, uint8_t* buffer)
    : nextPtr(nullptr),
      source(SOURCE_NONE),
      sourceIpAddr(0),
      destIpAddr(0),
      sourcePort(0),
      destPort(0),
      bufferLoad(0),
      bufferCapacity(capacity),
      bufferPtr(buffer)
{
    if (buffer == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    std::memset(buffer, 0, capacity);
}

void BD::Copy(uint32_t length, const uint8_t* src)
{
    if (src == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    if (length > bufferCapacity) {
        EXM_FATAL(EC_ERROR_INVALID_INDEX);
    }
    std::memcpy(Data(), src, length);
    bufferLoad = length;
}

void BD::Print() const
{
    const auto* s = reinterpret_cast<const uint8_t*>(&sourceIpAddr);
    const auto* d = reinterpret_cast<const uint8_t*>(&destIpAddr);
    // Ports are held in network order; the console shows host-order numbers.
    const auto hostOrder = [](uint16_t port) {
        const auto* b = reinterpret_cast<const uint8_t*>(&port);
        return static_cast<int>((b[0] << 8) | b[1]);
    };
    dcPrintf("[%d.%d.%d.%d : %d]", s[0], s[1], s[2], s[3], hostOrder(sourcePort));
    dcPrintf("[%d.%d.%d.%d : %d] ", d[0], d[1], d[2], d[3], hostOrder(destPort));
    for (uint32_t i = 0; i < bufferLoad; ++i) {
        dcPrintf("%02x ", bufferPtr[i]);
    }
    dcPrint("\n");
}

void BdStack::Push(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    bd->Next(head);
    head = bd;
    ++numOfItems;
}

BD* BdStack::Pop()
{
    BD* bd = head;
    if (bd != nullptr) {
        head = bd->Next();
        --numOfItems;
    }
    return bd;
}

void BdStack::Print() const
{
    dcPrint("Stack:\n");
    for (const BD* bd = head; bd != nullptr; bd = bd->Next()) {
        dcPrintf("0x%p ", static_cast<const void*>(bd));
    }
    dcPrint("\n");
}

void BdQueue::Enqueue(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    bd->Next(nullptr);
    if (front != nullptr) {
        bottom->Next(bd);
    } else {
        front = bd;
    }
    bottom = bd;
    ++numOfItems;
}

void BdQueue::EnqueueFront(BD* bd)
{
    if (bd == nullptr) {
        EXM_FATAL(EC_ERROR_INVALID_ARGUMENT);
    }
    bd->Next(front);
    if (front == nullptr) {
        bottom = bd;
    }
    front = bd;
    ++numOfItems;
}

BD* BdQueue::Dequeue()
{
    BD* bd = front;
    if (bd != nullptr) {
        front = bd->Next();
        --numOfItems;
    }
    return bd;
}
