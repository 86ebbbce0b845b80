#include "service/TlsFront.h"

#include <fcntl.h>
#include <netdb.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/FileDescriptor.h"

namespace tlsfront {

namespace {

// Decrypted bytes the pump holds for the library, and reads at once from the client: a TLS
// record's worth.
constexpr std::size_t kChunk = 16 * 1024;
// Ties resumed sessions to this server; without it OpenSSL refuses to resume a session whose
// client sent a certificate.
const unsigned char kSessionContext[] = "rs232c-daemon";

// OpenSSL's reason for the last failure on this thread, in its words.
std::string lastError() {
    unsigned long code = ERR_peek_last_error();
    const char* reason = code ? ERR_reason_error_string(code) : nullptr;
    ERR_clear_error();
    return reason ? reason : "unknown error";
}

// A file the daemon must read: "" when it can, else why not.
std::string unreadable(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (!file) return "cannot read " + path + ": " + std::strerror(errno);
    std::fclose(file);
    return "";
}

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<long long>(0, left.count()));
}

// The first common name of the certificate's subject, as UTF-8; "" when it has none.
std::string commonName(X509* certificate) {
    if (!certificate) return "";
    X509_NAME* subject = X509_get_subject_name(certificate);
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index < 0) return "";
    unsigned char* utf8 = nullptr;
    int length =
        ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index)));
    if (length < 0) return "";
    std::string name(reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length));
    OPENSSL_free(utf8);
    return name;
}

// A client that presents the port's own certificate is the daemon's watchdog (only the holder
// of the port's key can complete a handshake with it): it passes whoever issued it. Every
// other certificate must chain to a CA of --tls-client-ca and be within its validity.
int verifyClient(int preverified, X509_STORE_CTX* store) {
    if (preverified) return 1;
    auto* ssl =
        static_cast<Ssl*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    X509* own = ssl ? SSL_CTX_get0_certificate(SSL_get_SSL_CTX(ssl)) : nullptr;
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    return own && leaf && X509_cmp(own, leaf) == 0 ? 1 : 0;
}

// Why a session whose client presented `peer` may no longer be taken up again, in the words of
// the check a fresh handshake with that certificate fails; null while it may. A session outlives
// its handshake (its tickets are renewed at each resumption), and the client sends no certificate
// when it resumes one: without this, a certificate kept its rights past its validity. The port's
// own certificate passes, as it does in verifyClient.
const char* staleSession(Ssl* ssl, X509* peer) {
    if (!peer) return nullptr;  // none was asked
    X509* own = SSL_CTX_get0_certificate(SSL_get_SSL_CTX(ssl));
    if (own && X509_cmp(own, peer) == 0) return nullptr;
    int until = X509_cmp_current_time(X509_get0_notAfter(peer));
    if (until <= 0)
        return X509_verify_cert_error_string(until < 0 ? X509_V_ERR_CERT_HAS_EXPIRED
                                                       : X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD);
    int since = X509_cmp_current_time(X509_get0_notBefore(peer));
    if (since >= 0)
        return X509_verify_cert_error_string(since > 0 ? X509_V_ERR_CERT_NOT_YET_VALID
                                                       : X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD);
    return nullptr;
}

// A ticket whose certificate is no longer valid is not taken up: the handshake goes on as a full
// one, where the client must present a valid certificate (or is refused for it) and an honest
// client gets a fresh ticket. Why it was not is kept on the connection for the refusal's record.
// Every other ticket is treated as OpenSSL treats it without this callback.
SSL_TICKET_RETURN takeUpTicket(Ssl* ssl, SSL_SESSION* session, const unsigned char*, size_t,
                               SSL_TICKET_STATUS status, void*) {
    switch (status) {
        case SSL_TICKET_SUCCESS:
        case SSL_TICKET_SUCCESS_RENEW:
            if (const char* stale = staleSession(ssl, SSL_SESSION_get0_peer(session))) {
                SSL_set_app_data(ssl, const_cast<char*>(stale));
                return SSL_TICKET_RETURN_IGNORE_RENEW;
            }
            return status == SSL_TICKET_SUCCESS ? SSL_TICKET_RETURN_USE
                                                : SSL_TICKET_RETURN_USE_RENEW;
        case SSL_TICKET_EMPTY:
        case SSL_TICKET_NO_DECRYPT:
            return SSL_TICKET_RETURN_IGNORE_RENEW;
        case SSL_TICKET_FATAL_ERR_MALLOC:
        case SSL_TICKET_FATAL_ERR_OTHER:
            return SSL_TICKET_RETURN_ABORT;
        default:
            return SSL_TICKET_RETURN_IGNORE;
    }
}

