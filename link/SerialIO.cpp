#include "link/SerialIO.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace serialio {

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
        reset(other.fd);
        other.fd = -1;
    }
    return *this;
}

void FileDescriptor::reset(int newFd) {
    if (fd >= 0) ::close(fd);
    fd = newFd;
}

FileDescriptor openDevice(const std::string& path) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    return FileDescriptor(fd);
}

int readNow(int fd, unsigned char& byte) {
    for (;;) {
        ssize_t n = ::read(fd, &byte, 1);
        if (n >= 0) return static_cast<int>(n);
        if (errno == EAGAIN) return 0;
        if (errno != EINTR) return -1;
    }
}

Wait readByte(int fd, Clock::time_point deadline, unsigned char& byte) {
    bool reportedReadable = false;
    for (;;) {
        auto now = Clock::now();
        if (now >= deadline) return Wait::WindowClosed;
        int n = readNow(fd, byte);
        if (n < 0) return Wait::Failed;
        if (n == 1) return Wait::Byte;
        // A tty in raw mode that poll() calls readable but that delivers nothing has hung up.
        if (reportedReadable) return Wait::Failed;

        auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now);
        timespec timeout{static_cast<time_t>(left.count() / 1000000000),
                         static_cast<long>(left.count() % 1000000000)};
        pollfd pfd{fd, POLLIN, 0};
        int ready = ::ppoll(&pfd, 1, &timeout, nullptr);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Wait::Failed;
        }
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return Wait::Failed;
        reportedReadable = (pfd.revents & POLLIN) != 0;
    }
}

bool lineFailed(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) < 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int pendingBytes(int fd) {
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) < 0) return 0;
    return available;
}

long writeFrame(int fd, const std::string& frame) {
    if (frame.empty()) return 0;
    ssize_t n;
    do {
        n = ::write(fd, frame.data(), frame.size());
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

void pause100ms() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

}  // namespace serialio
