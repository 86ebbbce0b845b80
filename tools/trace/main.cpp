// rs232c-trace: prints the trace of rs232c-daemon --trace as a timeline a person reads: each
// call (when, who, what, the result in words) with the bytes it sent and received under it.
//   rs232c-trace [FILE...]      (standard input without FILE, or for -)
// A line it cannot use (no JSON, a field missing or of the wrong type) is skipped and counted;
// every field it prints is escaped, so that what a client sent (an Origin header, a title)
// cannot act on the terminal.
#include <cctype>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Escapes.h"
#include "TraceFile.h"

namespace {

// What an event needs to be printed: its string fields and its number fields.
struct Shape {
    const char* event;
    std::vector<const char*> strings;
    std::vector<const char*> numbers;
};

const Shape kShapes[] = {
    {"tx", {"hex"}, {}},
    {"rx", {"hex"}, {}},
    {"drain", {"hex"}, {}},
    {"discard", {"hex"}, {}},
    {"call", {"client", "method"}, {"ms"}},
    {"refused-call", {"client", "reason"}, {}},
    {"open", {"port"}, {}},
    {"close", {"port"}, {}},
    {"hangup", {"port"}, {}},
    {"refused", {"port", "reason"}, {}},
    {"dropped", {}, {"count"}},
    {"start", {"version", "port"}, {"tcp"}},
};

// Fields that some events have; where they are, they are strings.
const char* const kOptionalStrings[] = {"reason", "failure", "meaning", "fault"};

// "2026-12-08T14:14:18.713748Z": digits where the pattern has d, then a fraction and Z.
bool isTraceTime(const std::string& time) {
    const std::string pattern = "dddd-dd-ddTdd:dd:dd";
    if (time.size() < pattern.size() + 1 || time.back() != 'Z') return false;
    for (std::size_t i = 0; i < time.size() - 1; ++i) {
        char want = i < pattern.size() ? pattern[i] : i == pattern.size() ? '.' : 'd';
        bool digit = time[i] >= '0' && time[i] <= '9';
        if (want == 'd' ? !digit : time[i] != want) return false;
    }
    return true;
}

// "46 57 44": two hexadecimal digits a byte, a space between.
bool isHex(const std::string& hex) {
    for (std::size_t i = 0; i < hex.size(); ++i) {
        bool space = i % 3 == 2;
        if (space ? hex[i] != ' ' : !std::isxdigit(static_cast<unsigned char>(hex[i]))) {
            return false;
        }
    }
    return hex.empty() || hex.size() % 3 == 2;
}

bool usable(const tracefile::Event& event) {
    if (!isTraceTime(event.field.at("time"))) return false;
    for (const char* key : kOptionalStrings) {
        if (event.field.count(key) && !event.hasString(key)) return false;
    }
    for (const Shape& shape : kShapes) {
        if (event.name != shape.event) continue;
        for (const char* key : shape.strings) {
            if (!event.hasString(key)) return false;
        }
        for (const char* key : shape.numbers) {
            if (!event.hasNumber(key)) return false;
        }
    }
    if (event.field.count("hex") && !isHex(event.field.at("hex"))) return false;
    if (event.name == "call") {
        bool result = event.hasString("result") || event.hasNumber("result");
        return event.hasString("fault") || (result && event.hasString("meaning"));
    }
    return true;
}

// A field as a person reads it: its characters, each control character escaped.
std::string field(const tracefile::Event& event, const char* key) {
    auto found = event.field.find(key);
    return found == event.field.end() ? "" : escapes::escape(found->second, escapes::Shown::Text);
}

// Bytes of the line, or a string as the daemon received or answered it.
std::string bytes(const std::string& value) {
    return escapes::escape(value);
}

// "2026-12-08T14:14:18.104692Z" as "2026-12-08 14:14:18.104692".
std::string when(const tracefile::Event& event) {
    std::string time = field(event, "time");
    time[10] = ' ';
    time.pop_back();
    return time;
}

std::string describe(const tracefile::Event& event) {
    const std::string& name = event.name;
    std::string line =
        bytes(tracefile::fromHex(event.field.count("hex") ? event.field.at("hex") : ""));
    if (name == "tx")
        return "> " + line +
               (field(event, "failure").empty() ? "" : "  (" + field(event, "failure") + ")");
    if (name == "rx") return "< " + line;
    if (name == "drain") return "< " + line + "  (stale, drained before the command)";
    if (name == "discard") return "< " + line + "  (stale, discarded when the line was set up)";
    if (name == "open") return "opened " + field(event, "port");
    if (name == "close") {
        std::string why = field(event, "reason");
        return "closed " + field(event, "port") + (why.empty() ? "" : ": " + why);
    }
    if (name == "hangup") return "the adapter hung up: closed " + field(event, "port");
    if (name == "refused")
        return "cannot open " + field(event, "port") + ": " + field(event, "reason");
    if (name == "refused-call")
        return field(event, "client") + "  refused: " + field(event, "reason");
    if (name == "dropped") return "(the record dropped " + field(event, "count") + " events here)";
    return escapes::escape(name, escapes::Shown::Text);
}

std::string call(const tracefile::Event& event) {
    std::string text = field(event, "client") + "  " + field(event, "method") + "(";
    for (std::size_t i = 0; i < event.params.size(); ++i) {
        text += (i ? ", \"" : "\"") + bytes(event.params[i]) + "\"";
    }
    text += ")  -> ";
    if (event.hasString("fault")) {
        text += "fault: " + field(event, "fault");
    } else {
        text += (event.hasNumber("result") ? field(event, "result")
                                           : "\"" + bytes(event.field.at("result")) + "\"") +
                ": " + field(event, "meaning");
    }
    return text + "  (" + field(event, "ms") + " ms)";
}

void print(const std::vector<tracefile::Event>& events) {
    // A call is recorded when it ends; what happened on the line during it comes before.
    std::vector<const tracefile::Event*> pending;
    auto flush = [&pending](const char* indent) {
        for (const auto* event : pending) {
            std::cout << indent << when(*event).substr(11) << "  " << describe(*event) << "\n";
        }
        pending.clear();
    };
    for (const tracefile::Event& event : events) {
        if (event.name == "call") {
            std::cout << when(event) << "  " << call(event) << "\n";
            // A title or a rendering, answered meanwhile, uses no line.
            std::string method = event.field.at("method");
            bool usesLine = method.rfind("send_cmd", 0) == 0 || method == "recv_cmd_inf" ||
                            method == "serial_close";
            if (usesLine) flush("    ");
        } else if (event.name == "start" || event.name == "stop") {
            flush("");
            std::cout << when(event) << "  daemon " << event.name
                      << (event.name == "start"
                              ? " " + field(event, "version") + ", line " + field(event, "port") +
                                    ", TCP port " + field(event, "tcp")
                          : field(event, "reason").empty() ? ""
                                                           : " (" + field(event, "reason") + ")")
                      << "\n";
        } else {
            pending.push_back(&event);
        }
    }
    flush("");
}

// The events of one trace that can be printed; the others are counted in `skipped`.
std::vector<tracefile::Event> usableEvents(std::istream& in, std::size_t& skipped) {
    std::vector<tracefile::Event> events;
    for (tracefile::Event& event : tracefile::read(in, &skipped)) {
        if (usable(event)) {
            events.push_back(std::move(event));
        } else {
            ++skipped;
        }
    }
    return events;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files(argv + 1, argv + argc);
    if (files.empty()) files.push_back("-");
    for (const std::string& file : files) {
        if (file == "--help" || file == "-h") {
            std::cout
                << "usage: rs232c-trace [FILE...]\n"
                   "Prints a trace of rs232c-daemon --trace as a timeline: each call with the\n"
                   "bytes it sent (>) and received (<). Reads standard input without FILE.\n";
            return 0;
        }
    }
    std::size_t skipped = 0;
    int status = 0;
    for (const std::string& file : files) {
        if (file == "-") {
            print(usableEvents(std::cin, skipped));
            continue;
        }
        std::ifstream in(file);
        if (!in) {
            std::cerr << "rs232c-trace: cannot read " << escapes::escape(file, escapes::Shown::Text)
                      << "\n";
            status = 1;
            break;
        }
        print(usableEvents(in, skipped));
    }
    std::cout << std::flush;
    if (skipped) {
        std::cerr << "rs232c-trace: skipped " << skipped
                  << (skipped == 1 ? " line that is" : " lines that are")
                  << " no event of a trace (not JSON, or a field missing or of the wrong type)\n";
    }
    return status;
}
