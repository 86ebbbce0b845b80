#include "Input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <vector>

#include "Descriptor.h"
#include "Escapes.h"

namespace input {

namespace {

using Handler = tracefile::LineSplitter::Handler;

// The daemon's longest line (a call whose title is as long as a request may hold, each byte
// written as \u00XX) is a few MiB; a longer one is no line of a trace and is never held whole.
constexpr std::size_t kLongestLine = 16 << 20;
constexpr std::size_t kChunkBytes = 64 << 10;
// Rotated files looked through for the one being followed, PATH.1 to PATH.9: the daemon keeps
// four, and in the middle of a rotation one of them is missing.
constexpr int kMostRotated = 9;
// Looks for the next file again when a rotation moves the files while it looks.
constexpr int kSuccessorAttempts = 3;
// Never blocks: not on a FIFO without a writer yet (poll waits for it instead), not on a read.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

std::string shown(const std::string& path) {
    return escapes::escape(path, escapes::Shown::Text);
}

std::string failed(const std::string& what, const std::string& path) {
    return "cannot " + what + " " + shown(path) + ": " + std::strerror(errno);
}

void note(const std::string& text) {
    std::cerr << "rs232c-trace: " << text << "\n" << std::flush;
}

// A pipe, a terminal, a FIFO or a file, read to its end.
class Stream : public Source {
  public:
    Stream(tools::Descriptor own, int fd, std::string path)
        : own(std::move(own)), fd(fd), path(std::move(path)) {}

    int waitFd() const override { return fd; }

    State read(const Handler& line, std::string& problem) override {
        pollfd ready{fd, POLLIN, 0};
        int polled = ::poll(&ready, 1, 0);
        if (polled == 0 || (polled < 0 && errno == EINTR)) return State::More;
        if (polled > 0) {
            ssize_t got = ::read(fd, buffer.data(), buffer.size());
            if (got > 0) {
                splitter.feed(buffer.data(), static_cast<std::size_t>(got), line);
                return State::More;
            }
            if (got == 0) {
                splitter.finish(line);
                return State::Ended;
            }
            if (errno == EINTR || errno == EAGAIN) return State::More;
        }
        problem = path == "-" ? std::string("cannot read standard input: ") + std::strerror(errno)
                              : failed("read", path);
        return State::Failed;
    }

    std::size_t tooLong() const override { return splitter.tooLong(); }

  private:
    tools::Descriptor own;  // not standard input: it is not ours to close
    int fd;
    std::string path;
    std::vector<char> buffer = std::vector<char>(kChunkBytes);
    tracefile::LineSplitter splitter{kLongestLine};
};

// A file the daemon writes and rotates. Read by offset: a line written in part is read again
// once it is whole, so that the daemon cutting off such a line (a full disk) loses nothing here.
class FollowedFile : public Source {
  public:
    FollowedFile(std::string path, tools::Descriptor notify)
        : path(std::move(path)), notify(std::move(notify)) {}

    int waitFd() const override { return notify.get(); }

    State read(const Handler& line, std::string& problem) override {
        if (!drainNotifications(problem)) return State::Failed;
        for (;;) {
            if (!file.isOpen()) {
                tools::Descriptor opened;
                struct stat st {};
                if (!openRegular(path, opened, st, problem)) {
                    if (!problem.empty()) return State::Failed;
                    if (!saidWaiting) note("waiting for " + shown(path) + " to be created");
                    saidWaiting = true;
                    return State::More;
                }
                adopt(std::move(opened), st);
            }
            // Looked at before the last read: the daemon writes nothing more to a file once it
            // has renamed it, so that read finds all there is.
            bool moved = !isOurs(path);
            if (!readToEnd(line, moved, problem)) return State::Failed;
            if (!moved) return State::More;
            tools::Descriptor next;
            struct stat st {};
            if (!openSuccessor(next, st, problem)) {
                return problem.empty() ? State::More : State::Failed;
            }
            adopt(std::move(next), st);
        }
    }

    std::size_t tooLong() const override { return splitter.tooLong(); }

  private:
    // False with an empty problem when NAME does not exist (yet).
    static bool openRegular(const std::string& name, tools::Descriptor& into, struct stat& st,
                            std::string& problem) {
        tools::Descriptor fd(::open(name.c_str(), kOpenFlags));
        if (!fd.isOpen()) {
            if (errno != ENOENT) problem = failed("read", name);
            return false;
        }
        if (::fstat(fd.get(), &st) != 0) {
            problem = failed("read", name);
            return false;
        }
        if (!S_ISREG(st.st_mode)) {
            problem = "cannot follow " + shown(name) +
                      ": not a regular file (give a pipe or FIFO as FILE instead)";
            return false;
        }
        into = std::move(fd);
        return true;
    }

