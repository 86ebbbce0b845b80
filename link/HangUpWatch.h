// Notices that an idle held port has hung up (an unplugged adapter), so the daemon can close it
// at once: while a process holds the tty, the kernel keeps its name, and a re-plugged adapter
// would come back under another one. A thread of its own sleeps in poll() on the descriptor,
// asking for no events, so it never takes a byte that a call is waiting for.
#ifndef LINK_HANGUPWATCH_H
#define LINK_HANGUPWATCH_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <thread>

#include "common/ThreadSafety.h"
#include "link/SerialIO.h"

class HangUpWatch {
  public:
    // `onHangUp` runs on the watch's thread with the generation given to watch(); it must check
    // that the port it names is still the one held.
    explicit HangUpWatch(std::function<void(std::uint64_t generation)> onHangUp);
    ~HangUpWatch();
    HangUpWatch(const HangUpWatch&) = delete;
    HangUpWatch& operator=(const HangUpWatch&) = delete;

    // Watches `fd` from now on (-1: nothing). The thread starts on the first descriptor. Returns
    // once the thread no longer sleeps on the descriptor watched before: poll() holds the open
    // file, and with it the port's lock, until it returns.
    void watch(int fd, std::uint64_t generation) EXCLUDES(lock);

  private:
    void run() EXCLUDES(lock);
    void wake();

    std::function<void(std::uint64_t)> onHangUp;
    Mutex lock;
    std::condition_variable_any left;
    int watched GUARDED_BY(lock) = -1;
    int polling GUARDED_BY(lock) = -1;  // the descriptor the thread sleeps on now, if any
    std::uint64_t generation GUARDED_BY(lock) = 0;
    bool stopping GUARDED_BY(lock) = false;
    serialio::FileDescriptor wakeFd;  // an eventfd that interrupts the poll
    std::thread thread;
};

#endif
