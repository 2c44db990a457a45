// The channel behind the print calls of dcprintapl.h. The console installs
// it once at start-up, before the kernel runs; the print calls sit in the
// lowest layer and reach the console only through it, so no module below
// the console depends on the console.
#pragma once

#include <cstdarg>

struct DC_PRINT_CHANNEL_T {
    void (*text)(const char* text);                    // one dcPrint
    void (*format)(const char* format, va_list args);  // one dcPrintf or dcPrintf2
};

// Routes the print calls to `channel` (kept by pointer; null drops output again).
void dcSetPrintChannel(const DC_PRINT_CHANNEL_T* channel);
