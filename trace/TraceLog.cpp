#include "trace/TraceLog.h"

#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "common/OutputStream.h"

namespace {

using Clock = std::chrono::steady_clock;

// How long the writer gathers events after the first before it writes them.
constexpr auto kGather = std::chrono::milliseconds(20);
// While the output fails (a full disk, a broken pipe), how often the writer tries again.
constexpr auto kRetry = std::chrono::seconds(1);
// How long a stop waits for the record to be written out, however stuck its output is.
constexpr auto kFinalFlush = std::chrono::seconds(2);
// One write takes lines up to this size (and always at least one line).
constexpr std::size_t kChunkBytes = 256 << 10;

std::string reason(int error) {
    return std::strerror(error);
}

// The end of the line that begins at `at`.
std::size_t lineEnd(const std::string& lines, std::size_t at) {
    std::size_t end = lines.find('\n', at);
    return end == std::string::npos ? lines.size() : end + 1;
}

// `wide`: whether bytes from 0x80 up stand for themselves (UTF-8 text) or are escaped alone.
std::string json(const std::string& bytes, bool wide) {
    std::string out = "\"";
    for (unsigned char c : bytes) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if ((c >= 0x20 && c < 0x7F) || (wide && c >= 0x80)) {
                    out += static_cast<char>(c);
                } else {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04X", c);
                    out += escaped;
                }
        }
    }
    return out + "\"";
}

}  // namespace

std::string jsonBytes(const std::string& bytes) {
    return json(bytes, false);
}

std::string jsonText(const std::string& utf8) {
    return json(utf8, true);
}

// Where the record's lines go.
class TraceLog::Sink {
  public:
    struct Written {
        std::size_t bytes = 0;  // whole lines from the front
        std::string problem;    // why the output failed, if it did
    };

    virtual ~Sink() = default;
    // Writes whole lines from the front of `lines` (none: only what the output still owes);
    // what a full pipe cannot take now is left.
    virtual Written write(const std::string& lines) = 0;
    // Sleeps until the output may take more, `wakeFd` (if not -1) is readable, or `deadline`.
    virtual void awaitRoom(int wakeFd, Clock::time_point deadline) = 0;
    // Whether everything taken has gone out.
    virtual bool idle() = 0;
};

namespace {

// Opens PATH for the record: a regular file (created with mode 0640 whatever the umask: the
// record is for the operator's group to read), or a FIFO that a reader has open. O_NOFOLLOW: a
// symbolic link planted at the path is refused, not followed. O_NONBLOCK: a FIFO that nobody
// reads is refused at once instead of waited for, and a FIFO never blocks a write (regular
// files ignore the flag).
FileDescriptor openRecord(const std::string& path, struct stat& st, std::string& problem) {
    const int flags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;
    FileDescriptor fd(::open(path.c_str(), flags | O_CREAT | O_EXCL, 0640));
    bool created = fd.isOpen();
    if (!created && errno == EEXIST) fd.reset(::open(path.c_str(), flags));
    if (!fd.isOpen()) {
        if (errno == ELOOP) {
            problem = "it is a symbolic link (name the file itself)";
        } else if (errno == ENXIO) {
            problem = "nothing reads it (a FIFO needs its reader first)";
        } else {
            problem = reason(errno);
        }
    } else if (::fstat(fd.get(), &st) != 0) {
        problem = reason(errno);
    } else if (S_ISFIFO(st.st_mode)) {
        return fd;
    } else if (!S_ISREG(st.st_mode)) {
        problem = "not a regular file or a FIFO";
    } else if (created && ::fchmod(fd.get(), 0640) != 0) {
        problem = reason(errno);
    } else {
        return fd;
    }
    fd.reset();
    return fd;
}

// Standard error or a FIFO: a stream that finishes every line it begins.
class StreamSink : public TraceLog::Sink {
  public:
    explicit StreamSink(OutputStream& shared) : stream(shared) {}
    explicit StreamSink(std::unique_ptr<OutputStream> own)
        : ownStream(std::move(own)), stream(*ownStream) {}

