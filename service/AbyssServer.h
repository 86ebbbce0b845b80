// Owns the method registry and runs the xmlrpc-c Abyss HTTP server that serves it.
#ifndef SERVICE_ABYSSSERVER_H
#define SERVICE_ABYSSSERVER_H

#include <xmlrpc-c/abyss.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>
#include <xmlrpc-c/registry.hpp>

#include "common/FileDescriptor.h"
#include "common/ThreadSafety.h"
#include "link/LineQueue.h"
#include "service/ConnectionTable.h"
#include "service/Metrics.h"
#include "service/OriginPolicy.h"
#include "service/TlsFront.h"

class RS232CCom;
class TraceLog;

class AbyssServer {
  public:
    static constexpr unsigned kPort = 40405;

    // Where and how the server listens. The defaults are the daemon's fixed ones.
    struct Options {
        unsigned port = kPort;
        std::string listenAddress;  // an IPv4 or IPv6 address; empty: every IPv4 interface
        std::vector<std::string> allowedOrigins;          // web origins whose pages may call
        unsigned clientConnections = kClientConnections;  // open at once from one address
        TraceLog* trace = nullptr;                        // where calls are recorded, if anywhere
        std::string version;                              // for /metrics
        // With a front, the port serves HTTPS only; null: plain HTTP.
        std::shared_ptr<const tlsfront::Front> tls;
        // The certificate names that may move the tool; null: every client may.
        std::shared_ptr<const std::set<std::string>> operators;
        // Called once the port accepts connections, before the first is taken.
        std::function<void()> onListening;
    };
    static constexpr unsigned kClientConnections = 64;

    explicit AbyssServer(RS232CCom* com);
    AbyssServer(RS232CCom* com, Options options);
    virtual ~AbyssServer();
    AbyssServer(const AbyssServer&) = delete;
    AbyssServer& operator=(const AbyssServer&) = delete;

    // Server-thread entry: serves until the library's loop ends, then returns a null pointer.
    // When the server could not be created or run, the reason is on stderr and failed() is true.
    static void* run(void* aserver);
    bool failed() const { return serveFailed; }
    // Ends serving from any thread (also before it has begun): run() stops taking connections,
    // lets the calls in progress finish and returns without a failure.
    void stop();

    // Answers one call body as the server does once HTTP is done: refused by the request
    // guard, or dispatched through the registry. Never throws.
    std::string respond(const std::string& callXml, const xmlrpc_c::callInfo* info) const;

    // Whether a request with this Origin header (null: none) may call. A refused origin is
    // reported on stderr the first time it comes.
    OriginPolicy::Decision admitOrigin(const char* origin) const;
    // Counts a request refused before any method ran (`reason` as /metrics names it) and puts it
    // into the trace, if there is one.
    void recordRefusal(const xmlrpc_c::callInfo* info, const char* reason,
                       const std::string& why) const;
    // Counts a failed TLS handshake of `client` ("address:port", from `address`), puts it into
    // the trace, and names the address on stderr the first time it fails (an expired UI
    // certificate shows in the journal).
    void recordHandshakeRefusal(const std::string& client, const std::string& address,
                                const std::string& why) const;
    // Every request passes here once it is whole (a call once its body is read, any other once
    // its head is): false when its connection was closed meanwhile to make room for another (it
    // must then not be served).
    bool beginRequest() const;
    // The request's answer is made: its connection no longer serves a call (see
    // ConnectionTable::answered).
    void answered() const;
    // While it lives, the calls made on this thread are those of the connection's client.
    LineQueue::CallerScope callerScope() const;
    // Stops so far, taken when a request's first bytes are seen (see LineQueue::Caller).
    std::uint64_t stopsSoFar() const;
    // Every connection the server may hold serves a call: it is busy, not hung, and takes the
    // next connection when a call ends.
    bool fullOfCalls() const;
    // The counts and renderings for /metrics, /health and systemd.
    const Metrics& monitoring() const { return metrics; }
    // The body of GET /metrics.
    std::string metricsText() const;
    // The address a client on this host reaches the server at (for the watchdog's own call).
    std::string loopbackAddress() const;
    unsigned port() const { return options.port; }
    // The TLS front, when the port serves HTTPS (for the watchdog's own request); else null.
    const tlsfront::Front* tls() const { return options.tls.get(); }

  private:
    template <typename Method>
    void add(const char* name);
    // Runs the server; the reason when it cannot.
    std::string serve();
    // Takes connections until stop(); each is served on a thread of its own.
    std::string acceptConnections(TServer& server, int listener);
    // Writes one stderr line the first time `key` comes (at most 100 are named).
    void reportOnce(const std::string& key, const std::string& line) const EXCLUDES(reportedLock);

    RS232CCom* com;
    xmlrpc_c::registry serviceRegistry;
    Options options;
    mutable Metrics metrics;
    OriginPolicy originPolicy;
    bool serveFailed = false;
    std::atomic<bool> stopRequested{false};
    std::atomic<unsigned> connectionLimit{0};      // the table's size, from the time serving begins
    FileDescriptor stopSignal;                     // an eventfd that wakes the accept loop
    std::unique_ptr<ConnectionTable> connections;  // from the time serving begins
    mutable Mutex reportedLock;
    mutable std::set<std::string> reported GUARDED_BY(reportedLock);  // origins, addresses
    // Handshake refusals recorded in the trace this second, and those left out since the last
    // one recorded: a client needs no certificate to be refused, and must not be able to rotate
    // the record of who moved the tool away.
    struct RefusalsRecorded {
        std::chrono::steady_clock::time_point second;
        unsigned written = 0;
        long leftOut = 0;
    };
    mutable Mutex refusalsLock;
    mutable RefusalsRecorded refusalsRecorded GUARDED_BY(refusalsLock);
};

#endif
