#include "service/AbyssServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xmlrpc-c/abyss.h>
#include <xmlrpc-c/server_abyss.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>
#include <xmlrpc-c/server_abyss.hpp>
#include <xmlrpc-c/xml.hpp>

#include "RS232CCom.h"
#include "common/FileDescriptor.h"
#include "common/OutputStream.h"
#include "service/RequestGuard.h"
#include "service/RequestHead.h"
#include "service/StatusPage.h"
#include "service/XMLRPCMethods.h"
#include "trace/TraceLog.h"

namespace {

// Each connection is a thread, an idle one about 13 KiB resident. Room for a burst of a thousand
// silent connections keeps a real caller served at once.
constexpr unsigned kMaxConnections = 1200;
// Fewer than this and a few idle clients could crowd out the UI: the daemon will not start.
constexpr unsigned kMinConnections = 16;
// Each connection holds its socket and the two ends of the library's interrupt pipe; the rest
// of the daemon (standard streams, the listener, the serial port, the trace, the watches) needs
// a few more. Over TLS, the socketpair between the front's pump and the library takes two more.
constexpr rlim_t kDescriptorsPerConnection = 3;
constexpr rlim_t kDescriptorsPerTlsConnection = kDescriptorsPerConnection + 2;
constexpr rlim_t kSpareDescriptors = 16;
// Connections the kernel queues while the accept loop is busy; beyond it SYNs are dropped and a
// client waits out TCP's retransmission back-off (seconds). The kernel caps it at somaxconn.
constexpr int kConnBacklog = 4096;
// Seconds a connection may wait for the next bytes of its request: a slow but honest client
// still gets through, a silent one frees its thread.
constexpr unsigned kReadTimeout = 10;
// Room on a connection thread's stack for the library's own work around the registry's and ours.
constexpr std::size_t kProcessorStack = 128 * 1024;
constexpr std::size_t kConnectionStack = 256 * 1024;
// The TLS pump's: a record's worth of bytes and OpenSSL's own work on them.
constexpr std::size_t kPumpStack = 256 * 1024;
// A full table where no connection can give up its place now (requests not yet read, answers
// just made, calls about to wait) is looked at again this often.
constexpr int kFullRecheckMs = 20;
// While answers are being written, the accept loop looks this often for one its client leaves
// unread.
constexpr int kAnswersLookMs = 1000;
// When the process runs out of descriptors all the same, the accept loop waits this long for a
// connection to end before it tries again.
constexpr int kDescriptorsBackOffMs = 100;

// Handshake refusals the trace records a second at most; the others are counted, and the next
// one recorded says how many were left out.
constexpr unsigned kHandshakeRefusalsRecorded = 20;

// The connection the current thread serves.
struct CurrentConnection {
    ConnectionTable::Id id = 0;
    int fd = -1;
    std::string client;  // as the table counts it
    // Stops so far when the request's first bytes were seen: a stop after that cancels its calls,
    // however late this thread comes to read them.
    std::uint64_t stopsBefore = 0;
};
thread_local CurrentConnection currentConnection;

std::string faultResponse(xmlrpc_c::fault::code_t code, const std::string& text) {
    std::string response;
    xmlrpc_c::xml::generateResponse(xmlrpc_c::rpcOutcome(xmlrpc_c::fault(text, code)), &response);
    return response;
}

// xmlrpc-c runs a multicall's calls one by one and, at an element it cannot read, answers one
// fault for the whole request although the calls before it ran (and may have moved the tool).
// So the elements are read first; a fault from here means that none of the calls ran. Anything
// that is no well-formed multicall is left to the library to answer.
std::optional<xmlrpc_c::fault> malformedMulticall(const std::string& callXml) {
    using xmlrpc_c::value;
    // Read only what may be one (a name may be spelt with character references).
    if (callXml.find("system.multicall") == std::string::npos &&
        callXml.find("&#") == std::string::npos) {
        return std::nullopt;
    }
    std::string method;
    xmlrpc_c::paramList params;
    try {
        xmlrpc_c::xml::parseCall(callXml, &method, &params);
    } catch (const std::exception&) {
        return std::nullopt;
    }
    if (method != "system.multicall" || params.size() != 1 ||
        params[0].type() != value::TYPE_ARRAY) {
        return std::nullopt;
    }
    std::vector<value> calls = xmlrpc_c::value_array(params[0]).vectorValueValue();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        std::string which = "call " + std::to_string(i + 1) + " of the multicall ";
        const char* problem = nullptr;
        if (calls[i].type() != value::TYPE_STRUCT) {
            problem = "is not a struct";
        } else {
            std::map<std::string, value> members = xmlrpc_c::value_struct(calls[i]);
            auto name = members.find("methodName");
            auto given = members.find("params");
            if (name == members.end() || name->second.type() != value::TYPE_STRING) {
                problem = "has no string 'methodName'";
            } else if (given == members.end() || given->second.type() != value::TYPE_ARRAY) {
                problem = "has no array 'params'";
            } else if (std::string(xmlrpc_c::value_string(name->second)) == "system.multicall") {
                return xmlrpc_c::fault(which +
                                           "is a system.multicall itself, which is refused; "
                                           "none of its calls ran",
                                       xmlrpc_c::fault::CODE_REQUEST_REFUSED);
            }
        }
        if (problem) {
            return xmlrpc_c::fault(which + problem + "; none of its calls ran",
                                   xmlrpc_c::fault::CODE_TYPE);
        }
    }
    return std::nullopt;
}

