// Reads the daemon's trace: one JSON object per line, as rs232c-daemon --trace writes it.
#ifndef TOOLS_TRACE_TRACEFILE_H
#define TOOLS_TRACE_TRACEFILE_H

#include <cstddef>
#include <functional>
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

// Reads one line of a trace, or of the journal's output of one: journalctl's formats put
// "DATE HOST rs232c-daemon[PID]: " before the message, and the event is what follows ": ".
bool parseLine(const std::string& line, Event& event);

// Every event of a trace, in order (parseLine). Lines that are no event are skipped, and counted
// in `skipped` when it is given (blank lines are not).
std::vector<Event> read(std::istream& in, std::size_t* skipped = nullptr);

// Cuts bytes, as they come, into lines (without their LF). A line longer than `longest` bytes is
// never held whole: it is counted in tooLong() and skipped to its end.
class LineSplitter {
  public:
    using Handler = std::function<void(const std::string&)>;
    explicit LineSplitter(std::size_t longest) : longest(longest) {}

    // Hands every line that `data` ends to `line`; holds the rest.
    void feed(const char* data, std::size_t size, const Handler& line);
    // The input ended: what is held is its last line.
    void finish(const Handler& line);
    // Bytes held of a line not ended yet, and forgetting them (to read them again later).
    std::size_t held() const { return rest.size(); }
    void dropHeld() { rest.clear(); }
    std::size_t tooLong() const { return tooLongLines; }

  private:
    std::size_t longest;
    std::string rest;
    bool skipping = false;  // within a line too long
    std::size_t tooLongLines = 0;
};

// Bytes from the trace's "hex" field ("46 57 44").
std::string fromHex(const std::string& hex);

}  // namespace tracefile

#endif
