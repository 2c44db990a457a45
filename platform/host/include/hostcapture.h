// The runner's capture of the board's edges (zok2gw --capture FILE): one
// pcapng file with an interface per host link ("host link 1", "host link
// 2"), serial line ("sci1".."sci3") and Ethernet interface ("eth0",
// "eth1"), fed by taps in the models with times in simulated nanoseconds.
// Host-link and serial bytes are cut into units on the capture side; the
// protocol of a serial line (BAC-M or RAWoS, and a RAWoS line's silence) is
// read from the status message the board sends for its group, so a line's
// interface appears with its first byte. Off unless the option is given:
// every tap returns at once then. Thread safe; never blocks a model for
// long: the host links' words wait in a ring without a lock, blocks are
// batched, and both are written every 20 ms of wall time (by a small host
// thread of its own, which also serves a frozen firmware after a fatal
// error), and at a stop, a watchdog expiry or a reset.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// Takes --capture FILE at argv[i] (advancing i); false when argv[i] is not
// it, `ok` false when its value is missing.
bool hostCaptureTakeOption(int argc, char** argv, int& i, bool& ok);
// Opens the file of the option, if any, and names it on standard error.
// After a watchdog reset (the runner started afresh) a new section is
// appended instead, so one file holds every run. False when it cannot be made.
bool hostCaptureStart();
// Flushes and closes (a shutdown hook; safe to call twice).
void hostCaptureStop();

extern std::atomic<bool> gHostCaptureOn;
inline bool hostCaptureOn() { return gHostCaptureOn.load(std::memory_order_relaxed); }

// Taps, each a no-op while the capture is off. `toBoard`: into the board.
// link 1 or 2: the n words of one SPI exchange, `in` from the host and `out`
// from the board, simNs the end of the last. Called under the caller's own
// lock of the link: one thread at a time per link.
void hostCaptureHostLink(uint32_t link, const uint8_t* in, const uint8_t* out, size_t n,
                         uint64_t simNs);
// line 1 to 3: one character as it crossed the line. Returns the moment at
// which a silence will have ended the unit it belongs to, for the caller's
// next hostCapturePoll (UINT64_MAX when there is none).
uint64_t hostCaptureSerialByte(uint32_t line, bool toBoard, uint8_t byte, uint64_t simNs);
// eth 0 or 1: one datagram; addresses and ports in host order.
void hostCaptureDatagram(uint32_t eth, bool toBoard, uint32_t sourceAddr, uint16_t sourcePort,
                         uint32_t destAddr, uint16_t destPort, const uint8_t* payload, size_t len,
                         uint64_t simNs);
// Ends the serial units that a silence has ended by now; every serial line
// must have handed over its characters up to simNs. Returns the moment of
// the next such end (UINT64_MAX when no unit is pending).
uint64_t hostCapturePoll(uint64_t simNs);
