// Tells systemd how the daemon is, through the notify protocol: READY=1 once the port accepts
// connections, STATUS= in words when it changes (at most once a second), STOPPING=1 on an
// orderly stop, and, when systemd asks for a watchdog, WATCHDOG=1 only while the daemon is
// healthy: its server answers a request of its own over the loopback (or is full of calls, each
// of which ends within its windows), and no call has held the serial line longer than any call
// may without a byte moving. Without NOTIFY_SOCKET it does nothing at all.
#ifndef PROCESS_SUPERVISOR_H
#define PROCESS_SUPERVISOR_H

#include <chrono>
#include <condition_variable>
#include <string>
#include <thread>

#include "common/ThreadSafety.h"

class AbyssServer;
class RS232CCom;

class Supervisor {
  public:
    Supervisor(const AbyssServer& server, const RS232CCom& com);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // The port accepts connections: READY=1, and the status and watchdog thread starts.
    void ready() EXCLUDES(lock);
    // An orderly stop has begun.
    void stopping();

  private:
    void run() EXCLUDES(lock);
    // Empty when healthy; otherwise why not, in words.
    std::string unhealthy(std::chrono::steady_clock::duration answerWithin) const;

    const AbyssServer& server;
    const RS232CCom& com;
    const bool notifying;                   // NOTIFY_SOCKET is set
    std::chrono::microseconds watchdog{0};  // systemd's interval; zero: no watchdog
    Mutex lock;
    std::condition_variable_any wake;
    bool stopped GUARDED_BY(lock) = false;
    std::string sentStatus GUARDED_BY(lock);  // the last STATUS= sent
    std::thread thread;
};

#endif
