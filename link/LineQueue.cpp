#include "link/LineQueue.h"

#include <algorithm>

namespace {

thread_local LineQueue::CallerScope* currentCaller = nullptr;

const std::string ownCalls;  // the daemon's own calls take their turns as one client

}  // namespace

const char* LineQueue::textOf(Refusal why) {
    switch (why) {
        case Refusal::Stopping:
            return "stopping: the daemon is stopping; the call did not reach the line";
        case Refusal::Busy:
            return "busy: more calls wait for the line than the daemon has connections for; the "
                   "call did not reach the line";
        case Refusal::Cancelled:
            return "cancelled: a stop (send_cmd_stp) came while this call waited for the line; "
                   "it did not reach the line";
        case Refusal::Abandoned:
            return "abandoned: the client closed its connection while the call waited for the "
                   "line; it did not reach the line";
    }
    return "";
}

const char* LineQueue::nameOf(Refusal why) {
    switch (why) {
        case Refusal::Stopping:
            return "stopping";
        case Refusal::Busy:
            return "busy";
        case Refusal::Cancelled:
            return "cancelled";
        case Refusal::Abandoned:
            return "abandoned";
    }
    return "";
}

LineQueue::CallerScope::CallerScope(LineQueue& line, Caller caller)
    : caller(std::move(caller)),
      stopsBefore(this->caller.stopsBefore.value_or(line.stops)),
      previous(currentCaller) {
    currentCaller = this;
}

LineQueue::CallerScope::~CallerScope() {
    currentCaller = previous;
}

const std::string& LineQueue::Waiter::client() const {
    return caller ? caller->caller.client : ownCalls;
}

LineQueue::LineQueue() : departures([this](std::uint64_t key) { onDeparture(key); }) {}

LineQueue::~LineQueue() = default;

void LineQueue::acquire(Priority priority) {
    MutexLock guard(lock);
    CallerScope* caller = currentCaller;
    bool inTurnCall = priority == Priority::InTurn;
    if (closed && inTurnCall) throw Refused(Refusal::Stopping);
    if (caller && inTurnCall) {
        // The rest of a request that lost a call, or that a stop came after, does not run.
        if (!caller->refused && caller->stopsBefore != stops) caller->refused = Refusal::Cancelled;
        if (!caller->refused && DepartureWatch::departed(caller->caller.departureFd)) {
            caller->refused = Refusal::Abandoned;
        }
        if (caller->refused) throw Refused(*caller->refused);
    }
    if (!inTurnCall) {
        // A stop: what clients asked for before it is no longer wanted. The stop itself is never
        // dropped: stopping late is better than not at all.
        ++stops;
        if (caller) caller->stopsBefore = stops;
        refuseWaiting(Refusal::Cancelled, [](const Waiter& w) { return w.caller != nullptr; });
    }
    if (!held && urgent.empty() && inTurnWaiting == 0) {
        held = true;
        return;
    }
    Waiter me;
    me.caller = caller;
    me.droppable = caller && inTurnCall;
    if (!inTurnCall) {
        urgent.push_back(&me);
    } else {
        auto& queue = inTurn[me.client()];
        if (queue.empty()) rotation.push_back(me.client());
        queue.push_back(&me);
        ++inTurnWaiting;
    }
    if (me.droppable) {
        me.watchKey = nextWatchKey++;
        watched[me.watchKey] = &me;
        if (!departures.watch(caller->caller.departureFd, me.watchKey)) {
            watched.erase(me.watchKey);
            me.watchKey = 0;  // then only the check before it takes the line
        }
    }
    // release() hands the line over and takes this waiter off the queue.
    while (!me.granted && !me.refused) me.turn.wait(guard);
    if (me.watchKey != 0) {
        watched.erase(me.watchKey);
        departures.forget(caller->caller.departureFd);
    }
    if (me.refused) throw Refused(*me.refused);
}

LineQueue::Waiter* LineQueue::takeNext() {
    if (!urgent.empty()) {
        Waiter* next = urgent.front();
        urgent.pop_front();
        return next;
    }
    if (rotation.empty()) return nullptr;
    std::string client = std::move(rotation.front());
    rotation.pop_front();
    auto queue = inTurn.find(client);
    Waiter* next = queue->second.front();
    queue->second.pop_front();
    --inTurnWaiting;
    // A client with more calls waiting goes to the back of the round.
    if (queue->second.empty()) {
        inTurn.erase(queue);
    } else {
        rotation.push_back(std::move(client));
    }
    return next;
}

void LineQueue::release() {
    MutexLock guard(lock);
    while (Waiter* next = takeNext()) {
        // Checked once more as it would take the line: the watch may not have told yet.
        if (next->droppable && DepartureWatch::departed(next->caller->caller.departureFd)) {
            refuse(*next, Refusal::Abandoned);
            continue;
        }
        next->granted = true;
        next->turn.notify_one();
        return;
    }
    held = false;
}

void LineQueue::refuse(Waiter& waiter, Refusal why) {
    auto queue = inTurn.find(waiter.client());
    if (queue != inTurn.end()) {
        auto& calls = queue->second;
        auto found = std::find(calls.begin(), calls.end(), &waiter);
        if (found != calls.end()) {
            calls.erase(found);
            --inTurnWaiting;
            if (calls.empty()) {
                inTurn.erase(queue);
                rotation.erase(std::find(rotation.begin(), rotation.end(), waiter.client()));
            }
        }
    }
    waiter.refused = why;
    if (waiter.caller) waiter.caller->refused = why;
    waiter.turn.notify_one();
}

template <typename Select>
void LineQueue::refuseWaiting(Refusal why, Select which) {
    std::deque<Waiter*> chosen;
    for (auto& entry : inTurn) {
        for (Waiter* waiter : entry.second) {
            if (which(*waiter)) chosen.push_back(waiter);
        }
    }
    for (Waiter* waiter : chosen) refuse(*waiter, why);
}

bool LineQueue::shedNewest(const std::string& client) {
    MutexLock guard(lock);
    auto queue = inTurn.find(client);
    if (queue == inTurn.end()) return false;
    for (auto waiter = queue->second.rbegin(); waiter != queue->second.rend(); ++waiter) {
        if (!(*waiter)->caller) continue;
        refuse(**waiter, Refusal::Busy);
        return true;
    }
    return false;
}

void LineQueue::close() {
    MutexLock guard(lock);
    closed = true;
    refuseWaiting(Refusal::Stopping, [](const Waiter&) { return true; });
}

void LineQueue::onDeparture(std::uint64_t key) {
    MutexLock guard(lock);
    auto found = watched.find(key);
    if (found == watched.end()) return;
    Waiter& waiter = *found->second;
    if (!waiter.granted && !waiter.refused) refuse(waiter, Refusal::Abandoned);
}

std::size_t LineQueue::waiting() const {
    MutexLock guard(lock);
    return urgent.size() + inTurnWaiting;
}