// Abyss reports failures as strings it allocated with malloc().
std::string takeError(const char* error) {
    std::string text = error ? error : "unknown error";
    std::free(const_cast<char*>(error));
    return text;
}

// A page of an allowed origin may read the answer; a cache must not serve it to another.
void allowReading(TSession* session, const char* origin) {
    ResponseAddField(session, "Access-Control-Allow-Origin", origin);
    ResponseAddField(session, "Vary", "Origin");
}

// xmlrpc-c's handler calls this with the body of every POST to /RPC2, before any parsing.
void processCall(xmlrpc_env* envP, void* serverP, const char* callXml, size_t length,
                 TSession* session, xmlrpc_mem_block** responsePP) {
    try {
        const auto* server = static_cast<const AbyssServer*>(serverP);
        if (!server->beginRequest()) {
            // Closed to make room for another while its body came: nothing reaches the line.
            xmlrpc_env_set_fault(envP, XMLRPC_REQUEST_REFUSED_ERROR,
                                 "busy: the connection was closed to make room for another");
            return;
        }
        const char* origin = RequestHeaderValue(session, "origin");
        xmlrpc_c::callInfo_abyss info(session);
        std::string response;
        OriginPolicy::Decision decision = server->admitOrigin(origin);
        if (decision == OriginPolicy::Refused) {
            // A web page sent it: nothing may reach the line.
            server->recordRefusal(&info, "origin", "web origin " + std::string(origin));
            response = faultResponse(xmlrpc_c::fault::CODE_REQUEST_REFUSED,
                                     "origin: calls from web pages are refused unless the daemon "
                                     "allows their origin (rs232c-daemon --allow-origin)");
        } else {
            if (decision == OriginPolicy::Allowed) allowReading(session, origin);
            // The calls of this request are its client's: they take turns with other clients'
            // and are dropped should the client leave while they wait.
            auto caller = server->callerScope();
            response = server->respond(std::string(callXml, length), &info);
        }
        *responsePP = XMLRPC_MEMBLOCK_NEW(char, envP, response.size());
        if (!envP->fault_occurred) {
            std::memcpy(XMLRPC_MEMBLOCK_CONTENTS(char, *responsePP), response.data(),
                        response.size());
        }
        server->answered();
    } catch (const std::exception& error) {
        xmlrpc_env_set_fault(envP, XMLRPC_INTERNAL_ERROR, error.what());
    }
}

// As many connections as the descriptor limit holds, raising the soft limit as far as it may;
// 0, with the reason, when not even kMinConnections fit.
unsigned connectionsThatFit(rlim_t perConnection, std::string& failure) {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        failure = std::string("cannot read the limit of open files: ") + std::strerror(errno);
        return 0;
    }
    rlim_t wanted = kMaxConnections * perConnection + kSpareDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return kMaxConnections;
    rlim_t fit = limit.rlim_cur > kSpareDescriptors
                     ? (limit.rlim_cur - kSpareDescriptors) / perConnection
                     : 0;
    if (fit < kMinConnections) {
        failure = "a limit of " + std::to_string(limit.rlim_cur) +
                  " open files (ulimit -n) leaves room for " + std::to_string(fit) +
                  " connections; it needs at least " +
                  std::to_string(kMinConnections * perConnection + kSpareDescriptors);
        return 0;
    }
    return static_cast<unsigned>(fit);
}

void respond(TSession* session, uint16_t status, const char* type, const std::string& body,
             bool withBody) {
    ResponseStatus(session, status);
    ResponseContentType(session, type);
    ResponseContentLength(session, body.size());
    ResponseAddField(session, "Cache-Control", "no-store");
    ResponseWriteStart(session);
    if (withBody) ResponseWriteBody(session, body.data(), static_cast<uint32_t>(body.size()));
    ResponseWriteEnd(session);
}

void respondEmpty(TSession* session, uint16_t status) {
    ResponseStatus(session, status);
    ResponseContentLength(session, 0);
    ResponseWriteStart(session);
    ResponseWriteEnd(session);
}

// Abyss asks this handler first for every request, once its head is read. It answers CORS
// preflights itself: a browser asks before it sends a call with Content-Type text/xml from
// another origin, and only an allowed origin gets the answer that lets it go on.
void admitRequest(void* serverP, TSession* session, abyss_bool* handled) {
    const TRequestInfo* request = nullptr;
    SessionGetRequestInfo(session, &request);
    // xmlrpc-c 1.33's Abyss copies a request's query string (after '?') and never frees it, so
    // that ?-URLs would grow the daemon without bound. No path here reads a query: it goes now.
    auto* info = const_cast<TRequestInfo*>(request);
    std::free(const_cast<char*>(info->query));
    info->query = nullptr;
    // A call's body may still be on its way: its connection stays silent, and may be closed for
    // another, until processCall has it all, so that a client cannot hold connections (or a
    // stop) by sending bodies slowly. Any other request is whole once its head is read.
    bool call = request->method == m_post && std::strcmp(request->uri, "/RPC2") == 0;
    if (!call && !static_cast<const AbyssServer*>(serverP)->beginRequest()) {
        *handled = true;  // closed to make room for another: nothing more happens on it
        respondEmpty(session, 503);
        return;
    }
    const char* origin = RequestHeaderValue(session, "origin");
    *handled = request->method == m_options && origin && std::strcmp(request->uri, "/RPC2") == 0;
    if (!*handled) return;
    if (static_cast<const AbyssServer*>(serverP)->admitOrigin(origin) == OriginPolicy::Allowed) {
        allowReading(session, origin);
        ResponseAddField(session, "Access-Control-Allow-Methods", "POST");
        ResponseAddField(session, "Access-Control-Allow-Headers", "Content-Type");
        ResponseAddField(session, "Access-Control-Max-Age", "600");
        ResponseStatus(session, 204);
        ResponseWriteStart(session);
        ResponseWriteEnd(session);
    } else {
        respondEmpty(session, 403);
    }
}

