// A serial port for the line tools: opens a tty or the slave side of a PTY
// raw (no echo, no line editing, no CR/LF translation, no flow control) at a
// bit rate, parity and stop bits, or creates a fresh PTY whose other end a
// user or the gateway can open. Non-blocking; for a single thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zok2tools {

enum class Parity : uint8_t { None, Even, Odd };

// Parses "none"/"even"/"odd" (or n/e/o); false for anything else.
bool ParseParity(const std::string& text, Parity& parity);

class TtyPort {
public:
    TtyPort() = default;
    ~TtyPort();
    TtyPort(const TtyPort&) = delete;
    TtyPort& operator=(const TtyPort&) = delete;

    // Opens `path` and sets the line format; reads the settings back because
    // a tty accepts a change if any part of it applied. A Unix socket at
    // `path` is a serial line the gateway offers there (`--sciN unix`): it is
    // connected to, and carries the line's bytes without a tty in between.
    // False with `error`.
    bool Open(const std::string& path, uint32_t bitRate, Parity parity, uint32_t stopBits,
              std::string& error);
    // Creates a PTY and keeps its master side; `slavePath` is the name to
    // give to the other program. The slave is set raw at the bit rate.
    bool OpenPty(uint32_t bitRate, std::string& slavePath, std::string& error);
    void Close();

    int Fd() const { return fd; }
    // A setting that could not apply but does no harm (parity on a PTY).
    const std::string& Warning() const { return warning; }
    // Waits up to timeoutMs for input; true when some is ready.
    bool WaitReadable(int timeoutMs) const;
    // Reads what is there without waiting; 0 when nothing, -1 on error (a PTY
    // whose other side is closed reports EIO).
    long Read(uint8_t* buffer, size_t capacity);
    // Writes every byte, waiting for room as needed; false on error.
    bool WriteAll(const uint8_t* data, size_t len);

private:
    bool OpenSocket(const std::string& path, std::string& error);

    int fd = -1;
    int ptySlaveFd = -1;  // kept open so the master never sees a hang-up
    std::string warning;
};

}  // namespace zok2tools
