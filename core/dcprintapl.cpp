// The print calls, forwarded to the channel the console installed; see
// dcprintapl.h and dcchannelapl.h. Owns only the channel pointer, written
// once at start-up before any task runs.
#include "dcprintapl.h"

#include "dcchannelapl.h"

static const DC_PRINT_CHANNEL_T* mChannel = nullptr;

void dcSetPrintChannel(const DC_PRINT_CHANNEL_T* channel) { mChannel = channel; }

void dcPrint(const char* text)
{
    if (mChannel != nullptr) {
        mChannel->text(text);
    }
}

// The one formatted path of dcPrintf and dcPrintf2.
static void dcVPrintf(const char* format, va_list args)
{
    if (mChannel != nullptr) {
        mChannel->format(format, args);
    }
}

void dcPrintf(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    dcVPrintf(format, args);
    va_end(args);
}

int dcPrintf2(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    dcVPrintf(format, args);
    va_end(args);
    return 1;
}
