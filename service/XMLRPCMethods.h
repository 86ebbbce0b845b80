// The XML-RPC methods, one class each, in registration order. Each holds the link object it
// adapts (not owned) and cannot exist without one.
#ifndef SERVICE_XMLRPCMETHODS_H
#define SERVICE_XMLRPCMETHODS_H

#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

class RS232CCom;

// Every class has the same shape: a constructor that takes the link object and sets the
// signature, and an execute that checks the parameters and calls one link operation.
#define RS232C_XMLRPC_METHOD(Name, signature)                                                  \
    class Name : public xmlrpc_c::method {                                                     \
      public:                                                                                  \
        explicit Name(RS232CCom* com) : com(com) { _signature = signature; }                   \
        void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override; \
                                                                                               \
      private:                                                                                 \
        Name();                                                                                \
        RS232CCom* com;                                                                        \
    }

RS232C_XMLRPC_METHOD(GetTitle, "s:");
RS232C_XMLRPC_METHOD(SetTitle, "s:s");
RS232C_XMLRPC_METHOD(GetMessage, "s:s");
RS232C_XMLRPC_METHOD(SendCmd, "s:s");
RS232C_XMLRPC_METHOD(SendCmdCOM, "i:s");
RS232C_XMLRPC_METHOD(SendCmdCOS, "s:");
RS232C_XMLRPC_METHOD(SendCmdCST, "i:s");
RS232C_XMLRPC_METHOD(SendCmdCHS, "s:s");
RS232C_XMLRPC_METHOD(SendCmdFWD, "i:");
RS232C_XMLRPC_METHOD(SendCmdRVS, "i:");
RS232C_XMLRPC_METHOD(SendCmdSTP, "i:");
RS232C_XMLRPC_METHOD(SendCmdCH, "i:s");
RS232C_XMLRPC_METHOD(SendCmdRST, "i:");
RS232C_XMLRPC_METHOD(SendCmdWIN, "i:");
RS232C_XMLRPC_METHOD(SendCmdWOT, "i:");
RS232C_XMLRPC_METHOD(SendCmdWOTWithWNG, "i:");
RS232C_XMLRPC_METHOD(SendCmdWRT, "i:");
RS232C_XMLRPC_METHOD(RecvCmdInf, "i:");
RS232C_XMLRPC_METHOD(SerialClose, "i:");
RS232C_XMLRPC_METHOD(GetLastRecvDataBinStr, "s:");
RS232C_XMLRPC_METHOD(GetLastRecvDataStr, "s:");
RS232C_XMLRPC_METHOD(SendCmdVER, "s:");
RS232C_XMLRPC_METHOD(SendCmdVERScript, "i:");

#undef RS232C_XMLRPC_METHOD

#endif