SslCtx* newContext(const SSL_METHOD* method) {
    SslCtx* context = SSL_CTX_new(method);
    if (!context) return nullptr;
    SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
    // Partial writes: the pump sends what the socket takes and keeps the rest. No renegotiation:
    // a client could make the server redo its most costly work over and over on one connection.
    // A client that closes without close_notify has ended, as it has over plain HTTP.
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_IGNORE_UNEXPECTED_EOF);
    return context;
}

bool loadIdentity(SslCtx* context, const Settings& settings, std::string& problem) {
    if (SSL_CTX_use_certificate_chain_file(context, settings.certificate.c_str()) != 1) {
        problem =
            settings.certificate + " holds no certificate OpenSSL can read (" + lastError() + ")";
        return false;
    }
    bool keyRead =
        SSL_CTX_use_PrivateKey_file(context, settings.key.c_str(), SSL_FILETYPE_PEM) == 1;
    bool mismatch = ERR_GET_REASON(ERR_peek_last_error()) == X509_R_KEY_VALUES_MISMATCH;
    if (!keyRead && !mismatch) {
        problem = settings.key + " holds no private key OpenSSL can read without a passphrase (" +
                  lastError() + ")";
        return false;
    }
    if (mismatch || SSL_CTX_check_private_key(context) != 1) {
        ERR_clear_error();
        problem = "the key in " + settings.key + " does not match the certificate in " +
                  settings.certificate;
        return false;
    }
    return true;
}

}  // namespace

Front::Front(Settings settings, SslCtx* server, SslCtx* client)
    : settings(std::move(settings)), server(server), client(client) {}

Front::~Front() {
    SSL_CTX_free(server);
    SSL_CTX_free(client);
}

std::unique_ptr<Front> Front::create(const Settings& settings, std::string& problem) {
    for (const std::string* path : {&settings.certificate, &settings.key, &settings.clientCa}) {
        if (path->empty() && path == &settings.clientCa) continue;
        problem = unreadable(*path);
        if (!problem.empty()) return nullptr;
    }
    SslCtx* server = newContext(TLS_server_method());
    SslCtx* client = newContext(TLS_client_method());
    std::unique_ptr<Front> front(new Front(settings, server, client));
    if (!server || !client) {
        problem = "cannot set up TLS: " + lastError();
        return nullptr;
    }
    if (!loadIdentity(server, settings, problem) || !loadIdentity(client, settings, problem)) {
        return nullptr;
    }
    SSL_CTX_set_session_id_context(server, kSessionContext, sizeof kSessionContext - 1);
    if (!settings.clientCa.empty()) {
        STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(settings.clientCa.c_str());
        if (!names ||
            SSL_CTX_load_verify_locations(server, settings.clientCa.c_str(), nullptr) != 1) {
            sk_X509_NAME_pop_free(names, X509_NAME_free);
            problem = settings.clientCa + " holds no CA certificate OpenSSL can read (" +
                      lastError() + ")";
            return nullptr;
        }
        // Clients are told which CAs the server takes, so that one with several certificates
        // picks the right one.
        SSL_CTX_set_client_CA_list(server, names);
        SSL_CTX_set_verify(server, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, verifyClient);
        SSL_CTX_set_session_ticket_cb(server, nullptr, takeUpTicket, nullptr);
    }
    // The watchdog talks to this server only: it checks the certificate itself.
    SSL_CTX_set_verify(client, SSL_VERIFY_NONE, nullptr);
    return front;
}

