#include "link/DepartureWatch.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

DepartureWatch::DepartureWatch(std::function<void(std::uint64_t)> onDeparture)
    : onDeparture(std::move(onDeparture)) {}

DepartureWatch::~DepartureWatch() {
    if (!thread.joinable()) return;
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd.get(), &one, sizeof one);
    (void)ignored;
    thread.join();
}

bool DepartureWatch::watch(int fd, std::uint64_t key) {
    if (fd < 0) return false;
    int epollFd;
    {
        MutexLock guard(lock);
        if (!thread.joinable()) {
            epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
            wakeFd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
            epoll_event wake{};
            wake.events = EPOLLIN;
            wake.data.u64 = 0;
            if (!epoll.isOpen() || !wakeFd.isOpen() ||
                ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wakeFd.get(), &wake) != 0) {
                epoll.reset();
                return false;
            }
            thread = std::thread([this] { run(); });
        }
        epollFd = epoll.get();
    }
    // Only the hang-up: bytes the client sends after its request must not wake the watch. Once
    // reported, the descriptor is not reported again: its waiter leaves the queue at once.
    epoll_event event{};
    event.events = EPOLLRDHUP | EPOLLONESHOT;
    event.data.u64 = key;
    return ::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) == 0;
}

void DepartureWatch::forget(int fd) {
    MutexLock guard(lock);
    if (epoll.isOpen() && fd >= 0) ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
}

bool DepartureWatch::departed(int fd) {
    if (fd < 0) return false;
    pollfd now{fd, POLLRDHUP, 0};
    return ::poll(&now, 1, 0) > 0 && (now.revents & (POLLRDHUP | POLLHUP | POLLERR));
}

void DepartureWatch::run() {
    int epollFd;
    {
        MutexLock guard(lock);
        epollFd = epoll.get();
    }
    epoll_event events[32];
    for (;;) {
        int ready = ::epoll_wait(epollFd, events, 32, -1);
        if (ready < 0 && errno != EINTR) return;
        for (int i = 0; i < ready; ++i) {
            if (events[i].data.u64 == 0) return;  // the owner is going
            onDeparture(events[i].data.u64);
        }
    }
}
