#include "common/OutputStream.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

// How long a line of the daemon's own may wait for a stalled reader before the caller goes on.
constexpr auto kLineWait = std::chrono::milliseconds(500);
// Lines that wait for a stalled reader, at most; beyond, they are lost.
constexpr std::size_t kWaitingLimit = 256 << 10;

int millisecondsUntil(OutputStream::Clock::time_point deadline) {
    if (deadline == OutputStream::Clock::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - OutputStream::Clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, INT_MAX));
}

bool sameFile(int a, int b) {
    struct stat first {};
    struct stat second {};
    return ::fstat(a, &first) == 0 && ::fstat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace

OutputStream& OutputStream::standardError() {
    // Never destroyed: the exit hook writes its line after static objects may be gone.
    static OutputStream* const stream = new OutputStream(STDERR_FILENO);
    return *stream;
}

OutputStream& OutputStream::standardOutput() {
    static OutputStream* const stream =
        sameFile(STDOUT_FILENO, STDERR_FILENO) ? &standardError() : new OutputStream(STDOUT_FILENO);
    return *stream;
}

OutputStream::OutputStream(FileDescriptor ownFd) : own(std::move(ownFd)), fd(own.get()) {}

OutputStream::OutputStream(int sharedFd) {
    struct stat st {};
    if (::fstat(sharedFd, &st) != 0) return;  // closed: every write fails with EBADF
    fd = sharedFd;
    journal = journalStreamNames(std::getenv("JOURNAL_STREAM"), st.st_dev, st.st_ino);
    if (S_ISSOCK(st.st_mode)) {
        socket = true;
    } else if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        // A description of our own of the same pipe or terminal, so that O_NONBLOCK is ours.
        std::string path = "/proc/self/fd/" + std::to_string(sharedFd);
        own.reset(::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        if (own.isOpen()) {
            fd = own.get();
        } else {
            pollFirst = true;  // no /proc: the shared description, never set non-blocking
        }
    }
}

long OutputStream::writeNow(const char* data, std::size_t size) {
    if (fd < 0) {
        errno = EBADF;
        return -1;
    }
    if (socket) return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (pollFirst) {
        // A pipe with room takes up to PIPE_BUF bytes whole, without blocking.
        pollfd room{fd, POLLOUT, 0};
        int ready = ::poll(&room, 1, 0);
        if (ready < 0) return -1;
        if (ready == 0) {
            errno = EAGAIN;
            return -1;
        }
        if (room.revents & POLLOUT) size = std::min<std::size_t>(size, PIPE_BUF);
    }
    return ::write(fd, data, size);
}

bool OutputStream::drainRest(int& error) {
    while (restWritten < rest.size()) {
        long n = writeNow(rest.data() + restWritten, rest.size() - restWritten);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) error = errno;
            return false;
        }
        restWritten += static_cast<std::size_t>(n);
        stalled = false;
    }
    rest.clear();
    restWritten = 0;
    return true;
}

OutputStream::Taken OutputStream::offer(const std::string& lines) {
    MutexLock guard(lock);
    Taken taken;
    if (!drainRest(taken.error)) return taken;
    std::size_t done = 0;
    while (done < lines.size()) {
        long n = writeNow(lines.data() + done, lines.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK) taken.error = errno;
            break;
        }
        done += static_cast<std::size_t>(n);
        stalled = false;
    }
    if (done > 0 && lines[done - 1] != '\n') {
        // The line went out in part: the stream finishes it before anything else.
        std::size_t end = lines.find('\n', done);
        end = end == std::string::npos ? lines.size() : end + 1;
        rest.assign(lines, done, end - done);
        done = end;
    }
    taken.bytes = done;
    return taken;
}

bool OutputStream::awaitRoom(Clock::time_point deadline, int wakeFd) {
    if (fd < 0) return true;  // nothing to wait for: the next write fails at once
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int ready = ::poll(fds, wakeFd >= 0 ? 2 : 1, millisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            MutexLock guard(lock);
            stalled = true;
            return false;
        }
        return true;  // room, a hang-up or an error (the next write says which), or woken
    }
}

bool OutputStream::idle() {
    MutexLock guard(lock);
    return rest.empty();
}

void OutputStream::writeLine(const std::string& text, std::chrono::milliseconds wait) {
    auto deadline = Clock::now() + wait;
    {
        MutexLock guard(lock);
        if (rest.size() - restWritten + text.size() >= kWaitingLimit) return;
        rest += text;
        rest += '\n';
        int error = 0;
        if (drainRest(error) || error || stalled) return;
    }
    while (awaitRoom(deadline)) {
        MutexLock guard(lock);
        int error = 0;
        if (drainRest(error) || error) return;
    }
}

bool journalStreamNames(const char* value, unsigned long device, unsigned long inode) {
    if (!value) return false;
    unsigned long named[2] = {0, 0};
    const char* at = value;
    for (int part = 0; part < 2; ++part) {
        const char* digits = at;
        while (*at >= '0' && *at <= '9') named[part] = named[part] * 10 + (*at++ - '0');
        if (at == digits || at - digits > 20 || *at != (part == 0 ? ':' : '\0')) return false;
        ++at;
    }
    return named[0] == device && named[1] == inode;
}

namespace {

void writePrioritized(OutputStream& stream, const std::string& text, Priority priority) {
    if (!stream.isJournal()) {
        stream.writeLine(text, kLineWait);
        return;
    }
    std::string line = "<" + std::to_string(static_cast<int>(priority)) + ">";
    stream.writeLine(line + text, kLineWait);
}

}  // namespace

void diagnostic(const std::string& text, Priority priority) {
    writePrioritized(OutputStream::standardError(), text, priority);
}

void announce(const std::string& text, Priority priority) {
    writePrioritized(OutputStream::standardOutput(), text, priority);
}
