// Owns the method registry and runs the xmlrpc-c Abyss HTTP server that serves it.
#ifndef SERVICE_ABYSSSERVER_H
#define SERVICE_ABYSSSERVER_H

#include <xmlrpc-c/abyss.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>
#include <xmlrpc-c/registry.hpp>

#include "service/OriginPolicy.h"

class RS232CCom;
class TraceLog;

class AbyssServer {
  public:
    static constexpr unsigned kPort = 40405;

    // Where and how the server listens. The defaults are the daemon's fixed ones.
    struct Options {
        unsigned port = kPort;
        std::string listenAddress;  // an IPv4 or IPv6 address; empty: every IPv4 interface
        std::vector<std::string> allowedOrigins;  // web origins whose pages may call
        TraceLog* trace = nullptr;                // where calls are recorded, if anywhere
    };

    explicit AbyssServer(RS232CCom* com);
    AbyssServer(RS232CCom* com, Options options);
    virtual ~AbyssServer();
    AbyssServer(const AbyssServer&) = delete;
    AbyssServer& operator=(const AbyssServer&) = delete;

    // Server-thread entry: serves until the library's loop ends, then returns a null pointer.
    // When the server could not be created or run, the reason is on stderr and failed() is true.
    static void* run(void* aserver);
    bool failed() const { return serveFailed; }
    // Ends the library's run loop from any thread (also before it has begun): run() then returns
    // without a failure.
    void stop();

    // Answers one call body as the server does once HTTP is done: refused by the request
    // guard, or dispatched through the registry. Never throws.
    std::string respond(const std::string& callXml, const xmlrpc_c::callInfo* info) const;

    // Whether a request with this Origin header (null: none) may call. A refused origin is
    // reported on stderr the first time it comes.
    OriginPolicy::Decision admitOrigin(const char* origin) const;
    // Puts a request refused before any method ran into the trace, if there is one.
    void recordRefusal(const xmlrpc_c::callInfo* info, const std::string& why) const;

  private:
    template <typename Method>
    void add(const char* name);
    // Runs the server; the reason when it cannot.
    std::string serve();

    RS232CCom* com;
    xmlrpc_c::registry serviceRegistry;
    Options options;
    OriginPolicy originPolicy;
    bool serveFailed = false;
    std::mutex runningLock;  // guards the two fields below
    TServer* running = nullptr;
    bool stopRequested = false;
    mutable std::mutex refusedLock;
    mutable std::set<std::string> refusedOrigins;  // already reported
};

#endif
