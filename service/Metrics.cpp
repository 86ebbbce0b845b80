#include "service/Metrics.h"

#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "RS232CCom.h"
#include "link/SerialIO.h"
#include "trace/TraceLog.h"

namespace {

// Outcomes that mean the line or the call failed, for the count of failed calls.
bool isFailure(const std::string& outcome) {
    return outcome == "no_adapter" || outcome == "no_reply" || outcome == "line_failed" ||
           outcome == "fault";
}

double seconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// When this process started, from the kernel's count of ticks since boot.
double processStartTime() {
    std::ifstream stat("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Field 22, counted after the command name, which may hold spaces and ends at the last ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22 && fields >> field; ++i) {
    }
    double ticks = 0;
    if (!fields.fail()) ticks = std::strtod(field.c_str(), nullptr);
    if (ticks <= 0) return seconds(CLOCK_REALTIME);
    double sinceBoot = seconds(CLOCK_BOOTTIME);
    return seconds(CLOCK_REALTIME) -
           (sinceBoot - ticks / static_cast<double>(sysconf(_SC_CLK_TCK)));
}

double residentBytes() {
    std::ifstream statm("/proc/self/statm");
    double size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<double>(sysconf(_SC_PAGESIZE));
}

double openDescriptors() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) return 0;
    double count = 0;
    while (dirent* entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count - 1;  // the directory's own descriptor
}

double descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
    return limit.rlim_cur == RLIM_INFINITY ? 0 : static_cast<double>(limit.rlim_cur);
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto toSeconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
    return toSeconds(usage.ru_utime) + toSeconds(usage.ru_stime);
}

// A number as Prometheus reads it, appended to `out`. Counts, the most of it, are integers.
void appendNumber(std::string& out, double value) {
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    char text[40];
    if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0) {
        auto end = std::to_chars(text, text + sizeof text, static_cast<long long>(value)).ptr;
        out.append(text, end);
        return;
    }
    out.append(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, "%.15g", value)));
}

std::string number(double value) {
    std::string text;
    appendNumber(text, value);
    return text;
}

// A label value: backslash, quote and line feed escaped.
std::string label(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// The text of one scrape, built in one string: a scrape must cost well under a millisecond.
class Exposition {
  public:
    Exposition() { text.reserve(64 * 1024); }
    void family(const char* name, const char* type, const char* help) {
        text += "# HELP ";
        text += name;
        text += ' ';
        text += help;
        text += "\n# TYPE ";
        text += name;
        text += ' ';
        text += type;
        text += '\n';
    }
    void sample(const char* name, const std::string& labels, double value) {
        text += name;
        if (!labels.empty()) {
            text += '{';
            text += labels;
            text += '}';
        }
        text += ' ';
        appendNumber(text, value);
        text += '\n';
    }
    std::string take() { return std::move(text); }

  private:
    std::string text;
};

std::string ageInWords(double seconds) {
    long whole = std::lround(std::max(0.0, seconds));
    if (whole < 60) return std::to_string(whole) + " s";
    if (whole < 3600) return std::to_string(whole / 60) + " min";
    return std::to_string(whole / 3600) + " h";
}

}  // namespace

std::string prometheusLabel(const std::string& value) {
    return label(value);
}

Metrics::Metrics(const RS232CCom& com, TraceLog* trace, std::string version)
    : com(com), trace(trace), version(std::move(version)), startTime(processStartTime()) {
    MutexLock guard(lock);
    for (const char* reason : {"origin", "document_type", "int64", "too_deep", "encoding",
                               "client_connections", "bad_head", "tls", "forbidden"}) {
        refusals[reason] = 0;
    }
}

const std::vector<double>& Metrics::buckets() {
    // From a quick reply to a dialogue's worth; most commands take 0.2 to 0.5 s (two fixed
    // pauses of 100 ms and the controller's answer).
    static const std::vector<double> bounds = {0.001, 0.005, 0.01, 0.025, 0.05, 0.1, 0.2,
                                               0.25,  0.3,   0.35, 0.4,   0.45, 0.5, 0.75,
                                               1,     2.5,   5,    10,    30,   60};
    return bounds;
}

void Metrics::addMethod(const std::string& method, const std::vector<std::string>& outcomes) {
    MutexLock guard(lock);
    for (const std::string& outcome : outcomes) calls[{method, outcome}];
    durations[method].counts.resize(buckets().size());
}