// GET /metrics for Prometheus, GET /health for UI programs and probes, and GET / the status page
// for people: none touches the line nor waits for it.
void answerMonitoring(void* serverP, TSession* session, abyss_bool* handled) {
    const TRequestInfo* request = nullptr;
    SessionGetRequestInfo(session, &request);
    bool metrics = std::strcmp(request->uri, "/metrics") == 0;
    bool health = std::strcmp(request->uri, "/health") == 0;
    bool page = std::strcmp(request->uri, "/") == 0;
    *handled = metrics || health || page;
    if (!*handled) return;
    if (request->method != m_get && request->method != m_head) {
        ResponseAddField(session, "Allow", "GET, HEAD");
        respondEmpty(session, 405);
        return;
    }
    const auto* server = static_cast<const AbyssServer*>(serverP);
    bool withBody = request->method == m_get;
    if (metrics) {
        respond(session, 200, "text/plain; version=0.0.4", server->metricsText(), withBody);
        return;
    }
    if (page) {
        ResponseAddField(session, "Content-Security-Policy", statuspage::kContentSecurityPolicy);
        ResponseAddField(session, "X-Content-Type-Options", "nosniff");
        ResponseAddField(session, "Referrer-Policy", "no-referrer");
        respond(session, 200, "text/html; charset=utf-8",
                statuspage::render(server->monitoring(), server->port()), withBody);
        return;
    }
    // A page of an allowed origin may read it, as it may read calls; others get no CORS header.
    const char* origin = RequestHeaderValue(session, "origin");
    if (origin && server->admitOrigin(origin) == OriginPolicy::Allowed) {
        allowReading(session, origin);
    }
    bool present = false;
    std::string body = server->monitoring().healthJson(present);
    respond(session, present ? 200 : 503, "application/json", body, withBody);
}

