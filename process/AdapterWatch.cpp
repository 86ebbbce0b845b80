#include "process/AdapterWatch.h"

#include <chrono>

#include "RS232CCom.h"
#include "common/OutputStream.h"

namespace {

// How often the path is looked at: /metrics, /health, systemd's status and the journal follow an
// adapter that is unplugged or plugged in again within this long, without a call.
constexpr auto kLookPeriod = std::chrono::seconds(1);

}  // namespace

AdapterWatch::AdapterWatch(RS232CCom& com) : com(com) {
    serialio::Presence now = serialio::presenceOf(com.devicePath());
    if (now != seen) changed(now, true);
    seen = now;
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
        serialio::Presence now = serialio::presenceOf(com.devicePath());
        if (now != seen) changed(now, false);
        seen = now;
        guard.lock();
    }
}

void AdapterWatch::changed(serialio::Presence now, bool atStart) {
    const std::string& device = com.devicePath();
    switch (now) {
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
            diagnostic("RS232C Daemon finds the adapter at " + device + " again", Priority::Info);
            break;
    }
}
