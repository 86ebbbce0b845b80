#include "service/StatusPage.h"

#include <time.h>

#include <cmath>
#include <cstdio>

#include "RS232CCom.h"

namespace statuspage {

namespace {

// The line's state as the technician at the station reads it.
const char* sentenceFor(const std::string& state) {
    if (state == "ok") return "The controller answers.";
    if (state == "no_reply") return "The controller did not reply to the last call.";
    if (state == "absent") return "No adapter: the serial adapter is not plugged in.";
    if (state == "held_elsewhere") return "Another program holds the serial adapter.";
    if (state == "no_permission") return "The daemon may not open the serial adapter.";
    if (state == "line_failed") return "The line failed: a read or write on the adapter failed.";
    return "Not used yet: no call since the daemon started or the adapter came back.";
}

std::string localTime(double unixTime) {
    time_t whole = static_cast<time_t>(unixTime);
    tm local{};
    localtime_r(&whole, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

std::string duration(double seconds) {
    char text[32];
    if (seconds < 10) {
        std::snprintf(text, sizeof text, "%.0f ms", seconds * 1000);
    } else {
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    }
    return text;
}

std::string age(double seconds) {
    if (seconds < 0) return "none yet";
    long whole = std::lround(seconds);
    if (whole < 120) return std::to_string(whole) + " s ago";
    if (whole < 7200) return std::to_string(whole / 60) + " min ago";
    return std::to_string(whole / 3600) + " h ago";
}

// "no_reply" as "no reply".
std::string words(std::string outcome) {
    for (char& c : outcome) {
        if (c == '_') c = ' ';
    }
    return outcome;
}

bool failed(const std::string& outcome) {
    return outcome == "no_adapter" || outcome == "no_reply" || outcome == "line_failed" ||
           outcome == "fault" || outcome == "refused";
}

void row(std::string& page, const char* id, const char* name, const std::string& value) {
    page += "<tr><th>";
    page += name;
    page += "</th><td id=\"";
    page += id;
    page += "\">" + htmlEscape(value) + "</td></tr>\n";
}

const char* const kStyle =
    "body{font-family:sans-serif;margin:1.5em;color:#222}"
    "h1{font-size:1.4em;margin:0 0 .5em}"
    "table{border-collapse:collapse;margin:.5em 0 1.5em}"
    "th,td{text-align:left;padding:.25em .8em;border-bottom:1px solid #ddd}"
    ".state{font-size:1.2em;padding:.5em .8em;border-radius:.3em;display:inline-block}"
    ".ok{background:#d7f5d7}.idle{background:#eee}.trouble{background:#fbd5d5}"
    "td.failed{color:#a00}footer{color:#666;font-size:.9em}";

}  // namespace

std::string htmlEscape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string render(const Metrics& metrics, unsigned port) {
    const RS232CCom& com = metrics.link();
    RS232CCom::Status status = com.status();
    Metrics::Line line = metrics.line();
    Metrics::Totals totals = metrics.totals();
    std::string title = com.titleText();
    std::string heading = title.empty() ? "Tool controller on " + com.devicePath() : title;
    std::string state = line.state;
    const char* look = state == "ok" ? "ok" : state == "idle" ? "idle" : "trouble";

    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta http-equiv=\"refresh\" content=\"" +
        std::to_string(kRefreshSeconds) +
        "\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>" +
        htmlEscape(heading) + " - rs232c-daemon</title>\n<style>" + kStyle +
        "</style></head>\n<body>\n<h1 id=\"title\">" + htmlEscape(heading) +
        "</h1>\n<p id=\"line-state\" class=\"state " + look + "\" data-state=\"" +
        htmlEscape(state) + "\">" + htmlEscape(sentenceFor(state)) +
        "</p>\n<table id=\"summary\">\n";
    row(page, "device", "Device", com.devicePath());
    row(page, "line", "Line", line.words);
    row(page, "adapter", "Adapter",
        state != "absent"                ? "present"
        : line.words == "not a terminal" ? "no serial adapter at the path"
                                         : "absent");
    row(page, "port-held", "Port", status.portHeld ? "held open" : "closed between calls");
    row(page, "last-reply", "Last reply", age(metrics.lastReplyAge()));
    row(page, "calls", "Calls",
        std::to_string(totals.calls) + ", " + std::to_string(totals.failed) + " failed");
    row(page, "waiting", "Waiting for the line", std::to_string(com.callsWaiting()));
    row(page, "daemon", "Daemon",
        "rs232c-daemon " + metrics.daemonVersion() + ", TCP port " + std::to_string(port));
    page +=
        "</table>\n<h2>Last calls, newest first</h2>\n<table id=\"recent\">\n"
        "<tr><th>Time</th><th>Method</th><th>Outcome</th><th>Duration</th></tr>\n";
    for (const Metrics::RecentCall& call : metrics.recentCalls()) {
        page += "<tr><td>" + htmlEscape(localTime(call.time)) + "</td><td>" +
                htmlEscape(call.method) + "</td><td" +
                (failed(call.outcome) ? " class=\"failed\">" : ">") +
                htmlEscape(words(call.outcome)) + "</td><td>" + htmlEscape(duration(call.seconds)) +
                "</td></tr>\n";
    }
    page += "</table>\n<footer>Read only; this page reloads itself every " +
            std::to_string(kRefreshSeconds) +
            " s. For programs: /health (JSON), /metrics (Prometheus).</footer>\n</body></html>\n";
    return page;
}

}  // namespace statuspage
