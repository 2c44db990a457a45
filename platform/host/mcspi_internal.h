// Between the McSPI register model and its socket side (not an API).
// The socket side runs one host I/O thread per controller; it never runs
// firmware code: it hands the model the bytes its master sent, as many as
// the model takes (a few ticks of bus time), and takes back the answers.
// The model clocks the words at the programmed SPI clock in simulated time,
// raising the interrupt line as each comes due, and wakes the socket side
// (mcspiSocketKick) when answers are ready or it has room again.
#pragma once

#include <cstdint>
#include <string>

constexpr uint32_t MCSPI_NUM_UNITS = 2;
constexpr uint8_t MCSPI_FILL_WORD = 0x16;  // what goes back before the handler left a word

// How many words the model takes from the master now; at 0 the socket
// side is woken once there is room.
uint32_t mcspiModelRoom(uint32_t index);
// Words from the master, each clocked one word time after the one before.
void mcspiModelSubmit(uint32_t index, const uint8_t* in, uint32_t n);
// The words that went back, oldest first, one per word clocked.
uint32_t mcspiModelTakeReplies(uint32_t index, uint8_t* out, uint32_t max);
// Words handed over and not yet answered.
uint32_t mcspiModelOutstanding(uint32_t index);
// The master left: words not yet clocked are forgotten, answers dropped.
void mcspiModelAbandon(uint32_t index);

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
// Wakes the socket side of controller `index` (thread safe, no lock taken).
void mcspiSocketKick(uint32_t index);
