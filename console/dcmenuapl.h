// The console's menu: the seven pages (main menu, configuration, four
// statistics pages, other) with their menu texts, and the key handlers of
// the main, configuration and other pages. The statistics handlers are in
// dcstatapl. Every handler runs in the console task and reads fresh values
// through the owners' accessors, testing each gate for null first.
#pragma once

#include "dcpageapl.h"
#include "errcodes.h"

// The menu of the console; its root is the main menu. Built statically.
extern PageSet mPages;

ERROR_CODES_E dcMainPageWorker(char key);
ERROR_CODES_E dcConfigPageWorker(char key);
// Key r does not return: the fatal path prints its line and the watchdog
// resets the board.
ERROR_CODES_E dcOtherPageWorker(char key);