// An origin as a log line may show it: printable ASCII, the rest escaped, bounded.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text.substr(0, 200)) {
        if (c >= 0x20 && c < 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

// Releases a library resource when the scope ends, on every path.
template <typename Release>
struct OnExit {
    Release release;
    ~OnExit() { release(); }
};
template <typename Release>
OnExit(Release) -> OnExit<Release>;

// The listening socket, or closed with the reason; `address` empty means every IPv4 interface.
FileDescriptor listenOn(const std::string& address, unsigned port, std::string& failure) {
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* where = reinterpret_cast<const sockaddr*>(&v4);
    socklen_t size = sizeof v4;
    v4.sin_family = AF_INET;
    v4.sin_port = htons(static_cast<uint16_t>(port));
    v4.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!address.empty() && inet_pton(AF_INET, address.c_str(), &v4.sin_addr) != 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = v4.sin_port;
        if (inet_pton(AF_INET6, address.c_str(), &v6.sin6_addr) != 1) {
            failure = "not an IPv4 or IPv6 address: " + address;
            return {};
        }
        where = reinterpret_cast<const sockaddr*>(&v6);
        size = sizeof v6;
    }
    FileDescriptor listener(
        ::socket(where->sa_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int one = 1;
    // A restarted daemon takes its port back at once; accepted sockets inherit TCP_NODELAY, so
    // small responses leave without waiting for an acknowledgement.
    bool ready = listener.isOpen() &&
                 ::setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                 ::setsockopt(listener.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
                 ::bind(listener.get(), where, size) == 0 &&
                 ::listen(listener.get(), kConnBacklog) == 0;
    if (!ready) {
        failure = std::strerror(errno);
        return {};
    }
    return listener;
}

// An answer of the daemon's own, in one line of text, to a request the library does not see.
std::string plainAnswer(const char* status, const std::string& text) {
    return std::string("HTTP/1.1 ") + status +
           "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(text.size() + 1) +
           "\r\nConnection: close\r\n\r\n" + text + "\n";
}

// Answers a request the library does not see, in one line of text; the caller then closes.
void answerPlainly(int fd, const char* status, const std::string& text) {
    std::string answer = plainAnswer(status, text);
    ssize_t ignored = ::send(fd, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    (void)ignored;  // a client that cannot take it is closed all the same
    // Closing a socket with unread bytes resets it, and the reset can overtake the answer: what
    // the client has sent already is read first (a little, without waiting).
    char unread[4096];
    for (int i = 0; i < 16 && ::recv(fd, unread, sizeof unread, MSG_DONTWAIT) > 0; ++i) {
    }
}

// A connection the table has no room for hears why before it is closed.
void refuse(int fd) {
    answerPlainly(fd, "503 Service Unavailable", "this address holds too many connections already");
    ::close(fd);
}

// One connection, served on a thread of its own by the library, one request per connection.
struct ConnectionJob {
    TServer* server;
    ConnectionTable* table;
    Metrics* metrics;
    ConnectionTable::Id id;
    int fd;
    std::string client;  // as the table counts it
    sockaddr_storage peer;
    socklen_t peerSize;
    const tlsfront::Front* tls;  // null: plain HTTP
    const AbyssServer* daemon;
    std::uint64_t stopsBefore;  // as it was accepted: its bytes may already be waiting
};

// The connection's client as the calls on it carry it. Abyss keeps a struct sockaddr: an IPv6
// address does not fit in it, its port does.
ClientInfo clientInfoOf(const ConnectionJob& job, const std::string* certificateName) {
    ClientInfo client{};
    client.channel.peerAddrLen = job.peerSize;
    std::memcpy(&client.channel.peerAddr, &job.peer,
                std::min<std::size_t>(job.peerSize, sizeof client.channel.peerAddr));
    client.certificateName = certificateName;
    return client;
}

// The library serves one request on `fd` for the client.
void runLibrary(const ConnectionJob& job, int fd, ClientInfo& client) {
    TChannel* channel = nullptr;
    abyss_unix_chaninfo* info = nullptr;
    const char* error = nullptr;
    ChannelUnixCreateFd(fd, &channel, &info, &error);
    if (!error) {
        std::free(info);
        ServerRunChannel(job.server, channel, &client, &error);
        ChannelDestroy(channel);
    }
    takeError(error);  // a connection's own trouble (a client gone, a bad request) is its own
}

// Waits until the request's head is whole, looking at it without taking it off the socket, so
// that the library reads exactly the bytes checked; answers a head that it should not see.
// True when the library may serve the request.
bool headChecked(const ConnectionJob& job) {
    char head[requesthead::kMaxHead];
    bool hungUp = false;
    bool waited = false;
    bool woken = false;  // by poll, for bytes
    ssize_t before = 0;  // what the last look saw; -1: nothing
    // A head the library must not see: counted, and answered here.
    auto refuseHead = [&job](const char* status, const char* reason) {
        job.metrics->countRefusal("bad_head");
        answerPlainly(job.fd, status, reason);
        return false;
    };
    for (;;) {
        ssize_t seen = ::recv(job.fd, head, sizeof head, MSG_PEEK | MSG_DONTWAIT);
        // Woken for bytes a peek cannot see: TCP urgent data, which a peek never reads past while
        // poll counts it. No HTTP client sends any; waiting again would not sleep.
        if (woken && !hungUp && seen <= before)
            return refuseHead("400 Bad Request", "urgent data in the request's head");
        // A request that begins after its connection was taken (a client that connected early)
        // comes when its first bytes do.
        if (seen > 0 && before < 0) currentConnection.stopsBefore = job.daemon->stopsSoFar();
        before = seen;
        if (seen == 0) return false;  // gone before its head was whole, or closed for another
        if (seen < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
        if (seen > 0) {
            requesthead::Check check = requesthead::check(head, static_cast<std::size_t>(seen));
            if (check.verdict == requesthead::Verdict::Whole) {
                if (waited) {
                    int one = 1;  // the library reads as usual from here on
                    ::setsockopt(job.fd, SOL_SOCKET, SO_RCVLOWAT, &one, sizeof one);
                    job.table->awaitingHead(job.id, false);
                }
                return true;
            }
            if (check.verdict == requesthead::Verdict::TooLarge)
                return refuseHead("431 Request Header Fields Too Large", check.reason);
            if (check.verdict == requesthead::Verdict::Malformed)
                return refuseHead("400 Bad Request", check.reason);
        }
        // The client closed its side, or the table closed the connection, with the head unfinished.
        if (hungUp) return false;
        // Sleep until more than what was seen has come: the bytes stay unread, so plain POLLIN
        // would wake at once.
        int more = static_cast<int>(std::max<ssize_t>(seen, 0)) + 1;
        ::setsockopt(job.fd, SOL_SOCKET, SO_RCVLOWAT, &more, sizeof more);
        if (!waited) job.table->awaitingHead(job.id, true);
        waited = true;
        pollfd next{job.fd, POLLIN | POLLRDHUP, 0};
        int ready = ::poll(&next, 1, static_cast<int>(kReadTimeout) * 1000);
        if (ready == 0)
            return refuseHead("408 Request Timeout", "the request's head did not come in time");
        if (ready < 0 && errno != EINTR) return false;
        woken = ready > 0;
        hungUp = woken && (next.revents & (POLLRDHUP | POLLHUP | POLLERR));
    }
}

// The TLS front's pump of one connection, on a thread of its own.
struct PumpJob {
    tlsfront::Connection* tls;
    int inner;
    std::string pending;
};

void* runPump(void* argument) {
    auto* job = static_cast<PumpJob*>(argument);
    job->tls->pump(job->inner, std::move(job->pending));
    return nullptr;
}

// A joinable thread with a stack of `stack` bytes; false when the system has none to give.
bool startThread(pthread_t& thread, void* (*run)(void*), void* argument, std::size_t stack) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, stack);
    int started = pthread_create(&thread, &attributes, run, argument);
    pthread_attr_destroy(&attributes);
    return started == 0;
}

// The head of a request that came over TLS, read decrypted under the rules and the time limit
// of a plain one; `read` keeps every byte, for the library. True when the library may serve it.
bool tlsHeadChecked(const ConnectionJob& job, tlsfront::Connection& tls, std::string& read) {
    char chunk[requesthead::kMaxHead];
    for (;;) {
        requesthead::Check check = requesthead::check(read.data(), read.size());
        if (check.verdict == requesthead::Verdict::Whole) return true;
        if (check.verdict != requesthead::Verdict::Incomplete) {
            job.metrics->countRefusal("bad_head");
            tls.write(plainAnswer(check.verdict == requesthead::Verdict::TooLarge
                                      ? "431 Request Header Fields Too Large"
                                      : "400 Bad Request",
                                  check.reason));
            return false;
        }
        long n = tls.read(chunk, sizeof chunk,
                          tlsfront::Clock::now() + std::chrono::seconds(kReadTimeout));
        // The request comes with its first bytes: a client may shake hands long before it calls.
        if (n > 0 && read.empty()) currentConnection.stopsBefore = job.daemon->stopsSoFar();
        // Gone before its head was whole, or closed for another.
        if (n == 0 || n == tlsfront::Connection::kFailed) return false;
        if (n == tlsfront::Connection::kTimedOut) {
            job.metrics->countRefusal("bad_head");
            tls.write(
                plainAnswer("408 Request Timeout", "the request's head did not come in time"));
            return false;
        }
        read.append(chunk, static_cast<std::size_t>(n));
    }
}

// A connection to the TLS port: the handshake, bounded by the head's time limit, and the head,
// while the connection stays silent (and closable); then the library serves the request on a
// socketpair whose other end the front's pump connects to the client.
void serveTls(const ConnectionJob& job) {
    job.table->awaitingHead(job.id, true);
    tlsfront::Front::Refusal refusal;
    std::unique_ptr<tlsfront::Connection> tls = job.tls->accept(
        job.fd, tlsfront::Clock::now() + std::chrono::seconds(kReadTimeout), refusal);
    if (!tls) {
        // A handshake the daemon cut short (to make room, or as it stops) is no client's failure.
        if (refusal.silent || job.table->closedHere(job.id)) return;
        job.daemon->recordHandshakeRefusal(clientOf(clientInfoOf(job, nullptr).channel), job.client,
                                           refusal.reason);
        // A person who typed http:// hears why nothing answers; no XML-RPC answer is given.
        if (refusal.plainHttp)
            answerPlainly(job.fd, "400 Bad Request",
                          "this port serves HTTPS only: call https://, not http://");
        return;
    }
    std::string read;
    if (!tlsHeadChecked(job, *tls, read)) {
        tls->close();
        return;
    }
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return;
    FileDescriptor libraryEnd(pair[0]), pumpEnd(pair[1]);
    // What was read goes into the pair at once (its buffer holds a head many times over), so
    // that the request that has come is never taken for a silent connection: bytes waiting in
    // the pair keep it from being closed for another, as bytes waiting in a plain socket do.
    ssize_t given = ::send(pumpEnd.get(), read.data(), read.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    read.erase(0, given > 0 ? static_cast<std::size_t>(given) : 0);
    job.table->readsFrom(job.id, libraryEnd.get());
    job.table->awaitingHead(job.id, false);
    PumpJob pumpJob{tls.get(), pumpEnd.get(), std::move(read)};
    pthread_t pump;
    if (!startThread(pump, runPump, &pumpJob, kPumpStack)) {
        job.table->readsFrom(job.id, -1);
        return;  // no thread for it now: the connection closes, the client may try again
    }
    ClientInfo client = clientInfoOf(job, tls->name());
    // The pump ends the pair's sending side when the client ends its own: a call waiting for the
    // line sees its client leave there, as it would on a plain socket.
    currentConnection.fd = libraryEnd.get();
    runLibrary(job, libraryEnd.get(), client);
    job.table->readsFrom(job.id, -1);
    ::shutdown(libraryEnd.get(), SHUT_RDWR);  // the pump delivers the rest of the answer and ends
    pthread_join(pump, nullptr);
}

void* serveConnection(void* argument) {
    std::unique_ptr<ConnectionJob> job(static_cast<ConnectionJob*>(argument));
    currentConnection = {job->id, job->fd, job->client, job->stopsBefore};
    if (job->tls) {
        serveTls(*job);
    } else if (headChecked(*job)) {
        ClientInfo client = clientInfoOf(*job, nullptr);
        runLibrary(*job, job->fd, client);
    }
    job->table->end(job->id);
    return nullptr;
}

}  // namespace

AbyssServer::AbyssServer(RS232CCom* com) : AbyssServer(com, Options()) {}

AbyssServer::AbyssServer(RS232CCom* com, Options options)
    : com(com),
      options(std::move(options)),
      metrics(*com, this->options.trace, this->options.version),
      originPolicy(this->options.allowedOrigins),
      stopSignal(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!stopSignal.isOpen()) throw std::runtime_error("cannot create an eventfd");
    add<GetTitle>("get_title");
    add<SetTitle>("set_title");
    add<GetMessage>("get_message");
    add<SendCmd>("send_cmd");
    add<SendCmdCOM>("send_cmd_com");
    add<SendCmdCOS>("send_cmd_cos");
    add<SendCmdCST>("send_cmd_cst");
    add<SendCmdCHS>("send_cmd_chs");
    add<SendCmdFWD>("send_cmd_fwd");
    add<SendCmdRVS>("send_cmd_rvs");
    add<SendCmdSTP>("send_cmd_stp");
    add<SendCmdCH>("send_cmd_ch");
    add<SendCmdRST>("send_cmd_rst");
    add<SendCmdWIN>("send_cmd_win");
    add<SendCmdWOT>("send_cmd_wot");
    add<SendCmdWOTWithWNG>("send_cmd_wot_with_wng");
    add<SendCmdWRT>("send_cmd_wrt");
    add<RecvCmdInf>("recv_cmd_inf");
    add<SerialClose>("serial_close");
    add<GetLastRecvDataBinStr>("get_last_recv_data_bin_str");
    add<GetLastRecvDataStr>("get_last_recv_data_str");
    add<SendCmdVER>("send_cmd_ver");
    add<SendCmdVERScript>("send_cmd_ver_script");
}

AbyssServer::~AbyssServer() = default;

template <typename Method>
void AbyssServer::add(const char* name) {
    auto* method = new Method(com);
    method->recordCallsAs(name, metrics, options.trace, options.operators.get());
    // The registry holds the only reference from here on.
    serviceRegistry.addMethod(name, xmlrpc_c::methodPtr(method));
}

std::string AbyssServer::respond(const std::string& callXml, const xmlrpc_c::callInfo* info) const {
    using requestguard::Verdict;
    AnswerBudget budget;
    try {
        requestguard::Inspection inspection = requestguard::inspect(callXml.data(), callXml.size());
        // What /metrics calls each refusal.
        static const char* const keys[] = {"", "encoding", "document_type", "int64", "too_deep"};
        if (inspection.verdict != Verdict::Pass) {
            recordRefusal(info, keys[static_cast<int>(inspection.verdict)], inspection.reason);
        }
        switch (inspection.verdict) {
            case Verdict::Pass:
                break;
            case Verdict::Encoding:
            case Verdict::DocumentType:
                return faultResponse(xmlrpc_c::fault::CODE_PARSE, inspection.reason);
            case Verdict::Int64:
                return faultResponse(xmlrpc_c::fault::CODE_TYPE, inspection.reason);
            case Verdict::TooDeep:
                return faultResponse(xmlrpc_c::fault::CODE_LIMIT_EXCEEDED, inspection.reason);
        }
        if (std::optional<xmlrpc_c::fault> malformed = malformedMulticall(inspection.text)) {
            return faultResponse(malformed->getCode(), malformed->getDescription());
        }
        // The parser gets the text the guard read, never the bytes as they came: one reading.
        std::string response;
        serviceRegistry.processCall(inspection.text, info, &response);
        return response;
    } catch (const std::exception& error) {
        return faultResponse(xmlrpc_c::fault::CODE_INTERNAL, error.what());
    }
}

void AbyssServer::recordRefusal(const xmlrpc_c::callInfo* info, const char* reason,
                                const std::string& why) const {
    metrics.countRefusal(reason);
    if (!options.trace) return;
    auto event = options.trace->event("refused-call");
    event.text("client", clientOf(info));
    if (const std::string* certificate = certificateOf(info)) event.text("cn", *certificate);
    event.text("reason", why);
}

void AbyssServer::recordHandshakeRefusal(const std::string& client, const std::string& address,
                                         const std::string& why) const {
    metrics.countRefusal("tls");
    if (options.trace) {
        long leftOut;
        {
            MutexLock guard(refusalsLock);
            auto now = std::chrono::steady_clock::now();
            RefusalsRecorded& recorded = refusalsRecorded;
            if (now - recorded.second >= std::chrono::seconds(1)) {
                recorded.second = now;
                recorded.written = 0;
            }
            if (recorded.written == kHandshakeRefusalsRecorded) {
                ++recorded.leftOut;
                leftOut = -1;
            } else {
                ++recorded.written;
                leftOut = std::exchange(recorded.leftOut, 0);
            }
        }
        if (leftOut >= 0) {
            auto event = options.trace->event("refused-call");
            event.text("client", client).text("reason", why);
            if (leftOut > 0) event.integer("left_out", leftOut);
        }
    }
    reportOnce("tls " + address, "RS232C Daemon refused a TLS client at " + address + ": " + why);
}

OriginPolicy::Decision AbyssServer::admitOrigin(const char* origin) const {
    OriginPolicy::Decision decision = originPolicy.decide(origin);
    if (decision == OriginPolicy::Refused) {
        reportOnce(std::string("origin ") + origin,
                   "RS232C Daemon refused calls from web origin " + printable(origin) +
                       " (rs232c-daemon --allow-origin lets a trusted one in)");
    }
    return decision;
}

void AbyssServer::reportOnce(const std::string& key, const std::string& line) const {
    // One line per origin or address, not per request; a flood of made-up ones is named only
    // so far.
    constexpr std::size_t kNamed = 100;
    {
        MutexLock guard(reportedLock);
        if (reported.size() > kNamed || !reported.insert(key).second) return;
        if (reported.size() > kNamed) {
            diagnostic("RS232C Daemon refused more origins or addresses; they are not named");
            return;
        }
    }
    diagnostic(line);
}

bool AbyssServer::beginRequest() const {
    return !connections || connections->beginRequest(currentConnection.id);
}

void AbyssServer::answered() const {
    if (connections) connections->answered(currentConnection.id);
}

LineQueue::CallerScope AbyssServer::callerScope() const {
    return com->callerScope(
        {currentConnection.client, currentConnection.fd, currentConnection.stopsBefore});
}

std::uint64_t AbyssServer::stopsSoFar() const {
    return com->stopsSoFar();
}

bool AbyssServer::fullOfCalls() const {
    return connections && connections->fullOfCalls();
}

std::string AbyssServer::serve() {
    std::string failure;
    unsigned capacity = connectionsThatFit(
        options.tls ? kDescriptorsPerTlsConnection : kDescriptorsPerConnection, failure);
    if (capacity == 0) return failure;
    connectionLimit = capacity;

    const char* error = nullptr;
    AbyssInit(&error);
    if (error) return takeError(error);
    OnExit abyssTerm{[] { AbyssTerm(); }};

    FileDescriptor listener = listenOn(options.listenAddress, options.port, failure);
    if (!listener.isOpen()) return failure;
    // The daemon accepts connections itself and hands each to the library, so that it decides
    // who gets one. The library then serves one request per connection.
    TServer server;
    if (!ServerCreateNoAccept(&server, "rs232c-daemon", nullptr, nullptr)) {
        return "cannot create the HTTP server";
    }
    OnExit freeServer{[&server] { ServerFree(&server); }};
    ServerSetTimeout(&server, kReadTimeout);
    // No Server header: the library writes every header line with a send() of its own.
    ServerSetAdvertise(&server, false);

    xmlrpc_env env;
    xmlrpc_env_init(&env);
    xmlrpc_server_abyss_handler_parms parms{};
    parms.xml_processor = processCall;
    parms.xml_processor_arg = this;
    parms.xml_processor_max_stack = serviceRegistry.maxStackSize() + kProcessorStack;
    parms.uri_path = "/RPC2";
    xmlrpc_server_abyss_set_handler3(&env, &server, &parms,
                                     XMLRPC_AHPSIZE(xml_processor_max_stack));
    if (env.fault_occurred) {
        failure = env.fault_string;
        xmlrpc_env_clean(&env);
        return failure;
    }
    // Any other path gets 404; Abyss's own default would serve files.
    xmlrpc_server_abyss_set_default_handler(&server);
    // Abyss asks the handler added last first, so every request passes admitRequest first.
    ServerReqHandler3 monitoringHandler{nullptr, answerMonitoring, this, 0};
    ServerReqHandler3 first{nullptr, admitRequest, this, 0};
    abyss_bool added = false;
    ServerAddHandler3(&server, &monitoringHandler, &added);
    if (added) ServerAddHandler3(&server, &first, &added);
    if (!added) return "cannot add the handlers of the HTTP paths";

    connections = std::make_unique<ConnectionTable>(
        ConnectionTable::Limits{capacity, std::min(options.clientConnections, capacity)});
    if (options.onListening) options.onListening();
    failure = acceptConnections(server, listener.get());
    // No new connection from here on; the silent ones go, the exchange on the line (and STP)
    // finishes, and calls still waiting for the line get a fault.
    listener.reset();
    connections->closeSilent();
    com->refuseWaitingCalls();
    while (connections->size() > 0) {
        pollfd ended{connections->endedFd(), POLLIN, 0};
        if (::poll(&ended, 1, -1) > 0) connections->clearEnded();
    }
    // The table, empty now, stays until the server goes: the watchdog may still read it.
    return failure;
}

std::string AbyssServer::acceptConnections(TServer& server, int listener) {
    const std::size_t stack = serviceRegistry.maxStackSize() + kProcessorStack + kConnectionStack;
    bool outOfDescriptorsSaid = false;
    // A fault made for the watchdog's tests: the loop stops taking connections this long after
    // it began, as a wedged server would.
    const char* stallAfter = std::getenv("RS232C_TEST_STALL_SERVER_MS");
    auto stallAt = std::chrono::steady_clock::time_point::max();
    if (stallAfter)
        stallAt =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(std::atol(stallAfter));
    using Clock = std::chrono::steady_clock;
    bool shedding = false;  // a waiting call was refused; its connection's end is awaited
    // The table was full and nothing could give up its place: the listener rests until then.
    auto recheckAt = Clock::time_point::min();
    for (;;) {
        auto now = Clock::now();
        if (now >= stallAt) {
            pollfd stop{stopSignal.get(), POLLIN, 0};
            while (!stopRequested) ::poll(&stop, 1, -1);
            return "";
        }
        ConnectionTable::Room room = connections->room();
        bool resting = room == ConnectionTable::Room::Full && now < recheckAt;
        bool listen = room == ConnectionTable::Room::Free ||
                      (room == ConnectionTable::Room::Full && !shedding && !resting);
        pollfd fds[4] = {{stopSignal.get(), POLLIN, 0},
                         {connections->endedFd(), POLLIN, 0},
                         {listener, static_cast<short>(listen ? POLLIN : 0), 0},
                         {connections->answeredFd(), POLLIN, 0}};
        int waitMs = stallAt != Clock::time_point::max() ? 50
                     : resting                           ? kFullRecheckMs
                     : connections->writingAnswers()     ? kAnswersLookMs
                                                         : -1;
        if (::poll(fds, 4, waitMs) < 0) {
            if (errno == EINTR) continue;
            return std::string("cannot wait for connections: ") + std::strerror(errno);
        }
        if (stopRequested) return "";
        if (fds[1].revents) {
            connections->clearEnded();
            shedding = false;
        }
        // An answer made: from now on the loop looks once a second whether it is taken.
        if (fds[3].revents) connections->clearAnswered();
        for (std::size_t n = connections->closeStalledAnswers(); n > 0; --n) {
            metrics.countRefusal("unread_answer");
        }
        if (!(fds[2].revents & POLLIN)) continue;
        if (room == ConnectionTable::Room::Full) {
            // Someone waits for a place: the client that holds the most gives one up, a silent
            // connection if it has one, or else its newest call that waits for the line, which
            // hears that the daemon is busy. Its end lets the newcomer, which may be STP, in.
            bool givenUp = false;
            for (const std::string& client : connections->biggestHolders()) {
                givenUp = connections->closeLongestSilent(client);
                if (givenUp) break;
                givenUp = shedding = com->shedNewestWaitingCall(client);
                if (givenUp) break;
            }
            // Its requests not read yet, its calls about to wait: looked at again shortly.
            if (!givenUp) recheckAt = now + std::chrono::milliseconds(kFullRecheckMs);
            continue;
        }

        sockaddr_storage peer{};
        socklen_t peerSize = sizeof peer;
        int fd = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &peerSize, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Something else took the room the table counted on: wait for a connection to
                // end instead of spinning on a listener that stays readable.
                if (!outOfDescriptorsSaid) {
                    diagnostic(std::string("RS232C Daemon cannot take a connection now: ") +
                               std::strerror(errno));
                    outOfDescriptorsSaid = true;
                }
                pollfd wait[2] = {{stopSignal.get(), POLLIN, 0},
                                  {connections->endedFd(), POLLIN, 0}};
                ::poll(wait, 2, kDescriptorsBackOffMs);
            }
            continue;  // a client that gave up before it was taken, or a signal
        }
        std::string client = ConnectionTable::clientOf(peer);
        ConnectionTable::Id id = connections->admit(fd, client);
        if (id == 0) {
            metrics.countRefusal("client_connections");
            reportOnce("address " + client, "RS232C Daemon refused connections from " + client +
                                                ": it holds " +
                                                std::to_string(options.clientConnections) +
                                                " already (rs232c-daemon --client-connections)");
            refuse(fd);
            continue;
        }
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attributes, stack);
        auto* job = new ConnectionJob{
            &server, connections.get(), &metrics, id, fd, client, peer, peerSize, options.tls.get(),
            this,    com->stopsSoFar()};
        pthread_t thread;
        int started = pthread_create(&thread, &attributes, serveConnection, job);
        pthread_attr_destroy(&attributes);
        if (started != 0) {
            delete job;
            connections->end(id);  // closes it; the client may try again
        }
    }
}