void Metrics::countCall(const std::string& method, const std::string& outcome, double taken) {
    const auto& bounds = buckets();
    std::size_t bucket = std::lower_bound(bounds.begin(), bounds.end(), taken) - bounds.begin();
    double now = seconds(CLOCK_REALTIME);
    MutexLock guard(lock);
    ++calls[{method, outcome}];
    recent.push_front({now, method, outcome, taken});
    if (recent.size() > kRecentCalls) recent.pop_back();
    Histogram& histogram = durations[method];
    histogram.counts.resize(bounds.size());
    if (bucket < bounds.size()) ++histogram.counts[bucket];
    histogram.sum += taken;
    ++histogram.count;
}

void Metrics::countRefusal(const std::string& reason) {
    MutexLock guard(lock);
    ++refusals[reason];
}

Metrics::Totals Metrics::totals() const {
    Totals totals;
    MutexLock guard(lock);
    for (const auto& entry : calls) {
        totals.calls += entry.second;
        if (isFailure(entry.first.second)) totals.failed += entry.second;
    }
    return totals;
}

std::vector<Metrics::RecentCall> Metrics::recentCalls() const {
    MutexLock guard(lock);
    return {recent.begin(), recent.end()};
}

double Metrics::lastReplyAge() const {
    double last = com.status().lastReplyTime;
    return last > 0 ? std::max(0.0, seconds(CLOCK_REALTIME) - last) : -1;
}

const std::vector<const char*>& Metrics::lineStates() {
    static const std::vector<const char*> states = {
        "ok", "no_reply", "absent", "held_elsewhere", "no_permission", "line_failed", "idle"};
    return states;
}

Metrics::Line Metrics::line() const {
    return lineOf(serialio::presenceOf(com.devicePath()), com.status());
}

Metrics::Line Metrics::lineOf(serialio::Presence presence, const RS232CCom::Status& status) {
    // What the path is now comes first: an adapter that went is absent at once, without a call.
    switch (presence) {
        case serialio::Presence::Absent:
            return {"absent", "adapter absent"};
        case serialio::Presence::NotATerminal:
            return {"absent", "not a terminal"};
        case serialio::Presence::Present:
            break;
    }
    switch (status.state) {
        case RS232CCom::LineState::Unused:
            return {"idle", "not used yet"};
        case RS232CCom::LineState::Answering:
            return {"ok", "answering"};
        case RS232CCom::LineState::NoReply:
            return {"no_reply", "no reply"};
        case RS232CCom::LineState::LineFailed:
            return {"line_failed", "line failed"};
        case RS232CCom::LineState::OpenFailed:
            break;
    }
    // The adapter the last call missed is there now: nothing has used it since.
    if (status.openProblem == "absent" || status.openProblem == "not a terminal") {
        return {"idle", "not used yet"};
    }
    if (status.openProblem == "permission denied") return {"no_permission", status.openProblem};
    if (status.openProblem == "held by another program") {
        return {"held_elsewhere", status.openProblem};
    }
    return {"line_failed", "cannot open: " + status.openProblem};
}

