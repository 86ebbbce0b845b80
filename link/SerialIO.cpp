#include "link/SerialIO.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <thread>

#include "link/Timing.h"

namespace serialio {

namespace {

// The device numbers of pseudo-terminal slaves (UNIX98_PTY_SLAVE_MAJOR and the seven after).
constexpr unsigned kPtySlaveMajorFirst = 136;
constexpr unsigned kPtySlaveMajorLast = 143;

timespec until(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
    if (left.count() < 0) left = std::chrono::nanoseconds(0);
    return {static_cast<time_t>(left.count() / 1000000000),
            static_cast<long>(left.count() % 1000000000)};
}

std::string openProblem(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
            return "absent";
        case EACCES:
        case EPERM:
            return "permission denied";
        case EBUSY:
            return "held by another program";
        case EISDIR:
            return "not a terminal";
    }
    return std::strerror(error);
}

}  // namespace

ExclusivePort& ExclusivePort::operator=(ExclusivePort&& other) noexcept {
    if (this != &other) {
        release();
        fd = std::move(other.fd);
    }
    return *this;
}

ExclusivePort ExclusivePort::open(const std::string& path, std::string& problem) {
    ExclusivePort port;
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        problem = openProblem(errno);
        return port;
    }
    FileDescriptor opened(fd);
    // A pipe or a file at the path would take our commands and hand back their own bytes.
    termios settings;
    if (::tcgetattr(fd, &settings) != 0) {
        problem = "not a terminal";
        return port;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        problem = errno == EWOULDBLOCK ? "held by another program" : std::strerror(errno);
        return port;
    }
    if (::ioctl(fd, TIOCEXCL) != 0) {
        problem = std::string("cannot hold it alone: ") + std::strerror(errno);
        return port;
    }
    requestLowLatency(fd);
    port.fd = std::move(opened);
    problem.clear();
    return port;
}

void ExclusivePort::release() {
    if (!fd.isOpen()) return;
    // Closing ends the mark anyway; clearing it first lets another opener in at once.
    ::ioctl(fd.get(), TIOCNXCL);
    fd.reset();
}

void requestLowLatency(int fd) {
    // FTDI adapters otherwise hold received bytes for up to 16 ms. Drivers without the notion
    // (a pseudo-terminal, others) refuse, and nothing changes.
    serial_struct serial{};
    if (::ioctl(fd, TIOCGSERIAL, &serial) != 0 || (serial.flags & ASYNC_LOW_LATENCY)) return;
    serial.flags |= ASYNC_LOW_LATENCY;
    ::ioctl(fd, TIOCSSERIAL, &serial);
}

Presence presenceOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Presence::Absent;
    if (!S_ISCHR(st.st_mode)) return Presence::NotATerminal;
    // Terminal devices are of the tty class in sysfs; pseudo-terminals have no entry there.
    unsigned major = ::major(st.st_rdev), minor = ::minor(st.st_rdev);
    if (major >= kPtySlaveMajorFirst && major <= kPtySlaveMajorLast) return Presence::Present;
    char link[64];
    std::snprintf(link, sizeof link, "/sys/dev/char/%u:%u/subsystem", major, minor);
    char target[PATH_MAX];
    ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return Presence::NotATerminal;
    target[n] = '\0';
    const char* name = std::strrchr(target, '/');
    return name && std::strcmp(name, "/tty") == 0 ? Presence::Present : Presence::NotATerminal;
}

bool LineReader::take(unsigned char& byte) {
    if (begin == end) return false;
    byte = buffer[begin++];
    return true;
}

int LineReader::fill(int fd) {
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            begin = 0;
            end = static_cast<std::size_t>(n);
            return 1;
        }
        if (n == 0 || errno == EAGAIN) return 0;
        if (errno != EINTR) return -1;
    }
}

int LineReader::readNow(int fd, unsigned char& byte) {
    if (take(byte)) return 1;
    int n = fill(fd);
    if (n <= 0) return n;
    take(byte);
    return 1;
}

Wait LineReader::readByte(int fd, Clock::time_point deadline, unsigned char& byte) {
    bool reportedReadable = false;
    for (;;) {
        if (Clock::now() >= deadline) return Wait::WindowClosed;
        int n = readNow(fd, byte);
        if (n < 0) return Wait::Failed;
        if (n == 1) return Wait::Byte;
        // A tty in raw mode that poll() calls readable but that delivers nothing has hung up.
        if (reportedReadable) return Wait::Failed;

        timespec timeout = until(deadline);
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

int LineReader::pendingBytes(int fd) const {
    return static_cast<int>(end - begin) + serialio::pendingBytes(fd);
}

bool lineFailed(int fd) {
    pollfd pfd{fd, 0, 0};
    return ::poll(&pfd, 1, 0) < 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

int pendingBytes(int fd) {
    int available = 0;
    if (::ioctl(fd, FIONREAD, &available) < 0) return 0;
    return available;
}

bool writeFrame(int fd, const std::string& frame) {
    auto deadline = Clock::now() + timing::kWriteGrace + std::chrono::milliseconds(frame.size());
    std::size_t done = 0;
    while (done < frame.size()) {
        ssize_t n = ::write(fd, frame.data() + done, frame.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (Clock::now() >= deadline) return false;
        timespec timeout = until(deadline);
        pollfd pfd{fd, POLLOUT, 0};
        if (::ppoll(&pfd, 1, &timeout, nullptr) < 0 && errno != EINTR) return false;
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) return false;
    }
    return true;
}

void pause100ms() {
    std::this_thread::sleep_for(timing::kPause);
}

}  // namespace serialio
