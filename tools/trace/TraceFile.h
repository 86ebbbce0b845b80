// Reads the daemon's trace: one JSON object per line, as rs232c-daemon --trace writes it.
#ifndef TOOLS_TRACE_TRACEFILE_H
#define TOOLS_TRACE_TRACEFILE_H

#include <istream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace tracefile {

struct Event {
    std::string name;                          // "event": call, tx, rx, open, ...
    double mono = 0;                           // seconds since the daemon started
    std::map<std::string, std::string> field;  // strings as bytes; other values as written
    std::set<std::string> strings;             // the fields whose values are strings
    std::vector<std::string> params;           // a call's parameters

    // Whether `key` holds a string, or a number.
    bool hasString(const std::string& key) const { return strings.count(key) > 0; }
    bool hasNumber(const std::string& key) const;
};

// Reads one line; false when it is no event of a trace: not one JSON object (of strings,
// numbers and arrays of strings), or without the string "event", the string "time" and the
// number "mono".
bool parse(const std::string& line, Event& event);

// Every event of a trace, in order. Lines that are no event are skipped, and counted in
// `skipped` when it is given (blank lines are not).
std::vector<Event> read(std::istream& in, std::size_t* skipped = nullptr);

// Bytes from the trace's "hex" field ("46 57 44").
std::string fromHex(const std::string& hex);

}  // namespace tracefile

#endif
