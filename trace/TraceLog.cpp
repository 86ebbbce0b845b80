#include "trace/TraceLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// How long the writer gathers events after the first before it writes them.
constexpr auto kGather = std::chrono::milliseconds(20);

int openFile(const std::string& path, std::size_t& size, std::string& problem) {
    // Mode 0640 whatever the umask: the record is for the operator's group to read.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    bool created = fd >= 0;
    if (!created && errno == EEXIST) fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        problem = "not a regular file";
        return -1;
    }
    if (created) ::fchmod(fd, 0640);
    size = static_cast<std::size_t>(st.st_size);
    return fd;
}

}  // namespace

namespace {

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

std::unique_ptr<TraceLog> TraceLog::open(const Options& options, std::string& problem) {
    if (options.path == "-") return std::unique_ptr<TraceLog>(new TraceLog(options, -1));
    std::size_t size = 0;
    int fd = openFile(options.path, size, problem);
    if (fd < 0) return nullptr;
    std::unique_ptr<TraceLog> log(new TraceLog(options, fd));
    log->fileBytes = size;
    return log;
}

TraceLog::TraceLog(const Options& options, int fd)
    : options(options),
      fd(fd < 0 ? STDERR_FILENO : fd),
      ownsFd(fd >= 0),
      started(std::chrono::steady_clock::now()),
      writer([this] { run(); }) {}

TraceLog::~TraceLog() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    wake.notify_all();
    writer.join();
    if (ownsFd && fd >= 0) ::close(fd);
}

TraceLog::Event TraceLog::event(const char* name) {
    return Event(this, name);
}

std::size_t TraceLog::dropped() const {
    std::lock_guard<std::mutex> guard(lock);
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

void TraceLog::flush() {
    std::unique_lock<std::mutex> guard(lock);
    written.wait(guard, [this] { return lines.empty() && !writing; });
}

void TraceLog::queue(std::string line) {
    {
        std::lock_guard<std::mutex> guard(lock);
        if (queuedBytes + line.size() > options.queueBytes) {
            ++droppedEvents;
            ++droppedUnreported;
            return;
        }
        queuedBytes += line.size();
        lines.push_back(std::move(line));
        // The writer is awake while anything is queued: only the first event wakes it.
        if (lines.size() > 1) return;
    }
    wake.notify_one();
}

void TraceLog::run() {
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        wake.wait(guard, [this] { return stopping || !lines.empty(); });
        if (lines.empty()) return;  // stopping, and everything is written
        // Gather what a busy daemon records meanwhile into one write.
        wake.wait_for(guard, kGather, [this] { return stopping; });
        std::deque<std::string> batch;
        batch.swap(lines);
        queuedBytes = 0;
        std::size_t lost = droppedUnreported;
        droppedUnreported = 0;
        writing = true;
        guard.unlock();
        // Said where the gap is: after what was queued before it.
        if (lost) batch.push_back(head("dropped") + ",\"count\":" + std::to_string(lost) + "}\n");
        write(batch);
        guard.lock();
        writing = false;
        written.notify_all();
    }
}

void TraceLog::write(const std::deque<std::string>& batch) {
    // One write() per file's share of the batch; a file is rotated between lines.
    std::string chunk;
    for (const std::string& line : batch) {
        if (ownsFd && fileBytes + chunk.size() > 0 &&
            fileBytes + chunk.size() + line.size() > options.rotateBytes) {
            writeAll(chunk);
            chunk.clear();
            rotate();
        }
        chunk += line;
    }
    writeAll(chunk);
}

void TraceLog::writeAll(const std::string& batch) {
    std::size_t done = 0;
    while (done < batch.size() && fd >= 0) {
        ssize_t n = ::write(fd, batch.data() + done, batch.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a closed pipe or a full disk: the record loses these lines
        done += static_cast<std::size_t>(n);
    }
    fileBytes += done;
}

void TraceLog::rotate() {
    ::close(fd);
    for (int k = options.keptFiles - 1; k >= 1; --k) {
        std::string from = options.path + "." + std::to_string(k);
        std::string to = options.path + "." + std::to_string(k + 1);
        ::rename(from.c_str(), to.c_str());
    }
    ::rename(options.path.c_str(), (options.path + ".1").c_str());
    std::string problem;
    fd = openFile(options.path, fileBytes, problem);
}
