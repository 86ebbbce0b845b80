// Who may use the serial line next. Waiting clients take turns: one call of each client that
// waits, round and round, each client's calls in the order they came, so that a client with one
// call waiting is served after at most one call of every other, however many calls a flood
// keeps queued. A stop (an Urgent call) goes ahead of them all and cancels every client's call
// still waiting: a motion asked for before the stop is no longer wanted. A call whose client has
// gone never gets the line. Nobody can interrupt the exchange in progress: the line is handed
// from one holder straight to the next.
#ifndef LINK_LINEQUEUE_H
#define LINK_LINEQUEUE_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>

#include "common/ThreadSafety.h"
#include "link/DepartureWatch.h"

class CAPABILITY("serial line") LineQueue {
  public:
    enum class Priority { InTurn, Urgent };
    // Why a call did not get the line. None of them reached it.
    enum class Refusal {
        Stopping,   // the daemon is stopping
        Busy,       // shed, so that its connection makes room for a newcomer
        Cancelled,  // a stop came while it waited
        Abandoned,  // its client has gone
    };
    struct Refused : std::runtime_error {
        explicit Refused(Refusal why) : std::runtime_error(textOf(why)), why(why) {}
        const Refusal why;
    };
    // What the client is told; the first word, before ": ", names the refusal for programs.
    static const char* textOf(Refusal why);
    // That first word: "stopping", "busy", "cancelled", "abandoned".
    static const char* nameOf(Refusal why);

    // Whom the calls made on a thread are for: the client as turns count it and the descriptor
    // whose hang-up says it has gone (-1: none).
    struct Caller {
        std::string client;
        int departureFd = -1;
        // stopsSoFar() when the request's first bytes were seen; none: when the scope begins.
        // Bytes that came before a stop are a request made before it, however late its thread
        // reads them.
        std::optional<std::uint64_t> stopsBefore;
    };
    // Set by the server for the time it serves one request: the calls of that request are the
    // client's. A call made outside any is the daemon's own: never cancelled, shed or dropped.
    // Once a call of the request is refused, so is every later one (the rest of a multicall), and
    // a stop cancels the calls of every request that came before it, waiting or still to come.
    class CallerScope {
      public:
        CallerScope(LineQueue& line, Caller caller);
        ~CallerScope();
        CallerScope(const CallerScope&) = delete;
        CallerScope& operator=(const CallerScope&) = delete;

      private:
        friend class LineQueue;
        const Caller caller;
        // Touched under the line's lock only.
        std::uint64_t stopsBefore;       // stops that came before the request
        std::optional<Refusal> refused;  // why a call of the request was refused
        CallerScope* const previous;
    };

    LineQueue();
    ~LineQueue();
    LineQueue(const LineQueue&) = delete;
    LineQueue& operator=(const LineQueue&) = delete;

    // Returns once the line is the caller's; throws Refused when the call may not have it, also
    // while it waits.
    void acquire(Priority priority = Priority::InTurn) ACQUIRE() EXCLUDES(lock);
    // Hands the line to the next waiting call, if any.
    void release() RELEASE() EXCLUDES(lock);
    // The daemon is stopping: the calls waiting in turn, and any that come later, are refused,
    // so that a stop never waits for a queue of windows; the exchange in progress and urgent
    // calls (STP) still have the line.
    void close() EXCLUDES(lock);
    // Refuses the newest call of `client` that waits in turn, so that its connection makes room
    // for another; false when it has none waiting.
    bool shedNewest(const std::string& client) EXCLUDES(lock);

    // Calls waiting for the line now (not counting its holder).
    std::size_t waiting() const EXCLUDES(lock);
    // Stops so far: taken as a request begins, so that a stop after it cancels its calls.
    std::uint64_t stopsSoFar() const { return stops; }

  private:
    struct Waiter {
        std::condition_variable_any turn;
        bool granted = false;
        std::optional<Refusal> refused;
        CallerScope* caller = nullptr;  // null: the daemon's own call
        bool droppable = false;         // a client's call in turn: dropped when the client goes
        std::uint64_t watchKey = 0;     // under which the departure watch names it; 0: unwatched
        const std::string& client() const;
    };

    // The next waiter to serve (urgent ones first), taken off the queue; null when none waits.
    Waiter* takeNext() REQUIRES(lock);
    // Takes a waiting call off the queue and tells it why.
    void refuse(Waiter& waiter, Refusal why) REQUIRES(lock);
    // Refuses every call waiting in turn that `which` selects.
    template <typename Select>
    void refuseWaiting(Refusal why, Select which) REQUIRES(lock);
    void onDeparture(std::uint64_t key) EXCLUDES(lock);

    mutable Mutex lock;
    bool held GUARDED_BY(lock) = false;
    std::atomic<std::uint64_t> stops{0};  // urgent calls so far; written under the lock
    bool closed GUARDED_BY(lock) = false;
    std::deque<Waiter*> urgent GUARDED_BY(lock);
    // The calls waiting in turn, per client, and the clients in the order they are served next.
    std::map<std::string, std::deque<Waiter*>> inTurn GUARDED_BY(lock);
    std::deque<std::string> rotation GUARDED_BY(lock);
    std::size_t inTurnWaiting GUARDED_BY(lock) = 0;
    std::map<std::uint64_t, Waiter*> watched GUARDED_BY(lock);
    std::uint64_t nextWatchKey GUARDED_BY(lock) = 1;
    DepartureWatch departures;  // last: its thread stops before the rest goes
};

// Holds the line for a scope.
class SCOPED_CAPABILITY LineTurn {
  public:
    explicit LineTurn(LineQueue& line, LineQueue::Priority priority = LineQueue::Priority::InTurn)
        ACQUIRE(line)
        : line(line) {
        line.acquire(priority);
    }
    ~LineTurn() RELEASE() { line.release(); }
    LineTurn(const LineTurn&) = delete;
    LineTurn& operator=(const LineTurn&) = delete;

  private:
    LineQueue& line;
};

#endif