    void adopt(tools::Descriptor opened, const struct stat& st) {
        file = std::move(opened);
        device = st.st_dev;
        inode = st.st_ino;
        position = 0;
    }

    bool isOurs(const std::string& name) const {
        struct stat st {};
        return ::stat(name.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
    }

    // The notifications only wake the reader, which then looks for itself; all but the
    // folder's going away are read and dropped.
    bool drainNotifications(std::string& problem) {
        alignas(inotify_event) char events[4096];
        for (;;) {
            ssize_t got = ::read(notify.get(), events, sizeof events);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == EAGAIN) return true;
            if (got < 0) {
                problem = failed("watch the folder of", path);
                return false;
            }
            if (got == 0) return true;
            for (const char* at = events; at < events + got;) {
                inotify_event event;
                std::memcpy(&event, at, sizeof event);
                if (event.mask & IN_IGNORED) {
                    problem = "cannot follow " + shown(path) + ": its folder is gone";
                    return false;
                }
                at += sizeof event + event.len;
            }
        }
    }

    // Reads the file from `position` to its end. A line not ended yet is read again next
    // time, unless the file has `ended` (it was rotated): then it is its last line.
    bool readToEnd(const Handler& line, bool ended, std::string& problem) {
        struct stat st {};
        if (::fstat(file.get(), &st) != 0) {
            problem = failed("read", path);
            return false;
        }
        if (st.st_size < position) {  // begun afresh by someone else than the daemon
            note(shown(path) + " was cut short; reading it again from its start");
            position = 0;
        }
        off_t at = position;
        for (;;) {
            ssize_t got = ::pread(file.get(), buffer.data(), buffer.size(), at);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) {
                problem = failed("read", path);
                return false;
            }
            if (got == 0) break;
            splitter.feed(buffer.data(), static_cast<std::size_t>(got), line);
            at += got;
        }
        if (ended) {
            splitter.finish(line);
            position = at;
        } else {
            position = at - static_cast<off_t>(splitter.held());
            splitter.dropHeld();
        }
        return true;
    }

    // The file written after ours: PATH when ours is PATH.1, PATH.N-1 when several rotations
    // have passed while it was read. False with an empty problem when it is not there yet.
    bool openSuccessor(tools::Descriptor& next, struct stat& st, std::string& problem) {
        for (int attempt = 0; attempt < kSuccessorAttempts; ++attempt) {
            int ours = 0;  // 0: not among the rotated files (removed): go on with the newest
            for (int n = 1; n <= kMostRotated && ours == 0; ++n) {
                if (isOurs(path + "." + std::to_string(n))) ours = n;
            }
            std::string name = ours > 1 ? path + "." + std::to_string(ours - 1) : path;
            if (!openRegular(name, next, st, problem)) return false;
            if (st.st_dev == device && st.st_ino == inode) {  // still ours: nothing newer yet
                next.reset();
                return false;
            }
            if (ours == 0) {
                note(shown(path) + " rotated faster than it was read: events of the files " +
                     "rotated out meanwhile may be missing");
                return true;
            }
            // Files are renamed oldest first: while ours is still where it was, the file found
            // is the one after it.
            if (isOurs(path + "." + std::to_string(ours))) return true;
            next.reset();
        }
        return false;  // rotating while it looks; its notifications bring the reader back
    }

    std::string path;
    tools::Descriptor notify;
    tools::Descriptor file;
    dev_t device = 0;
    ino_t inode = 0;
    off_t position = 0;  // where the first line not yet handed on begins
    bool saidWaiting = false;
    std::vector<char> buffer = std::vector<char>(kChunkBytes);
    tracefile::LineSplitter splitter{kLongestLine};
};

}  // namespace

std::unique_ptr<Source> openStream(const std::string& path, std::string& problem) {
    if (path == "-") return std::make_unique<Stream>(tools::Descriptor(), STDIN_FILENO, path);
    tools::Descriptor fd(::open(path.c_str(), kOpenFlags));
    if (!fd.isOpen()) {
        problem = failed("read", path);
        return nullptr;
    }
    int raw = fd.get();
    return std::make_unique<Stream>(std::move(fd), raw, path);
}

std::unique_ptr<Source> follow(const std::string& path, std::string& problem) {
    tools::Descriptor notify(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    std::size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    // Set before the first read, so that nothing written after it goes unnoticed. Changes of
    // the files in it: writes, and the renames and the new file of a rotation.
    const std::uint32_t changes =
        IN_MODIFY | IN_CREATE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ONLYDIR;
    if (!notify.isOpen() || ::inotify_add_watch(notify.get(), folder.c_str(), changes) < 0) {
        problem = failed("watch the folder", folder);
        return nullptr;
    }
    return std::make_unique<FollowedFile>(path, std::move(notify));
}

}  // namespace input
