// The daemon's TLS front: the port's certificate and key, the client certificates it requires,
// and, per connection, the handshake, the name the client's certificate gives and the pump that
// carries the decrypted bytes to the HTTP library and its answer back. It knows sockets,
// certificates and names, never a method or the line: who may do what is decided where the
// methods run. OpenSSL 3, TLS 1.2 and 1.3.
#ifndef SERVICE_TLSFRONT_H
#define SERVICE_TLSFRONT_H

#include <chrono>
#include <memory>
#include <string>

using SslCtx = struct ssl_ctx_st;
using Ssl = struct ssl_st;

namespace tlsfront {

using Clock = std::chrono::steady_clock;

// An answer the front writes makes no progress for this long: the client does not read, and
// the connection is closed.
constexpr std::chrono::seconds kWriteTimeout{10};

struct Settings {
    std::string certificate;  // PEM: the port's certificate, then any intermediate ones
    std::string key;          // PEM: its private key
    std::string clientCa;     // PEM: the CAs a client certificate must chain to; "": none asked
};

class Connection;

class Front {
  public:
    // The front, or null with one line that says which file is wrong and why.
    static std::unique_ptr<Front> create(const Settings& settings, std::string& problem);
    ~Front();
    Front(const Front&) = delete;
    Front& operator=(const Front&) = delete;

    struct Refusal {
        std::string reason;      // for the record: what failed, in OpenSSL's words
        bool plainHttp = false;  // the client spoke plain HTTP to the port
        bool timedOut = false;   // the handshake did not finish in time
        bool silent = false;     // the client left without sending a byte: nothing was tried
    };
    // The server's side of a handshake on the accepted socket `fd` (which it makes
    // non-blocking), finished by `deadline`; null, with the reason, when it fails. The socket
    // stays the caller's.
    std::unique_ptr<Connection> accept(int fd, Clock::time_point deadline, Refusal& why) const;
    bool asksClientCertificates() const { return !settings.clientCa.empty(); }

    // The watchdog's own request: sends `request` to the server at address:port over TLS,
    // presenting the port's own certificate (which the server takes from a client as its own),
    // and returns what came back by `deadline` ("" when nothing did).
    std::string askOwnServer(const std::string& address, unsigned port, const std::string& request,
                             Clock::time_point deadline) const;

  private:
    Front(Settings settings, SslCtx* server, SslCtx* client);
    Settings settings;
    SslCtx* server;
    SslCtx* client;  // for askOwnServer
};

// One client's TLS connection after its handshake.
class Connection {
  public:
    Connection(Ssl* ssl, int fd, std::string name);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The common name of the client's certificate; null when it presented none (none was asked).
    const std::string* name() const { return presented ? &clientName : nullptr; }
    // Decrypted bytes into `buffer`: how many (at least one), 0 once the client has ended its
    // side, kFailed when the connection failed, kTimedOut when nothing came by `deadline`.
    static constexpr long kFailed = -1, kTimedOut = -2;
    long read(char* buffer, std::size_t size, Clock::time_point deadline);
    // Writes `data` whole; false when the client did not take it within kWriteTimeout.
    bool write(const std::string& data);
    // Carries bytes both ways between the client and `inner` (one end of a socketpair whose
    // other end the HTTP library reads and writes), beginning with `pending`, bytes of the
    // client's already read. The client's end of sending (or its connection failing) ends the
    // sending side of `inner`, so that its reader sees the client leave; returns once `inner`'s
    // other end has closed and its answer is delivered, or the client stopped taking it.
    void pump(int inner, std::string pending);
    // Says goodbye to the client (close_notify), without waiting.
    void close();

  private:
    friend class Front;
    // Waits, by `deadline`, for what the last TLS operation wanted; false at the deadline.
    bool waitFor(int sslError, Clock::time_point deadline);
    Ssl* ssl;
    int fd;
    std::string clientName;
    bool presented = false;
};

}  // namespace tlsfront

#endif
