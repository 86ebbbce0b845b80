// The head of an HTTP request, before xmlrpc-c's HTTP server sees it. Every head the check calls
// whole is then served by the library itself over a socket pair: it must answer with a real
// status and leak nothing (the leak checker runs after every input), which is what the check is
// there for. And the verdict on a head never changes as more bytes come: the library reads the
// same head however the client sends it.
#include <sys/socket.h>
#include <unistd.h>
#include <xmlrpc-c/abyss.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FuzzCheck.h"
#include "service/RequestHead.h"

namespace {

// As the daemon's first handler does, the query string goes: xmlrpc-c 1.33 never frees it.
void answerAll(void*, TSession* session, abyss_bool* handled) {
    const TRequestInfo* request = nullptr;
    SessionGetRequestInfo(session, &request);
    auto* info = const_cast<TRequestInfo*>(request);
    std::free(const_cast<char*>(info->query));
    info->query = nullptr;
    *handled = true;
    ResponseStatus(session, 200);
    ResponseContentLength(session, 0);
    ResponseWriteStart(session);
    ResponseWriteEnd(session);
}

TServer& server() {
    static TServer* created = [] {
        const char* error = nullptr;
        AbyssInit(&error);
        check(!error);
        static TServer server;
        check(ServerCreateNoAccept(&server, "fuzz", nullptr, nullptr));
        ServerSetTimeout(&server, 2);
        static ServerReqHandler3 handler{nullptr, answerAll, nullptr, 0};
        abyss_bool added = false;
        ServerAddHandler3(&server, &handler, &added);
        check(added);
        return &server;
    }();
    return *created;
}

// The library serves `head` as the daemon hands it on; its answer's status line must be real.
void serveByTheLibrary(const std::string& head) {
    int pair[2];
    check(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair) == 0);
    check(::write(pair[0], head.data(), head.size()) == static_cast<ssize_t>(head.size()));
    ::shutdown(pair[0], SHUT_WR);
    TChannel* channel = nullptr;
    abyss_unix_chaninfo* info = nullptr;
    const char* error = nullptr;
    ChannelUnixCreateFd(pair[1], &channel, &info, &error);
    check(!error);
    ServerRunChannel(&server(), channel, info, &error);
    std::free(const_cast<char*>(error));
    ChannelDestroy(channel);
    std::free(info);
    ::close(pair[1]);
    char answer[64] = {};
    ssize_t got = ::read(pair[0], answer, sizeof answer - 1);
    ::close(pair[0]);
    if (got <= 0) return;  // a request it reads to the end and closes
    int status = 0;
    char after = 0;
    check(std::sscanf(answer, "HTTP/1.1 %3d%c", &status, &after) == 2 && after == ' ');
    check(status >= 100 && status <= 599);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    requesthead::Check whole = requesthead::check(bytes, size);
    // Each prefix that ends a line either awaits more or already has the final verdict.
    for (std::size_t end = 0; end < size && end < requesthead::kMaxHead; ++end) {
        if (bytes[end] != '\n') continue;
        requesthead::Check early = requesthead::check(bytes, end + 1);
        check(early.verdict == requesthead::Verdict::Incomplete || early.verdict == whole.verdict);
    }
    if (whole.verdict == requesthead::Verdict::Whole) {
        serveByTheLibrary(std::string(bytes, size));
    } else if (whole.verdict != requesthead::Verdict::Incomplete) {
        check(whole.reason != nullptr);
    }
    return 0;
}
