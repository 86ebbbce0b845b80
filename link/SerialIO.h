// Exclusive ports and the waiting primitives of the serial line. Ports are non-blocking and
// every wait sleeps in ppoll() on the monotonic clock, so a silent controller costs no CPU, a
// wall-clock change does not move a window, and whatever another program does to the line
// settings no read or write outlasts its window.
#ifndef LINK_SERIALIO_H
#define LINK_SERIALIO_H

#include <array>
#include <chrono>
#include <cstddef>
#include <string>

#include "common/FileDescriptor.h"

namespace serialio {

using ::FileDescriptor;

// A serial port held for the daemon's use alone: a terminal, locked with flock() (as
// cooperating programs such as picocom and pyserial's exclusive mode lock it) and marked
// exclusive (TIOCEXCL), so that an ordinary user's program cannot open it meanwhile. Releasing
// it clears the mark before the descriptor is closed, so the tty takes other openers again.
class ExclusivePort {
  public:
    ExclusivePort() = default;
    ~ExclusivePort() { release(); }
    ExclusivePort(ExclusivePort&&) noexcept = default;
    ExclusivePort& operator=(ExclusivePort&& other) noexcept;

    // Opens `path` read-write, not as controlling terminal, non-blocking. On failure the port
    // stays closed, nothing has been read or written, and `problem` says why in words: "absent",
    // "permission denied", "not a terminal", "held by another program" or the system's reason.
    static ExclusivePort open(const std::string& path, std::string& problem);

    int get() const { return fd.get(); }
    bool isOpen() const { return fd.isOpen(); }
    void release();

  private:
    FileDescriptor fd;
};

// Asks the driver to hand over received bytes at once (ASYNC_LOW_LATENCY), as USB adapters
// otherwise batch them; a driver that refuses changes nothing.
void requestLowLatency(int fd);

// What is at a device path now, looked at without opening it.
enum class Presence { Present, Absent, NotATerminal };
Presence presenceOf(const std::string& path);

using Clock = std::chrono::steady_clock;

enum class Wait { Byte, WindowClosed, Failed };

// Bytes waiting in the kernel (FIONREAD); 0 when the query fails.
int pendingBytes(int fd);

// Hands out the line's bytes one at a time but reads them in chunks: a system call a byte
// cost a controller that chatters a mebibyte seconds of CPU. The bytes it holds still wait to
// be read, as they would in the kernel; they belong to the port they came from, so clear() drops
// them whenever a port is opened.
class LineReader {
  public:
    // Reads one byte, sleeping until one arrives or `deadline` passes. The window is tested
    // before every byte, so a deadline already past reads nothing. A read error, a hang-up or a
    // descriptor that stays readable but delivers nothing (a vanished adapter) is Failed.
    Wait readByte(int fd, Clock::time_point deadline, unsigned char& byte);
    // Reads one byte that is already there, without waiting: 1 a byte, 0 nothing, -1 a failure.
    int readNow(int fd, unsigned char& byte);
    // Bytes waiting to be read, held here or in the kernel.
    int pendingBytes(int fd) const;
    void clear() { begin = end = 0; }

  private:
    bool take(unsigned char& byte);
    // Reads what the line has: 1 bytes came, 0 nothing (or a hang-up's end of file), -1 a
    // failure.
    int fill(int fd);

    std::array<unsigned char, 4096> buffer{};
    std::size_t begin = 0, end = 0;
};

// True when the line has hung up or failed (an unplugged adapter), without waiting.
bool lineFailed(int fd);

// Writes the whole frame, zero bytes included, waiting in poll() for room while the line takes
// it. False when the line fails or the frame cannot be written within a bound of a few seconds
// (output stopped by flow control, say).
bool writeFrame(int fd, const std::string& frame);

// The fixed 100 ms pause of the protocol.
void pause100ms();

}  // namespace serialio

#endif
