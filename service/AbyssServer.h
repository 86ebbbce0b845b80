// Owns the method registry and runs the xmlrpc-c Abyss HTTP server on TCP port 40405.
#ifndef SERVICE_ABYSSSERVER_H
#define SERVICE_ABYSSSERVER_H

#include <xmlrpc-c/registry.hpp>

class RS232CCom;

class AbyssServer {
  public:
    static constexpr unsigned kPort = 40405;
    static constexpr unsigned kMaxConnections = 256;
    static constexpr unsigned kReadTimeout = 10;  // seconds
    static constexpr unsigned kCallsPerConnection = 1000;

    explicit AbyssServer(RS232CCom* com);
    virtual ~AbyssServer();
    AbyssServer(const AbyssServer&) = delete;
    AbyssServer& operator=(const AbyssServer&) = delete;

    // Server-thread entry: serves until the library's loop ends. Returns a null pointer, or
    // runFailed() when the server could not be created or run (the reason is on stderr).
    static void* run(void* aserver);
    static void* runFailed();

  private:
    template <typename Method>
    void add(const char* name);

    RS232CCom* com;
    xmlrpc_c::registry serviceRegistry;
};

#endif
