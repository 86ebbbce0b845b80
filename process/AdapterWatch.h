// Looks at the controller's device path once a second, without opening it, so that the line's
// state follows an unplugged and a replugged adapter without a call: an adapter that goes is a
// warning in the journal at once (also at the start), one that comes back is said too, and what
// the calls before found no longer stands for the adapter that came back.
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
    void run() EXCLUDES(lock);
    void changed(serialio::Presence now, bool atStart);

    RS232CCom& com;
    serialio::Presence seen = serialio::Presence::Present;  // the watch thread's alone
    Mutex lock;
    std::condition_variable_any wake;
    bool stopped GUARDED_BY(lock) = false;
    std::thread thread;
};

#endif
