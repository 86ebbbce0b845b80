// Reads the daemon's trace: one JSON object per line, as rs232c-daemon --trace writes it.
#ifndef TOOLS_TRACE_TRACEFILE_H
#define TOOLS_TRACE_TRACEFILE_H

#include <istream>
#include <map>
#include <string>
#include <vector>

namespace tracefile {

struct Event {
    std::string name;                          // "event": call, tx, rx, open, ...
    double mono = 0;                           // seconds since the daemon started
    std::map<std::string, std::string> field;  // strings as bytes; numbers as written
    std::vector<std::string> params;           // a call's parameters
};

// Reads one line; false when it is no event of a trace.
bool parse(const std::string& line, Event& event);

// Every event of a trace, in order; lines that are no event are skipped.
std::vector<Event> read(std::istream& in);

// Bytes from the trace's "hex" field ("46 57 44").
std::string fromHex(const std::string& hex);

}  // namespace tracefile

#endif
