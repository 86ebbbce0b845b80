// Notices that the client of a waiting call has gone: its connection was closed (or its sending
// side shut), so nobody waits for the answer any more and the call must not reach the line. One
// thread sleeps in epoll_wait on every descriptor it is given, asking only for the peer's
// hang-up, so it never takes a byte off a connection.
#ifndef LINK_DEPARTUREWATCH_H
#define LINK_DEPARTUREWATCH_H

#include <cstdint>
#include <functional>
#include <thread>

#include "common/FileDescriptor.h"
#include "common/ThreadSafety.h"

class DepartureWatch {
  public:
    // `onDeparture` runs on the watch's thread with the key given to watch(); the descriptor may
    // have been forgotten meanwhile, so the owner checks that the key still names a waiter.
    explicit DepartureWatch(std::function<void(std::uint64_t key)> onDeparture);
    ~DepartureWatch();
    DepartureWatch(const DepartureWatch&) = delete;
    DepartureWatch& operator=(const DepartureWatch&) = delete;

    // Watches `fd` under `key` until forget(fd); the thread starts on the first. False when it
    // cannot watch (the caller then only checks at the end of the wait).
    bool watch(int fd, std::uint64_t key) EXCLUDES(lock);
    void forget(int fd);

    // Whether the peer of `fd` has closed or shut its sending side, now, without waiting.
    static bool departed(int fd);

  private:
    void run();

    std::function<void(std::uint64_t)> onDeparture;
    Mutex lock;  // the start of the thread
    FileDescriptor epoll GUARDED_BY(lock);
    FileDescriptor wakeFd;  // an eventfd that ends the thread
    std::thread thread;
};

#endif
