// The runner's peripherals: attachment of the models to Linux resources and
// the watchdog's reset behaviour, in one place for platformArgs.
#include <cstdio>
#include <cstdlib>

#include "hostboard.h"
#include "hostperiph.h"
#include "hostuart.h"
#include "hostwdt.h"

namespace {
constexpr int EXIT_ATTACH_FAILED = 1;
}

void hostPeripheralsAttach()
{
    if (!hostUartAttachAll()) {
        std::fprintf(stderr, "zok2gw: a UART could not be attached\n");
        std::exit(EXIT_ATTACH_FAILED);
    }
    hostWdtStartWatcher(hostBoardConfig().watchdogExits);
    std::fprintf(stderr, "zok2gw: watchdog expiry %s\n",
                 hostBoardConfig().watchdogExits ? "exits the process" : "restarts the process");
}
