// Who may use the serial line next. Calls that wait for the line are served in the order they
// arrived, so none waits behind an endless stream of later ones; a call marked Urgent (the stop
// command) goes ahead of every call still waiting. Nobody can interrupt the exchange in progress:
// the line is handed from one holder straight to the next.
#ifndef LINK_LINEQUEUE_H
#define LINK_LINEQUEUE_H

#include <condition_variable>
#include <cstddef>
#include <list>
#include <stdexcept>

#include "common/ThreadSafety.h"

class CAPABILITY("serial line") LineQueue {
  public:
    enum class Priority { InTurn, Urgent };
    // What a call in turn gets instead of the line once it is closed, or when it is shed.
    struct Closed : std::runtime_error {
        static constexpr const char* kStopping =
            "the daemon is stopping; the call did not reach the line";
        static constexpr const char* kBusy =
            "the daemon is busy: more calls wait for the line than it has connections for; the "
            "call did not reach the line";
        explicit Closed(const char* why = kStopping) : std::runtime_error(why) {}
    };

    // Returns once the line is the caller's; throws Closed for a call in turn once close() has
    // been called, also while it waits.
    void acquire(Priority priority = Priority::InTurn) ACQUIRE();
    // Hands the line to the next waiting call, if any.
    void release() RELEASE();
    // The daemon is stopping: the calls waiting in turn, and any that come later, are refused,
    // so that a stop never waits for a queue of windows; the exchange in progress and urgent
    // calls (STP) still have the line.
    void close();
    // Refuses the call that came last of those waiting in turn (never an urgent one), so that
    // its connection makes room for another; false when none waits.
    bool shedNewest();

    // Calls waiting for the line now (not counting its holder).
    std::size_t waiting() const;

  private:
    struct Waiter {
        std::condition_variable_any turn;
        bool granted = false;
        const char* refused = nullptr;  // why, once refused
    };

    mutable Mutex lock;
    bool held GUARDED_BY(lock) = false;
    bool closed GUARDED_BY(lock) = false;
    // Urgent waiters stand before every InTurn one; each group in arrival order.
    std::list<Waiter*> queue GUARDED_BY(lock);
    std::size_t urgentWaiting GUARDED_BY(lock) = 0;
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
