// rs232c-trace: prints the trace of rs232c-daemon --trace as a timeline a person reads: each
// call (when, who, what, the result in words) with the bytes it sent and received under it.
//   rs232c-trace [FILE...]      (standard input without FILE, or for -)
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "Escapes.h"
#include "TraceFile.h"

namespace {

// Bytes as a person reads them: printable ASCII as is, the rest escaped.
std::string visible(const std::string& bytes) {
    return escapes::escape(bytes);
}

std::string field(const tracefile::Event& event, const char* key) {
    auto found = event.field.find(key);
    return found == event.field.end() ? "" : found->second;
}

// "2026-12-08T14:14:18.104692Z" as "2026-12-08 14:14:18.104692".
std::string when(const tracefile::Event& event) {
    std::string time = field(event, "time");
    if (time.size() > 10) time[10] = ' ';
    if (!time.empty() && time.back() == 'Z') time.pop_back();
    return time;
}

std::string describe(const tracefile::Event& event) {
    const std::string& name = event.name;
    std::string bytes = tracefile::fromHex(field(event, "hex"));
    if (name == "tx")
        return "> " + visible(bytes) +
               (field(event, "failure").empty() ? "" : "  (" + field(event, "failure") + ")");
    if (name == "rx") return "< " + visible(bytes);
    if (name == "drain") return "< " + visible(bytes) + "  (stale, drained before the command)";
    if (name == "discard")
        return "< " + visible(bytes) + "  (stale, discarded when the line was set up)";
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
    return name;
}

std::string call(const tracefile::Event& event) {
    std::string text = field(event, "client") + "  " + field(event, "method") + "(";
    for (std::size_t i = 0; i < event.params.size(); ++i) {
        text += (i ? ", \"" : "\"") + visible(event.params[i]) + "\"";
    }
    text += ")  -> ";
    if (event.field.count("fault")) {
        text += "fault: " + field(event, "fault");
    } else {
        std::string result = field(event, "result");
        bool number =
            !result.empty() && result.find_first_not_of("-0123456789") == std::string::npos;
        text += (number ? result : "\"" + visible(result) + "\"") + ": " + field(event, "meaning");
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
            std::string method = field(event, "method");
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
    for (const std::string& file : files) {
        if (file == "-") {
            print(tracefile::read(std::cin));
            continue;
        }
        std::ifstream in(file);
        if (!in) {
            std::cerr << "rs232c-trace: cannot read " << file << "\n";
            return 1;
        }
        print(tracefile::read(in));
    }
    return 0;
}
