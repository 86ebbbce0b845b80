// Looks at the controller's device path once a second, without opening it, so that the line's
// state follows an unplugged and a replugged adapter without a call: an adapter that goes is a
// warning in the journal at once (also at the start), one that comes back is said too, and what
// the calls before found no longer stands for the adapter that came back. A device node that
// is another one than before (replugged between two looks) has come back as well.
#ifndef PROCESS_ADAPTERWATCH_H
#define PROCESS_ADAPTERWATCH_H

#include <condition_variable>
#include <thread>

#include "common/ThreadSafety.h"
#include "link/SerialIO.h"

class RS232CCom;

class AdapterWatch {
  public:
    explicit AdapterWatch(RS232CCom& com);
    ~AdapterWatch();
    AdapterWatch(const AdapterWatch&) = delete;
    AdapterWatch& operator=(const AdapterWatch&) = delete;

  private:
    // What the path is: whether an adapter, and which device node. A replugged adapter's node
    // is a new one, made later (its inode and number may be the old ones); reading and writing
    // the line leave its change time alone.
    struct Look {
        serialio::Presence presence;
        unsigned long long inode, device;  // 0 when nothing is there
        long long madeSeconds, madeNanoseconds;
    };
    Look lookNow() const;
    // Looks, and says (and tells the link object) what changed since the last look.
    void update(bool atStart);

    void run() EXCLUDES(lock);

    RS232CCom& com;
    Look seen{serialio::Presence::Present, 0, 0, 0, 0};  // the watch thread's alone
    Mutex lock;
    std::condition_variable_any wake;
    bool stopped GUARDED_BY(lock) = false;
    std::thread thread;
};

#endif