std::unique_ptr<Connection> Front::accept(int fd, Clock::time_point deadline, Refusal& why) const {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        why.reason = std::string("cannot use the socket: ") + std::strerror(errno);
        return nullptr;
    }
    Ssl* ssl = SSL_new(server);
    if (!ssl || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        why.reason = "cannot set up TLS: " + lastError();
        return nullptr;
    }
    auto connection = std::make_unique<Connection>(ssl, fd, "");
    for (;;) {
        ERR_clear_error();
        int done = SSL_accept(ssl);
        if (done == 1) break;
        int error = SSL_get_error(ssl, done);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            if (Clock::now() < deadline && connection->waitFor(error, deadline)) continue;
            why.timedOut = true;
            why.reason = "the TLS handshake did not finish in time";
            return nullptr;
        }
        unsigned long code = ERR_peek_last_error();
        long verified = SSL_get_verify_result(ssl);
        why.plainHttp =
            ERR_GET_LIB(code) == ERR_LIB_SSL && (ERR_GET_REASON(code) == SSL_R_HTTP_REQUEST ||
                                                 ERR_GET_REASON(code) == SSL_R_HTTPS_PROXY_REQUEST);
        if (why.plainHttp) {
            why.reason = "plain HTTP to the TLS port";
        } else if (verified != X509_V_OK) {
            why.reason =
                std::string("client certificate: ") + X509_verify_cert_error_string(verified);
        } else if (auto* stale = static_cast<const char*>(SSL_get_app_data(ssl))) {
            why.reason = std::string("client certificate of the resumed session: ") + stale;
        } else if (code == 0) {
            // One that sent nothing at all has tried nothing (a probe whether the port is open).
            why.silent = BIO_number_read(SSL_get_rbio(ssl)) == 0;
            why.reason = "the client left during the TLS handshake";
        } else {
            why.reason = "TLS handshake: " + lastError();
        }
        ERR_clear_error();
        return nullptr;
    }
    X509* peer = SSL_get0_peer_certificate(ssl);
    // A session resumed by its id (TLS 1.2 keeps those in the server's cache) passes no
    // callback: it is refused here instead, and dropped from the cache so that the client's next
    // handshake is a full one.
    const char* stale = SSL_session_reused(ssl) ? staleSession(ssl, peer) : nullptr;
    if (stale) {
        SSL_CTX_remove_session(server, SSL_get_session(ssl));
        why.reason = std::string("client certificate of the resumed session: ") + stale;
        return nullptr;
    }
    connection->clientName = commonName(peer);
    connection->presented = peer != nullptr;
    return connection;
}

std::string Front::askOwnServer(const std::string& address, unsigned port,
                                const std::string& request, Clock::time_point deadline) const {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return "";
    FileDescriptor socket(
        ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    bool connecting =
        socket.isOpen() &&
        (::connect(socket.get(), found->ai_addr, found->ai_addrlen) == 0 || errno == EINPROGRESS);
    freeaddrinfo(found);
    if (!connecting) return "";
    Ssl* ssl = SSL_new(client);
    if (!ssl || SSL_set_fd(ssl, socket.get()) != 1) {
        SSL_free(ssl);
        ERR_clear_error();
        return "";
    }
    Connection connection(ssl, socket.get(), "");
    for (;;) {
        ERR_clear_error();
        int done = SSL_connect(ssl);
        if (done == 1) break;
        int error = SSL_get_error(ssl, done);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !connection.waitFor(error, deadline)) {
            ERR_clear_error();
            return "";
        }
    }
    // Only this server holds this certificate's key.
    X509* peer = SSL_get0_peer_certificate(ssl);
    if (!peer || X509_cmp(peer, SSL_CTX_get0_certificate(server)) != 0) return "";
    if (!connection.write(request)) return "";
    std::string answer;
    char chunk[64];
    while (answer.size() < 8) {
        long n = connection.read(chunk, sizeof chunk, deadline);
        if (n <= 0) break;
        answer.append(chunk, static_cast<std::size_t>(n));
    }
    return answer;
}

Connection::Connection(Ssl* ssl, int fd, std::string name)
    : ssl(ssl), fd(fd), clientName(std::move(name)) {}

Connection::~Connection() {
    SSL_free(ssl);
}

bool Connection::waitFor(int sslError, Clock::time_point deadline) {
    pollfd wait{fd, static_cast<short>(sslError == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    for (;;) {
        int ready = ::poll(&wait, 1, remainingMs(deadline));
        if (ready > 0) return true;  // a hang-up too: the next operation says what it is
        if (ready == 0 || errno != EINTR) return false;
    }
}

long Connection::read(char* buffer, std::size_t size, Clock::time_point deadline) {
    for (;;) {
        ERR_clear_error();
        int n = SSL_read(ssl, buffer, static_cast<int>(std::min<std::size_t>(size, kChunk)));
        if (n > 0) return n;
        int error = SSL_get_error(ssl, n);
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) {
            ERR_clear_error();
            return kFailed;
        }
        if (!waitFor(error, deadline)) return Clock::now() >= deadline ? kTimedOut : kFailed;
    }
}

bool Connection::write(const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        ERR_clear_error();
        int n = SSL_write(ssl, data.data() + sent, static_cast<int>(data.size() - sent));
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        int error = SSL_get_error(ssl, n);
        if ((error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) ||
            !waitFor(error, Clock::now() + kWriteTimeout)) {
            ERR_clear_error();
            return false;
        }
    }
    return true;
}

