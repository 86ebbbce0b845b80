#include "process/AdapterWatch.h"

#include <sys/stat.h>

#include <chrono>

#include "RS232CCom.h"
#include "common/OutputStream.h"

namespace {

// How often the path is looked at: /metrics, /health, systemd's status and the journal follow an
// adapter that is unplugged or plugged in again within this long, without a call.
constexpr auto kLookPeriod = std::chrono::seconds(1);

}  // namespace

AdapterWatch::AdapterWatch(RS232CCom& com) : com(com) {
    update(true);
    thread = std::thread([this] { run(); });
}

AdapterWatch::~AdapterWatch() {
    {
        MutexLock guard(lock);
        stopped = true;
    }
    wake.notify_all();
    thread.join();
}

void AdapterWatch::run() {
    MutexLock guard(lock);
    while (!stopped) {
        wake.wait_for(guard, kLookPeriod);
        if (stopped) break;
        guard.unlock();
        update(false);
        guard.lock();
    }
}

AdapterWatch::Look AdapterWatch::lookNow() const {
    struct stat st {};
    if (::stat(com.devicePath().c_str(), &st) != 0) return {serialio::Presence::Absent, 0, 0, 0, 0};
    return {serialio::presenceOf(com.devicePath()), st.st_ino, st.st_rdev, st.st_ctim.tv_sec,
            st.st_ctim.tv_nsec};
}

void AdapterWatch::update(bool atStart) {
    Look now = lookNow();
    const std::string& device = com.devicePath();
    bool replugged =
        now.presence == serialio::Presence::Present &&
        seen.presence == serialio::Presence::Present && seen.inode != 0 &&
        (now.inode != seen.inode || now.device != seen.device ||
         now.madeSeconds != seen.madeSeconds || now.madeNanoseconds != seen.madeNanoseconds);
    if (now.presence != seen.presence || replugged) {
        switch (now.presence) {
            case serialio::Presence::Absent:
                diagnostic("RS232C Daemon finds no adapter at " + device +
                           (atStart ? "" : " any more") + ": calls get -1 until it is plugged in");
                break;
            case serialio::Presence::NotATerminal:
                diagnostic("RS232C Daemon finds no serial adapter at " + device +
                           ": it is not a terminal; calls get -1 until an adapter is there");
                break;
            case serialio::Presence::Present:
                // What the calls found belonged to the adapter that went.
                com.adapterReturned();
                diagnostic("RS232C Daemon finds the adapter at " + device + " again",
                           Priority::Info);
                break;
        }
    }
    seen = now;
}