std::string Metrics::prometheusText(const std::string& extra) const {
    std::map<std::pair<std::string, std::string>, std::uint64_t> callCounts;
    std::map<std::string, Histogram> histograms;
    std::map<std::string, std::uint64_t> refusalCounts;
    {
        MutexLock guard(lock);
        callCounts = calls;
        histograms = durations;
        refusalCounts = refusals;
    }
    RS232CCom::Status status = com.status();
    serialio::Presence presence = serialio::presenceOf(com.devicePath());
    Line line = lineOf(presence, status);
    Exposition out;
    out.family("rs232c_calls_total", "counter", "XML-RPC calls by method and outcome.");
    for (const auto& entry : callCounts) {
        out.sample("rs232c_calls_total",
                   "method=\"" + label(entry.first.first) + "\",outcome=\"" +
                       label(entry.first.second) + "\"",
                   static_cast<double>(entry.second));
    }
    out.family("rs232c_call_duration_seconds", "histogram", "How long XML-RPC calls took.");
    const auto& bounds = buckets();
    static const std::vector<std::string> bucketLabels = [&bounds] {
        std::vector<std::string> labels;
        for (double bound : bounds) labels.push_back(",le=\"" + number(bound) + "\"");
        return labels;
    }();
    for (const auto& entry : histograms) {
        std::string method = "method=\"" + label(entry.first) + "\"";
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < bounds.size(); ++i) {
            cumulative += i < entry.second.counts.size() ? entry.second.counts[i] : 0;
            out.sample("rs232c_call_duration_seconds_bucket", method + bucketLabels[i],
                       static_cast<double>(cumulative));
        }
        out.sample("rs232c_call_duration_seconds_bucket", method + ",le=\"+Inf\"",
                   static_cast<double>(entry.second.count));
        out.sample("rs232c_call_duration_seconds_sum", method, entry.second.sum);
        out.sample("rs232c_call_duration_seconds_count", method,
                   static_cast<double>(entry.second.count));
    }
    out.family("rs232c_line_bytes_total", "counter", "Bytes on the serial line.");
    out.sample("rs232c_line_bytes_total", "direction=\"sent\"",
               static_cast<double>(status.bytesSent));
    out.sample("rs232c_line_bytes_total", "direction=\"received\"",
               static_cast<double>(status.bytesReceived));
    out.family("rs232c_port_held", "gauge", "1 while the daemon holds the serial port open.");
    out.sample("rs232c_port_held", "", status.portHeld ? 1 : 0);
    out.family("rs232c_adapter_present", "gauge", "1 while the device path is a terminal.");
    out.sample("rs232c_adapter_present", "", presence == serialio::Presence::Present ? 1 : 0);
    out.family("rs232c_line_state", "gauge",
               "1 for the line's state now, 0 for the others; idle: no call since the start or "
               "since the adapter came back.");
    for (const char* state : lineStates()) {
        out.sample("rs232c_line_state", std::string("state=\"") + state + "\"",
                   std::strcmp(state, line.state) == 0 ? 1 : 0);
    }
    out.family("rs232c_last_reply_timestamp_seconds", "gauge",
               "Unix time of the last byte from the controller; 0 before any.");
    out.sample("rs232c_last_reply_timestamp_seconds", "", status.lastReplyTime);
    out.family("rs232c_refused_requests_total", "counter",
               "Requests refused before any method ran, by reason.");
    for (const auto& entry : refusalCounts) {
        out.sample("rs232c_refused_requests_total", "reason=\"" + label(entry.first) + "\"",
                   static_cast<double>(entry.second));
    }
    out.family("rs232c_trace_dropped_events_total", "counter",
               "Events the record could not write.");
    out.sample("rs232c_trace_dropped_events_total", "",
               trace ? static_cast<double>(trace->dropped()) : 0);
    out.family("rs232c_build_info", "gauge", "The daemon's version.");
    out.sample("rs232c_build_info", "version=\"" + label(version) + "\"", 1);
    out.family("rs232c_calls_waiting", "gauge", "Calls waiting for the serial line.");
    out.sample("rs232c_calls_waiting", "", static_cast<double>(com.callsWaiting()));
    out.family("process_resident_memory_bytes", "gauge", "Resident memory size in bytes.");
    out.sample("process_resident_memory_bytes", "", residentBytes());
    out.family("process_open_fds", "gauge", "Number of open file descriptors.");
    out.sample("process_open_fds", "", openDescriptors());
    out.family("process_max_fds", "gauge", "Maximum number of open file descriptors.");
    out.sample("process_max_fds", "", descriptorLimit());
    out.family("process_start_time_seconds", "gauge", "Start time of the process, Unix time.");
    out.sample("process_start_time_seconds", "", startTime);
    out.family("process_cpu_seconds_total", "counter", "User and system CPU time spent.");
    out.sample("process_cpu_seconds_total", "", cpuSeconds());
    return out.take() + extra;
}

std::string Metrics::healthJson(bool& adapterPresent) const {
    serialio::Presence presence = serialio::presenceOf(com.devicePath());
    adapterPresent = presence == serialio::Presence::Present;
    RS232CCom::Status status = com.status();
    Line line = lineOf(presence, status);
    Totals counted = totals();
    std::string age = "null";
    if (status.lastReplyTime > 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3f",
                      std::max(0.0, seconds(CLOCK_REALTIME) - status.lastReplyTime));
        age = text;
    }
    return "{\"device\":" + jsonText(com.devicePath()) +
           ",\"adapter_present\":" + (adapterPresent ? "true" : "false") +
           ",\"port_held\":" + (status.portHeld ? "true" : "false") +
           ",\"last_reply_age_s\":" + age + ",\"line\":" + jsonText(line.words) +
           ",\"line_state\":\"" + line.state + "\"" +
           ",\"calls\":" + std::to_string(counted.calls) +
           ",\"failed_calls\":" + std::to_string(counted.failed) + "}\n";
}

std::string Metrics::statusLine() const {
    RS232CCom::Status status = com.status();
    Totals counted = totals();
    std::string text = com.devicePath() + ": " +
                       lineOf(serialio::presenceOf(com.devicePath()), status).words + ", ";
    text +=
        status.lastReplyTime > 0
            ? "last reply " + ageInWords(seconds(CLOCK_REALTIME) - status.lastReplyTime) + " ago"
            : "no reply yet";
    return text + "; " + std::to_string(counted.calls) + " calls, " +
           std::to_string(counted.failed) + " failed";
}
