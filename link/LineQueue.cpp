#include "link/LineQueue.h"

#include <iterator>

void LineQueue::acquire(Priority priority) {
    MutexLock guard(lock);
    if (closed && priority == Priority::InTurn) throw Closed();
    if (!held && queue.empty()) {
        held = true;
        return;
    }
    Waiter me;
    std::list<Waiter*>::iterator place = queue.end();
    if (priority == Priority::Urgent) {
        place = std::next(queue.begin(), static_cast<std::ptrdiff_t>(urgentWaiting));
        ++urgentWaiting;
    }
    queue.insert(place, &me);
    // release() hands the line over and takes this waiter off the queue.
    while (!me.granted && !me.refused) me.turn.wait(guard);
    if (me.refused) throw Closed();
}

void LineQueue::release() {
    MutexLock guard(lock);
    if (queue.empty()) {
        held = false;
        return;
    }
    Waiter* next = queue.front();
    queue.pop_front();
    if (urgentWaiting > 0) --urgentWaiting;
    next->granted = true;
    next->turn.notify_one();
}

std::size_t LineQueue::waiting() const {
    MutexLock guard(lock);
    return queue.size();
}

void LineQueue::close() {
    MutexLock guard(lock);
    closed = true;
    // Urgent waiters stand first and keep their places; every one behind them is refused.
    auto inTurn = std::next(queue.begin(), static_cast<std::ptrdiff_t>(urgentWaiting));
    for (auto waiter = inTurn; waiter != queue.end(); ++waiter) {
        (*waiter)->refused = true;
        (*waiter)->turn.notify_one();
    }
    queue.erase(inTurn, queue.end());
}
