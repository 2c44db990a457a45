// The runner's view of the board: where each peripheral is attached on the
// Linux side, filled from the command line by platformArgs. Models read it
// when the firmware opens their peripheral.
#pragma once

#include <cstdint>
#include <string>

struct HostBoardConfig {
    std::string runDir = "run";                  // PTY symlinks and Unix sockets live here
    std::string console = "tty";                 // "tty" (the terminal), "pty", or a device path
    std::string sci[3] = {"pty", "pty", "pty"};  // UART 1-3: "pty" or a device path
    std::string spi[2] = {"unix", "unix"};  // McSPI 0-1: "unix", "unix:PATH" or "tcp:[HOST:]PORT"
    std::string eth[2] = {"lo", "lo"};      // Linux interface names of Ethernet 0-1
    bool watchdogExits = false;  // watchdog expiry exits the process instead of restarting it
    bool virtualTime = false;    // virtual time instead of real time
    uint32_t tickOffset = 0;     // start value of the 32-bit tick counter
    uint32_t tickBatch = 4;      // real time: idle wake-ups this many ticks apart at most
    std::string failTaskCreate;  // test hook: creating the task of this name fails
};

HostBoardConfig& hostBoardConfig();

// The runner's argument vector, kept so that a watchdog reset can start the
// process afresh with the same options.
int hostArgc();
char** hostArgv();

// The memory map as the firmware programmed it: false when the 1 MB section
// holding `addr` was never set. `physical` receives the mapped address.
struct ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs;
bool hostMmuSection(uint32_t addr, ti_sysbios_family_arm_a8_Mmu_FirstLevelDescAttrs* attrs,
                    uint32_t* physical);
bool hostMmuEnabled();
// Flags the board library was initialised with (0 before Board_init).
uint32_t hostBoardInitFlags();