    Written write(const std::string& lines) override {
        OutputStream::Taken taken = stream.offer(lines);
        return {taken.bytes, taken.error ? reason(taken.error) : ""};
    }
    void awaitRoom(int wakeFd, Clock::time_point deadline) override {
        stream.awaitRoom(deadline, wakeFd);
    }
    bool idle() override { return stream.idle(); }

  private:
    std::unique_ptr<OutputStream> ownStream;
    OutputStream& stream;
};

// A regular file, rotated at its size. A line that does not fit whole (a full disk) is cut off
// again, so that the file holds whole lines only and the next line starts on a line of its own.
class FileSink : public TraceLog::Sink {
  public:
    FileSink(const TraceLog::Options& options, FileDescriptor opened, std::size_t bytes)
        : options(options) {
        adopt(std::move(opened), bytes);
    }

    Written write(const std::string& lines) override {
        Written result;
        if (!repair(result.problem)) return result;
        std::size_t& at = result.bytes;
        while (at < lines.size() && result.problem.empty()) {
            // The lines that fit into this file (at least one into an empty file).
            std::size_t end = at;
            for (std::size_t next; end < lines.size(); end = next) {
                next = lineEnd(lines, end);
                if (size + (next - at) > options.rotateBytes && (size > 0 || end > at)) break;
            }
            if (end == at) {
                rotate(result.problem);
            } else {
                at += writeLines(lines.data() + at, end - at, result.problem);
            }
        }
        return result;
    }
    void awaitRoom(int, Clock::time_point) override {}  // a file has room, or fails
    bool idle() override { return true; }

  private:
    void adopt(FileDescriptor opened, std::size_t bytes) {
        fd = std::move(opened);
        size = written = bytes;
        brokenEnd = size > 0 && lastByte() != '\n';
    }

