#include "service/AbyssServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <xmlrpc-c/abyss.h>
#include <xmlrpc-c/server_abyss.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <xmlrpc-c/server_abyss.hpp>
#include <xmlrpc-c/xml.hpp>

#include "common/OutputStream.h"
#include "service/RequestGuard.h"
#include "service/XMLRPCMethods.h"
#include "trace/TraceLog.h"

namespace {

// Connections are threads of the library, each idle one about 13 KiB resident. Room for a
// burst of a thousand silent connections keeps a real caller served at once instead of queued
// behind them until they time out.
constexpr unsigned kMaxConnections = 1200;
// Each connection holds its socket and the two ends of a pipe; the rest of the daemon (the
// listener, the serial port, standard streams) needs a few more.
constexpr rlim_t kDescriptorsPerConnection = 3;
constexpr rlim_t kSpareDescriptors = 64;
// Connections the kernel queues while every thread is busy; beyond it SYNs are dropped and a
// client waits out TCP's retransmission back-off (seconds). The kernel caps it at somaxconn.
constexpr unsigned kConnBacklog = 4096;
// Seconds a connection may wait for the next bytes of a request it has begun: a slow but honest
// client still gets through, a silent one frees its thread.
constexpr unsigned kReadTimeout = 10;
// Seconds an idle kept-alive connection is held for the client's next call.
constexpr unsigned kKeepaliveTimeout = 10;
// Calls one kept-alive connection may make (the library's default is 30).
constexpr unsigned kCallsPerConnection = 1000;
// Room on a connection thread's stack for our own work around the registry's.
constexpr std::size_t kProcessorStack = 128 * 1024;

std::string faultResponse(xmlrpc_c::fault::code_t code, const std::string& text) {
    std::string response;
    xmlrpc_c::xml::generateResponse(xmlrpc_c::rpcOutcome(xmlrpc_c::fault(text, code)), &response);
    return response;
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
        const char* origin = RequestHeaderValue(session, "origin");
        xmlrpc_c::callInfo_abyss info(session);
        std::string response;
        OriginPolicy::Decision decision = server->admitOrigin(origin);
        if (decision == OriginPolicy::Refused) {
            // A web page sent it: nothing may reach the line.
            server->recordRefusal(&info, "web origin " + std::string(origin));
            response = faultResponse(xmlrpc_c::fault::CODE_REQUEST_REFUSED,
                                     "calls from web pages are refused unless the daemon allows "
                                     "their origin (rs232c-daemon --allow-origin)");
        } else {
            if (decision == OriginPolicy::Allowed) allowReading(session, origin);
            response = server->respond(std::string(callXml, length), &info);
        }
        *responsePP = XMLRPC_MEMBLOCK_NEW(char, envP, response.size());
        if (!envP->fault_occurred) {
            std::memcpy(XMLRPC_MEMBLOCK_CONTENTS(char, *responsePP), response.data(),
                        response.size());
        }
    } catch (const std::exception& error) {
        xmlrpc_env_set_fault(envP, XMLRPC_INTERNAL_ERROR, error.what());
    }
}

// Abyss ends its run loop when accept() finds no descriptor left, so the daemon takes no more
// connections than its descriptor limit holds, raising the soft limit as far as it may.
unsigned connectionsThatFit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1;
    rlim_t wanted = kMaxConnections * kDescriptorsPerConnection + kSpareDescriptors;
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < wanted) {
        rlimit raised = limit;
        raised.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return kMaxConnections;
    if (limit.rlim_cur <= kSpareDescriptors + kDescriptorsPerConnection) return 1;
    return static_cast<unsigned>((limit.rlim_cur - kSpareDescriptors) / kDescriptorsPerConnection);
}

// A browser asks before it sends a call with Content-Type text/xml from another origin. Only an
// allowed origin gets the answer that lets it go on.
void answerPreflight(void* serverP, TSession* session, abyss_bool* handled) {
    const TRequestInfo* request = nullptr;
    SessionGetRequestInfo(session, &request);
    const char* origin = RequestHeaderValue(session, "origin");
    *handled = request->method == m_options && origin && std::strcmp(request->uri, "/RPC2") == 0;
    if (!*handled) return;
    if (static_cast<const AbyssServer*>(serverP)->admitOrigin(origin) == OriginPolicy::Allowed) {
        allowReading(session, origin);
        ResponseAddField(session, "Access-Control-Allow-Methods", "POST");
        ResponseAddField(session, "Access-Control-Allow-Headers", "Content-Type");
        ResponseAddField(session, "Access-Control-Max-Age", "600");
        ResponseStatus(session, 204);
    } else {
        ResponseStatus(session, 403);
        ResponseContentLength(session, 0);
    }
    ResponseWriteStart(session);
    ResponseWriteEnd(session);
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

// The listening socket, or null with the reason; `address` empty means every IPv4 interface.
TChanSwitch* listenOn(const std::string& address, unsigned port, std::string& failure) {
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
            return nullptr;
        }
        where = reinterpret_cast<const sockaddr*>(&v6);
        size = sizeof v6;
    }
    TChanSwitch* chanSwitch = nullptr;
    const char* error = nullptr;
    ChanSwitchUnixCreate2(where->sa_family, where, size, &chanSwitch, &error);
    if (error) failure = takeError(error);
    return error ? nullptr : chanSwitch;
}

}  // namespace

