// The whole request path after HTTP, in one process: the request guard, then xmlrpc-c's parser
// and registry with the daemon's 23 methods, against a link object whose device does not exist
// (so no serial I/O happens). A crash inside the library is a crash of the daemon; whatever comes
// in, what goes out must be a response the client's library can read.
#include <cstdint>
#include <string>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/xml.hpp>

#include "FuzzCheck.h"
#include "RS232CCom.h"
#include "service/AbyssServer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static RS232CCom com("/nonexistent/rs232c-fuzz/ttyUSB0");
    static AbyssServer server(&com);
    std::string response =
        server.respond(std::string(reinterpret_cast<const char*>(data), size), nullptr);
    xmlrpc_c::rpcOutcome outcome;
    try {
        xmlrpc_c::xml::parseResponse(response, &outcome);
    } catch (...) {
        check(false);
    }
    return 0;
}
