#include "link/LineQueue.h"

#include <iterator>

void LineQueue::acquire(Priority priority) {
    MutexLock guard(lock);
    if (closed && priority == Priority::InTurn) throw Closed(Closed::kStopping);
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
    if (me.refused) throw Closed(me.refused);
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

bool LineQueue::shedNewest() {
    MutexLock guard(lock);
    if (queue.size() <= urgentWaiting) return false;
    Waiter* newest = queue.back();
    queue.pop_back();
    newest->refused = Closed::kBusy;
    newest->turn.notify_one();
    return true;
}

void LineQueue::close() {
    MutexLock guard(lock);
    closed = true;
    // Urgent waiters stand first and keep their places; every one behind them is refused.
    auto inTurn = std::next(queue.begin(), static_cast<std::ptrdiff_t>(urgentWaiting));
    for (auto waiter = inTurn; waiter != queue.end(); ++waiter) {
        (*waiter)->refused = Closed::kStopping;
        (*waiter)->turn.notify_one();
    }
    queue.erase(inTurn, queue.end());
}
