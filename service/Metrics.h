// What the daemon tells the people who watch it: counts of calls and refusals, and renderings of
// them with the line's status for Prometheus (/metrics), for UI programs and probes (/health)
// and for systemd (STATUS=). Nothing here waits for the serial line: the counts have a lock of
// their own and the line's status is read without its lock.
#ifndef SERVICE_METRICS_H
#define SERVICE_METRICS_H

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "RS232CCom.h"
#include "common/ThreadSafety.h"
#include "link/SerialIO.h"

class TraceLog;

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

  private:
    struct Histogram {
        std::vector<std::uint64_t> counts;  // per bucket, not cumulative
        double sum = 0;
        std::uint64_t count = 0;
    };
    struct Totals {
        std::uint64_t calls = 0, failed = 0;
    };
    Totals totals() const EXCLUDES(lock);
    // The line's state in words, from what the path is now and what the last call found.
    static std::string lineWords(serialio::Presence presence, const RS232CCom::Status& status);

    const RS232CCom& com;
    TraceLog* const trace;
    const std::string version;
    const double startTime;  // Unix time the process started

    mutable Mutex lock;
    std::map<std::pair<std::string, std::string>, std::uint64_t> calls GUARDED_BY(lock);
    std::map<std::string, Histogram> durations GUARDED_BY(lock);
    std::map<std::string, std::uint64_t> refusals GUARDED_BY(lock);
};

#endif