std::string AbyssServer::metricsText() const {
    std::string extra =
        "# HELP rs232c_connections_open HTTP connections the daemon holds open.\n"
        "# TYPE rs232c_connections_open gauge\n"
        "rs232c_connections_open " +
        std::to_string(connections ? connections->size() : 0) +
        "\n# HELP rs232c_connections_limit HTTP connections the daemon may hold open at once.\n"
        "# TYPE rs232c_connections_limit gauge\n"
        "rs232c_connections_limit " +
        std::to_string(connectionLimit.load()) +
        "\n# HELP rs232c_device_info The serial device the daemon drives and the TCP port it "
        "serves.\n# TYPE rs232c_device_info gauge\n"
        "rs232c_device_info{device=\"" +
        prometheusLabel(com->devicePath()) + "\",port=\"" + std::to_string(options.port) +
        "\"} 1\n";
    return metrics.prometheusText(extra);
}

std::string AbyssServer::loopbackAddress() const {
    if (options.listenAddress.empty() || options.listenAddress == "0.0.0.0") return "127.0.0.1";
    if (options.listenAddress == "::") return "::1";
    return options.listenAddress;
}

void AbyssServer::stop() {
    stopRequested = true;
    std::uint64_t one = 1;
    ssize_t ignored = ::write(stopSignal.get(), &one, sizeof one);
    (void)ignored;  // the counter only saturates; the loop wakes either way
}

void* AbyssServer::run(void* aserver) {
    auto* ptr = static_cast<AbyssServer*>(aserver);
    std::string failure;
    try {
        failure = ptr->serve();
    } catch (const std::exception& error) {
        failure = error.what();
    }
    if (!failure.empty()) {
        ptr->serveFailed = true;
        // One clear line that names the port and the library's reason.
        diagnostic("RS232C Daemon cannot serve XML-RPC on TCP port " +
                       std::to_string(ptr->options.port) + ": " + failure,
                   Priority::Error);
    }
    return nullptr;
}
