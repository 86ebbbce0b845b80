#include "service/AbyssServer.h"

#include <unistd.h>

#include <exception>
#include <string>
#include <xmlrpc-c/server_abyss.hpp>

#include "service/XMLRPCMethods.h"

AbyssServer::AbyssServer(RS232CCom* com) : com(com) {
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
    // The registry holds the only reference from here on.
    serviceRegistry.addMethod(name, xmlrpc_c::methodPtr(new Method(com)));
}

void* AbyssServer::runFailed() {
    static char marker;
    return &marker;
}

namespace {

// One clear line that names the port and the library's reason.
void* reportFailure(const std::string& reason) {
    std::string line = "RS232C Daemon cannot serve XML-RPC on TCP port " +
                       std::to_string(AbyssServer::kPort) + ": " + reason + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    return AbyssServer::runFailed();
}

}  // namespace

void* AbyssServer::run(void* aserver) {
    auto* ptr = static_cast<AbyssServer*>(aserver);
    try {
        // The daemon keeps its own signal dispositions: left to the library, one Ctrl-C would
        // end the run loop. The library's 15 connections let a few idle TCP connections lock
        // every client out for the 15 s they may wait; room for many more, each waiting at most
        // kReadTimeout seconds for its next bytes, keeps callers served while a slow but
        // honest client still gets its request through. A busy client may make many calls on
        // one connection (the library closes it after 30), and the response leaves out the
        // Server header: the library writes every header line with a send() of its own.
        xmlrpc_c::serverAbyss server(xmlrpc_c::serverAbyss::constrOpt()
                                         .portNumber(kPort)
                                         .registryP(&ptr->serviceRegistry)
                                         .serverOwnsSignals(false)
                                         .maxConn(kMaxConnections)
                                         .timeout(kReadTimeout)
                                         .keepaliveMaxConn(kCallsPerConnection)
                                         .dontAdvertise(true));
        server.run();
    } catch (const std::exception& error) {
        return reportFailure(error.what());
    } catch (...) {
        return reportFailure("unknown error");
    }
    return nullptr;
}
