// The runner's peripherals: attaches every peripheral model to its Linux side
// as the board configuration says and starts the watchdog's watcher.
#pragma once

// Reports each attachment on standard error; exits the process with a
// message when a peripheral cannot be attached.
void hostPeripheralsAttach();
