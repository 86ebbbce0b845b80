#include "link/HangUpWatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>

HangUpWatch::HangUpWatch(std::function<void(std::uint64_t)> onHangUp)
    : onHangUp(std::move(onHangUp)) {}

HangUpWatch::~HangUpWatch() {
    {
        MutexLock guard(lock);
        stopping = true;
    }
    wake();
    if (thread.joinable()) thread.join();
}

void HangUpWatch::watch(int fd, std::uint64_t newGeneration) {
    MutexLock guard(lock);
    int replaced = watched;
    watched = fd;
    generation = newGeneration;
    if (!thread.joinable() && fd >= 0) {
        // Without its eventfd the thread could not be woken: then there is no watch, and a
        // hang-up is noticed by the next call instead.
        wakeFd.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wakeFd.isOpen()) return;
        thread = std::thread([this] { run(); });
    }
    wake();
    // The thread leaves its poll at once; it does not poll while it runs onHangUp.
    while (replaced >= 0 && polling == replaced) left.wait(guard);
}

void HangUpWatch::wake() {
    if (!wakeFd.isOpen()) return;
    std::uint64_t one = 1;
    ssize_t ignored = ::write(wakeFd.get(), &one, sizeof one);
    (void)ignored;
}

void HangUpWatch::run() {
    for (;;) {
        int fd;
        std::uint64_t watchedGeneration;
        {
            MutexLock guard(lock);
            if (stopping) return;
            fd = watched;
            polling = fd;
            watchedGeneration = generation;
        }
        pollfd fds[2] = {{wakeFd.get(), POLLIN, 0}, {fd, 0, 0}};
        int ready = ::poll(fds, fd >= 0 ? 2 : 1, -1);
        {
            MutexLock guard(lock);
            polling = -1;
        }
        left.notify_all();
        if (ready < 0 && errno != EINTR) return;
        if (fds[0].revents & POLLIN) {
            std::uint64_t count;
            ssize_t ignored = ::read(wakeFd.get(), &count, sizeof count);
            (void)ignored;
            continue;  // the watched descriptor may have changed
        }
        if (fd >= 0 && (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            onHangUp(watchedGeneration);
            // The owner closes the port and calls watch() with the next one.
            MutexLock guard(lock);
            if (watched == fd && generation == watchedGeneration) watched = -1;
        }
    }
}