void Connection::close() {
    ERR_clear_error();
    SSL_shutdown(ssl);  // one try: the connection ends either way
    ERR_clear_error();
}

void Connection::pump(int inner, std::string in) {
    std::string out;  // the library's answer, on its way to the client
    char chunk[kChunk];
    bool clientDone = false;  // the client has ended its side (or its connection failed)
    bool innerShut = false;   // ... and the library has been told so
    bool answerDone = false;  // the library has closed its end
    bool failed = false;      // the client's connection failed: nothing more reaches it
    short readWants = POLLIN, writeWants = POLLOUT;
    auto lastWrite = Clock::now();  // when the client last took bytes, or was given some
    auto retryable = [] { return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR; };
    for (;;) {
        for (bool moved = true; moved && !failed;) {
            moved = false;
            if (!in.empty()) {
                ssize_t n = ::send(inner, in.data(), in.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                if (n > 0) {
                    in.erase(0, static_cast<std::size_t>(n));
                    moved = true;
                } else if (!retryable()) {
                    in.clear();  // the library stopped reading: it answers, or has gone
                }
            }
            if (!clientDone && in.size() < kChunk) {
                ERR_clear_error();
                int n = SSL_read(ssl, chunk, sizeof chunk);
                int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, n);
                if (n > 0) {
                    in.append(chunk, static_cast<std::size_t>(n));
                    moved = true;
                } else if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                    readWants = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                } else {
                    clientDone = true;
                    failed = error != SSL_ERROR_ZERO_RETURN;
                    ERR_clear_error();
                }
            }
            if (clientDone && in.empty() && !innerShut) {
                ::shutdown(inner, SHUT_WR);  // its reader sees the client's end
                innerShut = true;
            }
            if (out.empty() && !answerDone) {
                ssize_t n = ::recv(inner, chunk, sizeof chunk, MSG_DONTWAIT);
                if (n > 0) {
                    out.assign(chunk, static_cast<std::size_t>(n));
                    lastWrite = Clock::now();  // the client's time to take it begins now
                    moved = true;
                } else if (n == 0 || !retryable()) {
                    answerDone = true;
                }
            }
            if (!out.empty()) {
                ERR_clear_error();
                int n = SSL_write(ssl, out.data(), static_cast<int>(out.size()));
                int error = n > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, n);
                if (n > 0) {
                    out.erase(0, static_cast<std::size_t>(n));
                    lastWrite = Clock::now();
                    moved = true;
                } else if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                    writeWants = error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
                } else {
                    failed = true;
                    ERR_clear_error();
                }
            }
        }
        if (failed) break;
        if (answerDone && out.empty()) {
            close();
            return;
        }
        short clientEvents = static_cast<short>(
            (!clientDone && in.size() < kChunk ? readWants : 0) | (!out.empty() ? writeWants : 0));
        short innerEvents = static_cast<short>((!in.empty() ? POLLOUT : 0) |
                                               (out.empty() && !answerDone ? POLLIN : 0));
        pollfd fds[2] = {{fd, clientEvents, 0}, {innerEvents ? inner : -1, innerEvents, 0}};
        int waitMs = -1;
        if (!out.empty()) {
            auto stalledFor = Clock::now() - lastWrite;
            if (stalledFor >= kWriteTimeout) break;  // the client does not take its answer
            waitMs = remainingMs(Clock::now() + (kWriteTimeout - stalledFor)) + 1;
        }
        int ready = ::poll(fds, 2, waitMs);
        if (ready < 0 && errno != EINTR) break;
        // The client's connection is gone both ways (reset, or closed by the table for another).
        if (ready > 0 && (fds[0].revents & (POLLERR | POLLHUP))) break;
    }
    // The library's reads end and its writes fail: it finishes at once.
    ::shutdown(inner, SHUT_RDWR);
    ::shutdown(fd, SHUT_RDWR);
}

}  // namespace tlsfront
