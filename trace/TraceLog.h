// The daemon's record of its line: every byte written and read, every call and who made it, the
// port's life. One JSON object per line ("JSON Lines"), each with the wall-clock time and a
// monotonic offset. Events are formatted on the caller's thread and queued; a thread of its own
// writes them, so a slow disk, a full disk or a stalled pipe never stalls the line or a stop:
// what cannot be written waits in the queue (within its bound), what does not fit is dropped and
// counted in the record, and a stop waits for the writer only a few seconds. No line is ever
// written cut short or glued to another.
#ifndef TRACE_TRACELOG_H
#define TRACE_TRACELOG_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/FileDescriptor.h"
#include "common/ThreadSafety.h"

class TraceLog {
  public:
    struct Options {
        std::string path;                    // "-": standard error
        std::size_t rotateBytes = 10 << 20;  // a file is rotated at this size
        int keptFiles = 4;                   // PATH.1 (newest) to PATH.N are kept
        std::size_t queueBytes = 4 << 20;    // events waiting to be written, at most
    };

    // Opens the record; null, with the reason, when it cannot be: a symbolic link is refused, as
    // is a FIFO that nobody reads yet (never waited for). Files are created with mode 0640.
    static std::unique_ptr<TraceLog> open(const Options& options, std::string& problem);
    // close().
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    // One event, built field by field and queued when it goes out of scope:
    //   trace.event("tx").text("port", device).bytes(frame);
    class Event {
      public:
        Event(Event&& other) noexcept;
        ~Event();
        // Text (UTF-8, as XML-RPC strings are): its characters, control characters escaped.
        Event& text(const char* key, const std::string& value);
        Event& number(const char* key, double value);
        Event& integer(const char* key, long value);
        Event& texts(const char* key, const std::vector<std::string>& values);
        // Bytes of the line: "hex" (two digits a byte, space-separated), and "text", in which
        // each character's code is the byte's value.
        Event& bytes(const std::string& value);

      private:
        friend class TraceLog;
        Event(TraceLog* log, const char* name);
        TraceLog* log;
        std::string line;
    };
    Event event(const char* name);

    // Events dropped so far because the queue was full.
    std::size_t dropped() const EXCLUDES(lock);
    // Writes out what is queued, waiting at most a few seconds however stuck the output is, and
    // stops. Returns how many events were neither written nor counted in the record; they are
    // said in one line on standard error. Later events are not recorded.
    std::size_t close() EXCLUDES(lock);

    class Sink;  // where the lines go: a file, or a stream (standard error, a FIFO)

  private:
    using Clock = std::chrono::steady_clock;
    // A line of the record, and the events it accounts for (a `dropped` event: those it counts).
    struct Line {
        std::string text;
        std::size_t events;
    };

    TraceLog(const Options& options, std::unique_ptr<Sink> sink, FileDescriptor wakeFd);
    // The start of every line: the time, the monotonic offset, the event's name.
    std::string head(const char* name) const;
    std::string droppedLine(std::size_t count) const;
    void queue(std::string line) EXCLUDES(lock);
    void run() EXCLUDES(lock);
    // Front lines up to a chunk's size (at least one).
    std::string nextChunk() const REQUIRES(lock);
    // Removes the front lines that `bytes` covers.
    void written(std::size_t bytes) REQUIRES(lock);
    // Sleeps until `until`, or until a stop wakes the writer.
    void pauseBeforeRetry(Clock::time_point until);
    std::string where() const;

    Options options;
    std::unique_ptr<Sink> sink;  // used by the writer thread alone
    FileDescriptor wakeFd;       // an eventfd that interrupts the writer's waits for the output
    Clock::time_point started;

    mutable Mutex lock;
    std::condition_variable_any wake;
    std::deque<Line> lines GUARDED_BY(lock);
    std::size_t queuedBytes GUARDED_BY(lock) = 0;
    std::size_t droppedEvents GUARDED_BY(lock) = 0;
    std::size_t droppedUnreported GUARDED_BY(lock) =
        0;  // said by a `dropped` event before the next line
    bool stopping GUARDED_BY(lock) = false;
    bool closed GUARDED_BY(lock) = false;
    Clock::time_point stopDeadline GUARDED_BY(lock);
    std::thread writer;
};

// A JSON string of bytes: printable ASCII as itself, every other byte escaped alone.
std::string jsonBytes(const std::string& bytes);
// A JSON string of UTF-8 text: control characters, quotes and backslashes escaped.
std::string jsonText(const std::string& utf8);

#endif
