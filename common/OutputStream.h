// The daemon's own lines on standard output and standard error, and its record when that goes
// to a pipe: written so that a reader that stalls (a hung journal, a pager left open) can never
// stop the daemon. No write blocks: a stream writes through a non-blocking file description of
// its own (standard output and error are reopened through /proc/self/fd where they are pipes,
// FIFOs or terminals, so the flag never reaches other processes), or with send(MSG_DONTWAIT) to
// a socket (systemd's journal); whoever must wait sleeps in poll() until a deadline. Lines are
// never cut or interleaved: a line that went out in part is finished before anything else.
#ifndef COMMON_OUTPUTSTREAM_H
#define COMMON_OUTPUTSTREAM_H

#include <chrono>
#include <cstddef>
#include <string>

#include "common/FileDescriptor.h"
#include "common/ThreadSafety.h"

class OutputStream {
  public:
    using Clock = std::chrono::steady_clock;

    // The process's standard error and output: one stream when both are the same file (2>&1,
    // the journal), so that their lines cannot interleave either. They live as long as the
    // process, exit hooks included.
    static OutputStream& standardError();
    static OutputStream& standardOutput();

    // A stream on a descriptor of our own, already non-blocking (a FIFO).
    explicit OutputStream(FileDescriptor own);
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    struct Taken {
        std::size_t bytes = 0;  // always up to a line's end
        int error = 0;          // errno of a write that failed (EPIPE, ENOSPC, ...), or 0
    };
    // Takes whole lines from the front of `lines` without waiting: what the reader takes now,
    // and the rest of a line that went out in part, which the stream keeps and finishes before
    // anything else. Nothing is taken while such a rest is still waiting.
    Taken offer(const std::string& lines) EXCLUDES(lock);

    // Sleeps until the stream may take more, `wakeFd` (if not -1) is readable, or `deadline`
    // passes; false when the deadline passed, and then the stream counts as stalled.
    bool awaitRoom(Clock::time_point deadline, int wakeFd = -1) EXCLUDES(lock);

    // Whether everything taken has gone out.
    bool idle() EXCLUDES(lock);

    // Whether this stream is systemd's journal (JOURNAL_STREAM names its file), which reads a
    // syslog priority from a "<N>" at the start of each line.
    bool isJournal() const { return journal; }

    // Writes one line (a newline is added), waiting at most `wait` for the reader, and not at
    // all while the stream is stalled. A line that cannot go out now waits for the stream's next
    // write, within a bound; beyond it, the line is lost.
    void writeLine(const std::string& text, std::chrono::milliseconds wait) EXCLUDES(lock);

  private:
    explicit OutputStream(int sharedFd);
    // One write without waiting: the count written, or -1 with errno (EAGAIN: no room).
    long writeNow(const char* data, std::size_t size) REQUIRES(lock);
    // Writes what is waiting; true once nothing is. `error` is set when a write fails.
    bool drainRest(int& error) REQUIRES(lock);

    FileDescriptor own;
    int fd = -1;
    bool socket = false;     // send(MSG_DONTWAIT) instead of write()
    bool pollFirst = false;  // a shared blocking description: write only what poll() has room for
    bool journal = false;    // the journal's stream: lines may carry a priority

    Mutex lock;  // also held for every write, so that lines never interleave
    std::string rest
        GUARDED_BY(lock);  // taken but not yet written: a line's rest, lines of writeLine()
    std::size_t restWritten GUARDED_BY(lock) = 0;
    bool stalled GUARDED_BY(lock) =
        false;  // a wait for room ran out, and nothing has drained since
};

// How much a line matters, as syslog numbers it; the journal files each line under it, so that
// `journalctl -p warning` finds the line's troubles. A terminal or a file sees no number.
enum class Priority { Error = 3, Warning = 4, Info = 6 };

// Whether JOURNAL_STREAM's value ("DEVICE:INODE", as systemd sets it) names this file.
bool journalStreamNames(const char* value, unsigned long device, unsigned long inode);

// One line on standard error, for the operator (the journal): by default a warning.
void diagnostic(const std::string& text, Priority priority = Priority::Warning);
// One line on standard output ("RS232C Daemon started ...").
void announce(const std::string& text, Priority priority = Priority::Info);

#endif
