#include "process/Supervisor.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "RS232CCom.h"
#include "common/OutputStream.h"
#include "link/SerialIO.h"
#include "link/Timing.h"
#include "service/AbyssServer.h"

namespace {

using Clock = std::chrono::steady_clock;

// STATUS= is looked at this often, and sent when it changed.
constexpr auto kStatusPeriod = std::chrono::seconds(1);

// What the watchdog asks the server, as any client would.
const char kOwnRequest[] = "GET /health HTTP/1.0\r\n\r\n";

// Asks the server for /health over plain HTTP; true once an HTTP answer begins.
bool serverAnswers(const std::string& address, unsigned port, Clock::duration within) {
    auto deadline = Clock::now() + within;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
        return false;
    }
    serialio::FileDescriptor socket(
        ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    bool connecting =
        socket.isOpen() &&
        (::connect(socket.get(), found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS);
    freeaddrinfo(found);
    if (!connecting) return false;
    auto waitFor = [&](short events) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd pfd{socket.get(), events, 0};
        return left.count() > 0 && ::poll(&pfd, 1, static_cast<int>(left.count())) == 1 &&
               (pfd.revents & events);
    };
    if (!waitFor(POLLOUT) || ::send(socket.get(), kOwnRequest, sizeof kOwnRequest - 1,
                                    MSG_NOSIGNAL) != sizeof kOwnRequest - 1) {
        return false;
    }
    std::string answer;
    char chunk[64];
    while (answer.size() < 8 && waitFor(POLLIN)) {
        ssize_t n = ::recv(socket.get(), chunk, sizeof chunk, 0);
        if (n <= 0) break;
        answer.append(chunk, static_cast<std::size_t>(n));
    }
    return answer.rfind("HTTP/1.", 0) == 0;
}

void notify(const std::string& message) {
    sd_notify(0, message.c_str());
}

}  // namespace

Supervisor::Supervisor(const AbyssServer& server, const RS232CCom& com)
    : server(server), com(com), notifying(std::getenv("NOTIFY_SOCKET") != nullptr) {
    uint64_t usec = 0;
    // sd_watchdog_enabled() also checks that WATCHDOG_PID, if set, names this process.
    if (notifying && sd_watchdog_enabled(0, &usec) > 0) watchdog = std::chrono::microseconds(usec);
}

Supervisor::~Supervisor() {
    {
        MutexLock guard(lock);
        stopped = true;
    }
    wake.notify_all();
    if (thread.joinable()) thread.join();
}

void Supervisor::ready() {
    if (!notifying) return;
    MutexLock guard(lock);
    sentStatus = server.monitoring().statusLine();
    notify("READY=1\nSTATUS=" + sentStatus);
    if (!stopped && !thread.joinable()) thread = std::thread([this] { run(); });
}

void Supervisor::stopping() {
    if (notifying) notify("STOPPING=1\nSTATUS=stopping");
}

std::string Supervisor::unhealthy(Clock::duration answerWithin) const {
    auto stalled = com.status().stalled;
    if (stalled > timing::kLongestQuietCall) {
        return "a call has held " + com.devicePath() + " for " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(stalled).count()) +
               " s without a byte moving";
    }
    // A server whose every connection serves a call answers the next one only when a call ends;
    // those calls end within their windows, which the check above watches.
    // Over TLS the request goes through the front as a client's does, with the port's own
    // certificate, which the front takes from the daemon itself.
    bool answers = server.tls()
                       ? server.tls()
                                 ->askOwnServer(server.loopbackAddress(), server.port(),
                                                kOwnRequest, Clock::now() + answerWithin)
                                 .rfind("HTTP/1.", 0) == 0
                       : serverAnswers(server.loopbackAddress(), server.port(), answerWithin);
    if (!answers && !server.fullOfCalls()) {
        return "the server did not answer a request of its own on port " +
               std::to_string(server.port()) + " within " +
               std::to_string(
                   std::chrono::duration_cast<std::chrono::milliseconds>(answerWithin).count()) +
               " ms";
    }
    return "";
}

void Supervisor::run() {
    // Pings at a quarter of systemd's interval, so that one slow check never costs a restart;
    // the check itself may take most of a quarter.
    auto pingPeriod = watchdog / 4;
    auto tick = watchdog.count() > 0 ? std::min<Clock::duration>(kStatusPeriod, pingPeriod)
                                     : Clock::duration(kStatusPeriod);
    auto nextCheck = Clock::now();
    std::string problem;
    MutexLock guard(lock);
    while (!stopped) {
        std::string status = server.monitoring().statusLine();
        if (status != sentStatus) {
            notify("STATUS=" + status);
            sentStatus = status;
        }
        guard.unlock();
        if (watchdog.count() > 0 && Clock::now() >= nextCheck) {
            nextCheck = Clock::now() + pingPeriod;
            std::string why = unhealthy(pingPeriod * 4 / 5);
            if (why.empty()) {
                notify("WATCHDOG=1");
                if (!problem.empty()) diagnostic("RS232C Daemon is healthy again", Priority::Info);
            } else if (why != problem) {
                // No ping: systemd restarts the daemon unless it recovers in time.
                diagnostic("RS232C Daemon is not healthy: " + why, Priority::Error);
            }
            problem = why;
        }
        guard.lock();
        wake.wait_for(guard, tick);
    }
}
