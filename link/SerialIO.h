// Descriptor ownership and the waiting primitives of the serial line. Waiting sleeps in ppoll()
// on the monotonic clock, so a silent controller costs no CPU and a wall-clock change does not
// move a window.
#ifndef LINK_SERIALIO_H
#define LINK_SERIALIO_H

#include <chrono>
#include <string>

namespace serialio {

// Sole owner of one open descriptor: closed on every path.
class FileDescriptor {
  public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor(FileDescriptor&& other) noexcept : fd(other.fd) { other.fd = -1; }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept;

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    void reset(int newFd = -1);

  private:
    int fd = -1;
};

using Clock = std::chrono::steady_clock;

// Opens a serial device read-write, not as controlling terminal, in blocking mode.
FileDescriptor openDevice(const std::string& path);

enum class Wait { Byte, WindowClosed, Failed };

// Reads one byte, sleeping until one arrives or `deadline` passes. The window is tested before
// every read, so a deadline already past reads nothing. A read error, a hang-up or a descriptor
// that stays readable but delivers nothing (a vanished adapter) is Failed.
Wait readByte(int fd, Clock::time_point deadline, unsigned char& byte);

// Reads one byte that is already there, without waiting: 1 a byte, 0 nothing, -1 a failure.
int readNow(int fd, unsigned char& byte);

// True when the line has hung up or failed (an unplugged adapter), without waiting.
bool lineFailed(int fd);

// Bytes waiting to be read (FIONREAD); 0 when the query fails.
int pendingBytes(int fd);

// Writes the whole frame in one write() call, zero bytes included; the write()'s result.
long writeFrame(int fd, const std::string& frame);

// The fixed 100 ms pause of the protocol.
void pause100ms();

}  // namespace serialio

#endif