    // The file's last byte, read through a descriptor of its own (ours is write-only, so that a
    // FIFO without a reader is refused); a line's end when it cannot be read or the path no
    // longer names our file.
    char lastByte() const {
        FileDescriptor reader(
            ::open(options.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat ours {};
        struct stat read {};
        char last = '\n';
        bool same = reader.isOpen() && ::fstat(fd.get(), &ours) == 0 &&
                    ::fstat(reader.get(), &read) == 0 && ours.st_ino == read.st_ino &&
                    ours.st_dev == read.st_dev;
        return same && ::pread(reader.get(), &last, 1, static_cast<off_t>(size - 1)) == 1 ? last
                                                                                          : '\n';
    }

    // Writes `count` bytes of whole lines; returns how many bytes of whole lines went out.
    std::size_t writeLines(const char* data, std::size_t count, std::string& problem) {
        std::size_t done = 0;
        while (done < count) {
            ssize_t n = ::write(fd.get(), data + done, count - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                problem = n < 0 ? reason(errno) : "the file takes nothing";
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        written = size + done;
        const void* last = ::memrchr(data, '\n', done);
        std::size_t whole =
            last ? static_cast<std::size_t>(static_cast<const char*>(last) - data) + 1 : 0;
        size += whole;
        std::string later;  // the write's own problem is the one to tell; repair() tries again
        repair(later);
        return whole;
    }

    // Makes the file end with a whole line: cuts off a line written in part, or ends a broken
    // one. False, with the reason, while it cannot.
    bool repair(std::string& problem) {
        if (!fd.isOpen() && !reopen(problem)) return false;
        if (written > size) {
            if (::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
                problem = "a line written in part cannot be cut off: " + reason(errno);
                return false;
            }
            written = size;
        }
        if (brokenEnd) {
            if (::write(fd.get(), "\n", 1) != 1) {
                problem = reason(errno);
                return false;
            }
            brokenEnd = false;
            size = written = size + 1;
        }
        return true;
    }

    // PATH.N-1 becomes PATH.N, ..., PATH becomes PATH.1, and PATH starts afresh.
    void rotate(std::string& problem) {
        for (int k = options.keptFiles; k >= 1; --k) {
            std::string from = k > 1 ? options.path + "." + std::to_string(k - 1) : options.path;
            std::string to = options.path + "." + std::to_string(k);
            if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT) {
                problem = "cannot rotate it: renaming " + from + " to " + to + ": " + reason(errno);
                return;
            }
        }
        fd.reset();
        reopen(problem);
    }

    bool reopen(std::string& problem) {
        struct stat st {};
        std::string why;
        FileDescriptor opened = openRecord(options.path, st, why);
        if (opened.isOpen() && !S_ISREG(st.st_mode)) {
            why = "not a regular file";
            opened.reset();
        }
        if (!opened.isOpen()) {
            problem = "cannot reopen it after rotating: " + why;
            return false;
        }
        adopt(std::move(opened), static_cast<std::size_t>(st.st_size));
        return true;
    }

    TraceLog::Options options;
    FileDescriptor fd;
    std::size_t size = 0;     // bytes of whole lines
    std::size_t written = 0;  // more while a line written in part is not yet cut off
    bool brokenEnd = false;
};

}  // namespace

std::unique_ptr<TraceLog> TraceLog::open(const Options& options, std::string& problem) {
    std::unique_ptr<Sink> sink;
    if (options.path == "-") {
        sink = std::make_unique<StreamSink>(OutputStream::standardError());
    } else {
        struct stat st {};
        FileDescriptor fd = openRecord(options.path, st, problem);
        if (!fd.isOpen()) return nullptr;
        if (S_ISFIFO(st.st_mode)) {
            sink = std::make_unique<StreamSink>(std::make_unique<OutputStream>(std::move(fd)));
        } else {
            sink = std::make_unique<FileSink>(options, std::move(fd),
                                              static_cast<std::size_t>(st.st_size));
        }
    }
    FileDescriptor wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wakeFd.isOpen()) {
        problem = "cannot make an eventfd: " + reason(errno);
        return nullptr;
    }
    return std::unique_ptr<TraceLog>(new TraceLog(options, std::move(sink), std::move(wakeFd)));
}

TraceLog::TraceLog(const Options& options, std::unique_ptr<Sink> sink, FileDescriptor wakeFd)
    : options(options),
      sink(std::move(sink)),
      wakeFd(std::move(wakeFd)),
      started(Clock::now()),
      writer([this] { run(); }) {}

TraceLog::~TraceLog() {
    close();
}

std::size_t TraceLog::close() {
    {
        MutexLock guard(lock);
        if (closed) return 0;
        closed = true;
        // A gap at the very end is said too.
        if (droppedUnreported) {
            lines.push_back({droppedLine(droppedUnreported), droppedUnreported});
            droppedUnreported = 0;
        }
        stopping = true;
        stopDeadline = Clock::now() + kFinalFlush;
    }
    wake.notify_all();
    std::uint64_t one = 1;
    // An eventfd's write fails only when its count would overflow, and it is readable then.
    ssize_t ignored = ::write(wakeFd.get(), &one, sizeof one);
    (void)ignored;
    writer.join();
    std::size_t lost = 0;
    {
        MutexLock guard(lock);
        for (const Line& line : lines) lost += line.events;
        lines.clear();
        queuedBytes = 0;
    }
    if (lost) {
        diagnostic("RS232C Daemon stopped with " + std::to_string(lost) + " events of its trace " +
                   where() + " not written: the output did not take them within " +
                   std::to_string(kFinalFlush.count()) + " s");
    }
    return lost;
}

std::string TraceLog::where() const {
    return options.path == "-" ? "to standard error" : options.path;
}

TraceLog::Event TraceLog::event(const char* name) {
    return Event(this, name);
}

std::size_t TraceLog::dropped() const {
    MutexLock guard(lock);
    return droppedEvents;
}

std::string TraceLog::head(const char* name) const {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    char time[40];
    std::strftime(time, sizeof time, "%Y-%m-%dT%H:%M:%S", &utc);
    char prefix[128];
    double mono = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::snprintf(prefix, sizeof prefix, "{\"time\":\"%s.%06ldZ\",\"mono\":%.6f,\"event\":", time,
                  static_cast<long>(now.tv_nsec / 1000), mono);
    return prefix + jsonText(name);
}

TraceLog::Event::Event(TraceLog* log, const char* name) : log(log), line(log->head(name)) {}

TraceLog::Event::Event(Event&& other) noexcept : log(other.log), line(std::move(other.line)) {
    other.log = nullptr;
}

TraceLog::Event::~Event() {
    if (!log) return;
    line += "}\n";
    log->queue(std::move(line));
}

TraceLog::Event& TraceLog::Event::text(const char* key, const std::string& value) {
    line += ",\"" + std::string(key) + "\":" + jsonText(value);
    return *this;
}

TraceLog::Event& TraceLog::Event::number(const char* key, double value) {
    char formatted[64];
    std::snprintf(formatted, sizeof formatted, "%.3f", value);
    line += ",\"" + std::string(key) + "\":" + formatted;
    return *this;
}

TraceLog::Event& TraceLog::Event::integer(const char* key, long value) {
    line += ",\"" + std::string(key) + "\":" + std::to_string(value);
    return *this;
}

TraceLog::Event& TraceLog::Event::texts(const char* key, const std::vector<std::string>& values) {
    line += ",\"" + std::string(key) + "\":[";
    for (std::size_t i = 0; i < values.size(); ++i) {
        line += (i ? "," : "") + jsonText(values[i]);
    }
    line += "]";
    return *this;
}

TraceLog::Event& TraceLog::Event::bytes(const std::string& value) {
    std::string hex;
    hex.reserve(value.size() * 3);
    for (unsigned char c : value) {
        char two[4];
        std::snprintf(two, sizeof two, "%02X", c);
        if (!hex.empty()) hex += ' ';
        hex += two;
    }
    line += ",\"hex\":\"" + hex + "\",\"text\":" + jsonBytes(value);
    return *this;
}

std::string TraceLog::droppedLine(std::size_t count) const {
    return head("dropped") + ",\"count\":" + std::to_string(count) + "}\n";
}

void TraceLog::queue(std::string line) {
    bool firstDrop = false;
    {
        MutexLock guard(lock);
        if (closed) return;
        // Said where the gap is: before the first event recorded after it.
        std::string gap = droppedUnreported ? droppedLine(droppedUnreported) : "";
        if (queuedBytes + gap.size() + line.size() > options.queueBytes) {
            ++droppedEvents;
            // The first drop of a run wakes the writer, which says it: never this thread, which
            // may be the line's, and standard error may be as stuck as the record.
            firstDrop = ++droppedUnreported == 1;
            if (!firstDrop) return;
        } else {
            bool wasEmpty = lines.empty();
            if (!gap.empty()) {
                queuedBytes += gap.size();
                lines.push_back({std::move(gap), droppedUnreported});
                droppedUnreported = 0;
            }
            queuedBytes += line.size();
            lines.push_back({std::move(line), 1});
            // The writer is awake while anything is queued: only the first event wakes it.
            if (!wasEmpty) return;
        }
    }
    if (firstDrop) {
        // Also out of a wait for the output; a nonblocking eventfd write never waits.
        std::uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd.get(), &one, sizeof one);
        (void)ignored;
    }
    wake.notify_one();
}

std::string TraceLog::nextChunk() const {
    std::string chunk;
    for (const Line& line : lines) {
        if (!chunk.empty() && chunk.size() + line.text.size() > kChunkBytes) break;
        chunk += line.text;
    }
    return chunk;
}

void TraceLog::written(std::size_t bytes) {
    // A sink takes whole lines only.
    while (!lines.empty() && lines.front().text.size() <= bytes) {
        bytes -= lines.front().text.size();
        queuedBytes -= lines.front().text.size();
        lines.pop_front();
    }
}

void TraceLog::pauseBeforeRetry(Clock::time_point until) {
    pollfd woken{wakeFd.get(), POLLIN, 0};
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
    // A signal (EINTR) ends the pause early: the writer then only tries again sooner.
    if (left.count() > 0) (void)::poll(&woken, 1, static_cast<int>(left.count()));
}

void TraceLog::run() {
    bool failing = false;
    std::size_t droppedBefore = 0;  // when the output began to fail
    bool dropping = false;          // said that events are dropped, and not yet that it ended
    std::size_t droppedSaid = 0;    // events dropped up to the last line that said so
    // Drops began (an event found the queue full) or ended (one fitted again), and this has not
    // been said; while the output fails, its own lines say it. A run of drops that began and
    // ended while the writer waited is said as both.
    auto dropNews = [&]() REQUIRES(lock) {
        return !failing && (dropping ? droppedUnreported == 0 : droppedEvents > droppedSaid);
    };
    MutexLock guard(lock);
    for (;;) {
        if (lines.empty() && !stopping && sink->idle()) {
            while (!stopping && lines.empty() && !dropNews()) wake.wait(guard);
            // Gather what a busy daemon records meanwhile into one write.
            if (!stopping && !lines.empty()) wake.wait_for(guard, kGather);
        }
        if (stopping && ((lines.empty() && sink->idle()) || Clock::now() >= stopDeadline)) return;
        if (!stopping) {
            std::uint64_t nudges;  // queue()'s nudge about a first drop, taken
            ssize_t ignored = ::read(wakeFd.get(), &nudges, sizeof nudges);
            (void)ignored;
        }
        std::string dropsBegin, dropsEnd;
        if (dropNews() && !dropping) {
            dropping = true;
            dropsBegin = "RS232C Daemon drops events of its trace " + where() +
                         ": the output takes them slower than they come and " +
                         std::to_string(options.queueBytes >> 10) +
                         " KiB of them wait already; each gap is counted in the trace";
        }
        if (dropNews()) {
            dropping = false;
            dropsEnd = "RS232C Daemon records its trace " + where() + " whole again; " +
                       std::to_string(droppedEvents - droppedSaid) + " events were dropped";
            droppedSaid = droppedEvents;
        }
        // Before the stop, only the eventfd ends a wait for the output; after it, the deadline.
        Clock::time_point until = stopping ? stopDeadline : Clock::time_point::max();
        bool stopped = stopping;
        std::string chunk = nextChunk();
        guard.unlock();
        if (!dropsBegin.empty()) diagnostic(dropsBegin);
        if (!dropsEnd.empty()) diagnostic(dropsEnd, Priority::Info);

        Sink::Written result = sink->write(chunk);
        bool failed = !result.problem.empty();
        if (failed) {
            if (!failing) {
                failing = true;
                dropping = false;  // the failure's lines say the drops from here on
                droppedBefore = dropped();
                diagnostic("RS232C Daemon cannot write its trace " + where() + ": " +
                           result.problem + "; events wait in memory (up to " +
                           std::to_string(options.queueBytes >> 10) +
                           " KiB), are dropped beyond that and counted in the trace");
            }
            if (!stopped) pauseBeforeRetry(Clock::now() + kRetry);
        } else {
            if (failing && result.bytes > 0) {
                failing = false;
                droppedSaid = dropped();
                diagnostic("RS232C Daemon writes its trace " + where() + " again; " +
                               std::to_string(droppedSaid - droppedBefore) +
                               " events were dropped meanwhile",
                           Priority::Info);
            }
            if (result.bytes < chunk.size() || !sink->idle()) {
                sink->awaitRoom(stopped ? -1 : wakeFd.get(), until);
            }
        }
        guard.lock();
        written(result.bytes);
        if (failed && stopped) return;  // a stop does not wait for an output that fails
    }
}
