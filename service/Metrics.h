// What the daemon tells the people who watch it: counts of calls and refusals, and renderings of
// them with the line's status for Prometheus (/metrics), for UI programs and probes (/health)
// and for systemd (STATUS=). Nothing here waits for the serial line: the counts have a lock of
// their own and the line's status is read without its lock.
#ifndef SERVICE_METRICS_H
#define SERVICE_METRICS_H

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "RS232CCom.h"
#include "common/ThreadSafety.h"
#include "link/SerialIO.h"

class TraceLog;

// A label value as the Prometheus text format writes it: backslash, quote and line feed escaped.
std::string prometheusLabel(const std::string& value);

class Metrics {
  public:
    Metrics(const RS232CCom& com, TraceLog* trace, std::string version);
    Metrics(const Metrics&) = delete;
    Metrics& operator=(const Metrics&) = delete;

    // The outcomes a method can have, so that each series exists from the start.
    void addMethod(const std::string& method, const std::vector<std::string>& outcomes)
        EXCLUDES(lock);
    // A call that reached a method: its outcome in snake_case ("acknowledged", "no_reply",
    // "status_ok", "fault", ...) and how long it took.
    void countCall(const std::string& method, const std::string& outcome, double seconds)
        EXCLUDES(lock);
    // A request refused before any method ran ("origin", the request guard's reasons, ...).
    void countRefusal(const std::string& reason) EXCLUDES(lock);

    // The Prometheus text format, version 0.0.4; `extra` holds series the caller adds.
    std::string prometheusText(const std::string& extra = "") const EXCLUDES(lock);
    // The JSON object of /health; `adapterPresent` says which HTTP status goes with it.
    std::string healthJson(bool& adapterPresent) const EXCLUDES(lock);
    // One line for systemd's STATUS=: the device, the line's state in words, the age of the
    // last reply and the counts of calls.
    std::string statusLine() const EXCLUDES(lock);

    // The bounds of the duration histogram's buckets, in seconds.
    static const std::vector<double>& buckets();

    // The line's state, as rs232c_line_state, /health, systemd's status and the status page all
    // give it: a name to alert on and the words for a person.
    struct Line {
        const char* state;  // one of lineStates()
        std::string words;  // "answering", "adapter absent", "cannot open: ...", ...
    };
    Line line() const;
    static const std::vector<const char*>& lineStates();

    // One call, as the status page lists it.
    struct RecentCall {
        double time;  // Unix time the call ended
        std::string method, outcome;
        double seconds;
    };
    // The newest calls, newest first.
    std::vector<RecentCall> recentCalls() const EXCLUDES(lock);
    static constexpr std::size_t kRecentCalls = 20;

    struct Totals {
        std::uint64_t calls = 0, failed = 0;
    };
    Totals totals() const EXCLUDES(lock);
    // Seconds since the last byte from the controller; negative before any.
    double lastReplyAge() const;
    const RS232CCom& link() const { return com; }
    const std::string& daemonVersion() const { return version; }

  private:
    struct Histogram {
        std::vector<std::uint64_t> counts;  // per bucket, not cumulative
        double sum = 0;
        std::uint64_t count = 0;
    };
    // The line's state from what the path is now and what the last call found.
    static Line lineOf(serialio::Presence presence, const RS232CCom::Status& status);

    const RS232CCom& com;
    TraceLog* const trace;
    const std::string version;
    const double startTime;  // Unix time the process started

    mutable Mutex lock;
    std::map<std::pair<std::string, std::string>, std::uint64_t> calls GUARDED_BY(lock);
    std::map<std::string, Histogram> durations GUARDED_BY(lock);
    std::map<std::string, std::uint64_t> refusals GUARDED_BY(lock);
    std::deque<RecentCall> recent GUARDED_BY(lock);  // newest first, at most kRecentCalls
};

#endif
