// Test hooks of the McSPI controller models (host links). A controller
// becomes live when the firmware enables its channel; from then on an SPI
// master clocks words through it: each word clocked in runs the receive
// interrupt, and the word the handler left in the transmit register goes
// back with the next word (0x16 while none was left). A socket's master is
// clocked at the programmed SPI clock in simulated time. With sockets on, a
// controller also opens its socket (see hostboard.h) when it goes live.
#pragma once

#include <cstdint>
#include <string>

struct HostMcspiState {
    uint32_t resets = 0;         // McSPIReset calls
    uint32_t clockActivity = 0;  // system configuration as programmed
    uint32_t idleMode = 0;
    uint32_t wakeUp = 0;
    uint32_t autoIdle = 0;
    bool csEnabled = false;
    bool slave = false;
    bool singleChannel = false;
    uint32_t inClockHz = 0;
    uint32_t outClockHz = 0;  // the SPI clock that paces the socket's words
    uint32_t clockMode = 0;
    uint32_t wordLength = 0;
    uint32_t csPolarity = 0;
    uint32_t txFifo = 0;
    uint32_t rxFifo = 0;
    bool channelEnabled = false;
    uint32_t intEnable = 0;     // enabled interrupt bits
    uint32_t status = 0;        // pending interrupt status bits
    uint64_t wordsClocked = 0;  // words that reached the interrupt handler
    uint64_t wordsDropped = 0;  // words clocked while the controller was not live
};

// Forgets every controller's state and stops their sockets. With sockets
// false, controllers that go live later open no socket (unit tests).
void hostMcspiReset(bool sockets);
HostMcspiState hostMcspiState(uint32_t index);

// Clocks n words through controller `index` as the SPI master, from the
// firmware context of a manual-time test: the handlers have run when it
// returns, and out[i] is the word that came back with in[i]. False when the
// controller is not live (out is then all fill).
bool hostMcspiClockSync(uint32_t index, const uint8_t* in, uint8_t* out, uint32_t n);

// A socket's master as the model sees it, for tests on the manual clock:
// words handed over are clocked one word time of the programmed SPI clock
// after another in simulated time; the model takes a few ticks of bus time
// of them at most (MasterRoom); MasterTake gives the answers so far.
void hostMcspiMasterSend(uint32_t index, const uint8_t* in, uint32_t n);
uint32_t hostMcspiMasterRoom(uint32_t index);
uint32_t hostMcspiMasterTake(uint32_t index, uint8_t* out, uint32_t max);

// Runner: opens both controllers' sockets as the board configuration says,
// before the firmware runs, and reports each on standard error; masters are
// taken once the firmware has made the controller live. False (after a
// message) when a socket cannot be opened.
bool hostMcspiAttachAll();

// Where the controller's socket listens ("unix:PATH" or "tcp:HOST:PORT"),
// empty while it has none.
std::string hostMcspiEndpoint(uint32_t index);