AbyssServer::AbyssServer(RS232CCom* com) : AbyssServer(com, Options()) {}

AbyssServer::AbyssServer(RS232CCom* com, Options options)
    : com(com), options(std::move(options)), originPolicy(this->options.allowedOrigins) {
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
    method->recordCallsAs(name, options.trace);
    // The registry holds the only reference from here on.
    serviceRegistry.addMethod(name, xmlrpc_c::methodPtr(method));
}

std::string AbyssServer::respond(const std::string& callXml, const xmlrpc_c::callInfo* info) const {
    using requestguard::Verdict;
    try {
        Verdict verdict = requestguard::inspect(callXml.data(), callXml.size());
        if (verdict != Verdict::Pass) recordRefusal(info, requestguard::reason(verdict));
        switch (verdict) {
            case Verdict::Pass:
                break;
            case Verdict::DocumentType:
                return faultResponse(xmlrpc_c::fault::CODE_PARSE, requestguard::reason(verdict));
            case Verdict::Int64:
                return faultResponse(xmlrpc_c::fault::CODE_TYPE, requestguard::reason(verdict));
            case Verdict::TooDeep:
                return faultResponse(xmlrpc_c::fault::CODE_LIMIT_EXCEEDED,
                                     requestguard::reason(verdict));
        }
        std::string response;
        serviceRegistry.processCall(callXml, info, &response);
        return response;
    } catch (const std::exception& error) {
        return faultResponse(xmlrpc_c::fault::CODE_INTERNAL, error.what());
    }
}

void AbyssServer::recordRefusal(const xmlrpc_c::callInfo* info, const std::string& why) const {
    if (options.trace)
        options.trace->event("refused-call").text("client", clientOf(info)).text("reason", why);
}

OriginPolicy::Decision AbyssServer::admitOrigin(const char* origin) const {
    OriginPolicy::Decision decision = originPolicy.decide(origin);
    if (decision != OriginPolicy::Refused) return decision;
    // One line per origin, not per request; a flood of made-up origins is named only so far.
    constexpr std::size_t kOriginsNamed = 100;
    std::string line;
    {
        std::lock_guard<std::mutex> lock(refusedLock);
        if (refusedOrigins.size() > kOriginsNamed || !refusedOrigins.insert(origin).second) {
            return decision;
        }
        line = refusedOrigins.size() > kOriginsNamed
                   ? "RS232C Daemon refused calls from more web origins; they are not named"
                   : "RS232C Daemon refused calls from web origin " + printable(origin) +
                         " (rs232c-daemon --allow-origin lets a trusted one in)";
    }
    diagnostic(line);
    return decision;
}

std::string AbyssServer::serve() {
    const char* error = nullptr;
    AbyssInit(&error);
    if (error) return takeError(error);
    OnExit abyssTerm{[] { AbyssTerm(); }};

    std::string failure;
    TChanSwitch* chanSwitch = listenOn(options.listenAddress, options.port, failure);
    if (!chanSwitch) return failure;
    OnExit destroySwitch{[chanSwitch] { ChanSwitchDestroy(chanSwitch); }};
    TServer server;
    ServerCreateSwitch(&server, chanSwitch, &error);
    if (error) return takeError(error);
    OnExit freeServer{[&server] { ServerFree(&server); }};

    ServerSetMaxConn(&server, connectionsThatFit());
    ServerSetMaxConnBacklog(&server, kConnBacklog);
    ServerSetTimeout(&server, kReadTimeout);
    ServerSetKeepaliveTimeout(&server, kKeepaliveTimeout);
    ServerSetKeepaliveMaxConn(&server, kCallsPerConnection);
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
    // Abyss asks the handler added last first, so preflights are answered before xmlrpc-c's.
    ServerReqHandler3 preflight{nullptr, answerPreflight, this, 0};
    abyss_bool added = false;
    ServerAddHandler3(&server, &preflight, &added);
    if (!added) return "cannot add the handler of CORS preflights";

    ServerInit2(&server, &error);
    if (error) return takeError(error);
    {
        std::lock_guard<std::mutex> guard(runningLock);
        if (stopRequested) return "";
        running = &server;
    }
    ServerRun(&server);
    std::lock_guard<std::mutex> guard(runningLock);
    running = nullptr;
    // Unless stop() asked for it, the library has given up (its reason is on standard output),
    // and a supervisor must see a failure.
    return stopRequested ? "" : "the server's run loop ended";
}

void AbyssServer::stop() {
    std::lock_guard<std::mutex> guard(runningLock);
    stopRequested = true;
    if (running) ServerTerminate(running);
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
                   std::to_string(ptr->options.port) + ": " + failure);
    }
    return nullptr;
}
