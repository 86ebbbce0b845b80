// The daemon's record of its line: every byte written and read, every call and who made it, the
// port's life. One JSON object per line ("JSON Lines"), each with the wall-clock time and a
// monotonic offset. Events are formatted on the caller's thread and queued; a thread of its own
// writes them, so a slow disk or a full pipe never stalls the line: when the queue is full,
// events are dropped and the record says how many.
#ifndef TRACE_TRACELOG_H
#define TRACE_TRACELOG_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class TraceLog {
  public:
    struct Options {
        std::string path;                    // "-": standard error
        std::size_t rotateBytes = 10 << 20;  // a file is rotated at this size
        int keptFiles = 4;                   // PATH.1 (newest) to PATH.N are kept
        std::size_t queueBytes = 4 << 20;    // events waiting to be written, at most
    };

    // Opens the record; null, with the reason, when its file cannot be opened. Files are
    // created with mode 0640.
    static std::unique_ptr<TraceLog> open(const Options& options, std::string& problem);
    // Writes what is queued, then stops.
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
    std::size_t dropped() const;
    // Returns once every event queued so far is written.
    void flush();

  private:
    TraceLog(const Options& options, int fd);
    // The start of every line: the time, the monotonic offset, the event's name.
    std::string head(const char* name) const;
    void queue(std::string line);
    void run();
    void write(const std::deque<std::string>& batch);
    void writeAll(const std::string& bytes);
    void rotate();

    Options options;
    int fd;
    bool ownsFd;
    std::size_t fileBytes = 0;
    std::chrono::steady_clock::time_point started;

    mutable std::mutex lock;  // guards the queue, its size, the counts and `stopping`
    std::condition_variable wake;
    std::condition_variable written;
    bool writing = false;
    std::deque<std::string> lines;
    std::size_t queuedBytes = 0;
    std::size_t droppedEvents = 0;
    std::size_t droppedUnreported = 0;
    bool stopping = false;
    std::thread writer;
};

// A JSON string of bytes: printable ASCII as itself, every other byte escaped alone.
std::string jsonBytes(const std::string& bytes);
// A JSON string of UTF-8 text: control characters, quotes and backslashes escaped.
std::string jsonText(const std::string& utf8);

#endif
