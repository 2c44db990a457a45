// The board's peripheral models in one place: installed (register windows
// mapped, every model at power-on) before anything runs, then, in the
// runner, attached to their Linux side. A new model adds its reset to
// hostPeripheralsInstall and, when it has a Linux side, its attachment to
// hostPeripheralsAttach; no model installs itself.
#pragma once

// Every model to its power-on state, as the board comes out of reset. The
// runner's start and the test fixtures call it, after the kernel's reset.
void hostPeripheralsInstall();
// Runner: attaches every model to its Linux side as the board configuration
// says, before the firmware starts, reporting each attachment on standard
// error; exits the process with a message when one cannot be attached.
void hostPeripheralsAttach();
