// How rs232c-trace prints the daemon's trace for a person: each call (when, who, what, the
// result in words) with what happened on the line during it under it, the port's and the
// daemon's own events in between. Every field it prints is escaped, so that what a client sent
// (an Origin header, a title) cannot act on the terminal.
#ifndef TOOLS_TRACE_TIMELINE_H
#define TOOLS_TRACE_TIMELINE_H

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <ostream>
#include <set>
#include <string>

#include "TraceFile.h"

namespace timeline {

using Clock = std::chrono::steady_clock;

// What is printed; an empty set lets everything through.
struct Filter {
    std::set<std::string> methods;  // calls of these methods, each with the line's events in it
    std::set<std::string> events;   // events of these names ("call", "tx", "open", ...)
};

// Whether the daemon writes events of this name; all of their names, for a person.
bool isEventName(const std::string& name);
std::string eventNames();

class Timeline {
  public:
    // `lastCalls`: print only the last so many calls (each with its line's events, and what
    // came between them), once the input has ended; 0 prints every event as it comes.
    Timeline(std::ostream& out, Filter filter, std::size_t lastCalls = 0)
        : out(out), filter(std::move(filter)), lastCalls(lastCalls) {}

    // One line of the input: an event is printed, or held until its call comes; a line that is
    // no event of a trace (not JSON, a field missing or of the wrong type) is counted, unless it
    // comes before the first event (a banner, a journal's heading).
    void add(const std::string& line);
    // When what is held must be shown although its call has not come: never when nothing is
    // held, nor under a method filter (only the call says whose the events were).
    std::optional<Clock::time_point> showHeldBy() const;
    // Prints what is held, and from now on each event of the call in progress as it comes.
    void showHeld();
    // The input ended, or the reader was interrupted: prints what is still held (and, with
    // `lastCalls`, what is kept).
    void finish();

    std::size_t unreadable() const { return unreadableLines; }

  private:
    void addCall(const tracefile::Event& event);
    void release(const char* indent);
    void show(const char* indent, const tracefile::Event& event);
    // One printed line: out now, or into the kept blocks with `lastCalls`.
    void emit(const std::string& text, bool topLevel, bool isCall);
    const char* indent() const;

    // With `lastCalls`: what is printed, cut at each line that is not indented.
    struct Block {
        bool call;
        std::string text;
    };

    std::ostream& out;
    Filter filter;
    const std::size_t lastCalls;
    std::deque<Block> kept;
    std::size_t keptCalls = 0;
    bool eventSeen = false;             // lines before the first event are a banner, not unreadable
    std::deque<tracefile::Event> held;  // the line's events, waiting for their call
    Clock::time_point heldSince;
    bool streaming = false;  // the events of the call in progress are printed as they come
    std::size_t unreadableLines = 0;
};

}  // namespace timeline

#endif
