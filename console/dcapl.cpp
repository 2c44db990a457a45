// Console print functions, first version: formatted text goes straight to
// the console UART by polling, line feeds as CR LF.
#include "dcapl.h"

#include <cstdarg>
#include <cstdio>

#include "exmapl.h"

namespace {
constexpr uint32_t LEN_PRINT_BUFFER = 256;

void vprint(const char* format, va_list args)
{
    char line[LEN_PRINT_BUFFER];
    std::vsnprintf(line, sizeof(line), format, args);
    exmPrintString(line);
}
}  // namespace

void dcInit() {}

void dcPrint(const char* text)
{
    char line[LEN_PRINT_BUFFER];
    std::snprintf(line, sizeof(line), "%s", text);
    exmPrintString(line);
}

void dcPrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(format, args);
    va_end(args);
}

void dcPrintf2(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    vprint(format, args);
    va_end(args);
}
