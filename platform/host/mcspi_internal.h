// Between the McSPI register model and its socket side (not an API).
// The socket side runs one host I/O thread per controller; it never runs
// firmware code: mcspiModelExchange only fills the model's word buffer and
// raises the interrupt line, then waits until the handlers have consumed it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

constexpr uint32_t MCSPI_NUM_UNITS = 2;
constexpr uint8_t MCSPI_FILL_WORD = 0x16;  // what goes back before the handler left a word

enum class McspiExchange : uint8_t { Done, NotLive, Stalled };

// Clocks n words; out[i] is the word sent back with in[i]. Stalled when the
// handlers did not take the words within timeoutMs, except that with a
// giveUp flag a running firmware is waited for (a busy host only slows it)
// until it halts, its scheduler stops or *giveUp is set (then call
// mcspiModelWake).
McspiExchange mcspiModelExchange(uint32_t index, const uint8_t* in, uint8_t* out, uint32_t n,
                                 uint32_t timeoutMs, const std::atomic<bool>* giveUp);
// Wakes an exchange of controller `index` to look at its giveUp flag.
void mcspiModelWake(uint32_t index);
// SPI clock the firmware programmed, in Hz (0 before it did).
uint32_t mcspiModelClockHz(uint32_t index);

// Starts listening for controller `index` on `attachment` ("unix", "unix:PATH",
// "tcp:[HOST:]PORT"); prints where on standard error. False with a reason.
// Peers may connect at once but are taken only after mcspiSocketAccept, so
// that nothing is clocked into a controller the firmware has not set up.
bool mcspiSocketStart(uint32_t index, const std::string& attachment, const std::string& runDir,
                      std::string& endpoint, std::string& error);
// The controller is live: its listener takes peers from now on.
void mcspiSocketAccept(uint32_t index);
// Stops the listener and any connection of controller `index`.
void mcspiSocketStop(uint32_t index);
