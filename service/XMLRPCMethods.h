// The XML-RPC methods, one class each, in registration order. Each adapts one operation of the
// link object it holds (not owned) and cannot exist without one.
#ifndef SERVICE_XMLRPCMETHODS_H
#define SERVICE_XMLRPCMETHODS_H

#include <xmlrpc-c/abyss.h>

#include <set>
#include <string>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

class Metrics;
class RS232CCom;
class TraceLog;

// What the server knows of a connection's client. The server hands it to the HTTP library as
// the connection's channel information, so every call on the connection carries it.
struct ClientInfo {
    abyss_unix_chaninfo channel;         // first: the library reads the address from it
    const std::string* certificateName;  // the common name of its certificate; null: none
};

// The client of a call, "address:port", as the Abyss server saw it; "" when unknown.
std::string clientOf(const xmlrpc_c::callInfo* info);
std::string clientOf(const abyss_unix_chaninfo& peer);
// The common name of the certificate the call's client presented; null when it presented none.
const std::string* certificateOf(const xmlrpc_c::callInfo* info);

// Who may call a method once clients present certificates and some are named operators. An
// observer may watch the tool and stop it; only an operator may call what can move the tool or
// change what the controller holds.
enum class Role { Observer, Operator };

// The bytes of answer one request may have its methods build, for as long as it lives on the
// thread that serves the request. Once they are spent, the request's later calls (the rest of a
// multicall of many titles) get fault -509 and do not run: no request can make the daemon
// build an answer of hundreds of megabytes. One result alone is bounded by what the daemon
// keeps (a title, the received bytes). A result code costs a few bytes and always runs: one of
// them is the stop, which is never dropped.
class AnswerBudget {
  public:
    static constexpr std::size_t kBytes = 4 << 20;
    AnswerBudget();
    ~AnswerBudget();
    AnswerBudget(const AnswerBudget&) = delete;
    AnswerBudget& operator=(const AnswerBudget&) = delete;

  private:
    friend class LinkMethod;
    std::size_t spent = 0;
    AnswerBudget* const previous;
};

// The shape every method shares: the link object, a signature, the role it needs, and an
// execute that checks the parameters, calls one link operation and stores its result. The
// library calls the execute that gets the call's information; it refuses a caller whose role
// is short of the method's, runs the method's own, counts the call's outcome and duration, and
// records the call (with the client and its certificate's name) when the daemon keeps a trace.
class LinkMethod : public xmlrpc_c::method2 {
  public:
    void execute(xmlrpc_c::paramList const& paramList, const xmlrpc_c::callInfo* callInfoP,
                 xmlrpc_c::value* retvalP) final;
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override = 0;

    // Set at registration: the method's name, where its calls are counted, where they are
    // recorded (null: nowhere), and the names of the operators (null: every client is one).
    void recordCallsAs(const char* name, Metrics& metrics, TraceLog* trace,
                       const std::set<std::string>* operators = nullptr);

  protected:
    LinkMethod(RS232CCom* com, const char* signature, Role needed);
    RS232CCom* const com;

  private:
    const Role needed;
    const bool resultCode;  // answers one int: never refused for the answer budget
    const char* name = "";
    Metrics* metrics = nullptr;
    TraceLog* trace = nullptr;
    const std::set<std::string>* operators = nullptr;
};

class GetTitle : public LinkMethod {
  public:
    explicit GetTitle(RS232CCom* com) : LinkMethod(com, "s:", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

// Sends nothing to the controller, yet an operator's: the title is the label by which people and
// UIs tell stations apart, and an observer must not be able to make an operator act on the wrong
// one.
class SetTitle : public LinkMethod {
  public:
    explicit SetTitle(RS232CCom* com) : LinkMethod(com, "s:s", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class GetMessage : public LinkMethod {
  public:
    explicit GetMessage(RS232CCom* com) : LinkMethod(com, "s:s", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmd : public LinkMethod {
  public:
    explicit SendCmd(RS232CCom* com) : LinkMethod(com, "s:s", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdCOM : public LinkMethod {
  public:
    explicit SendCmdCOM(RS232CCom* com) : LinkMethod(com, "i:s", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdCOS : public LinkMethod {
  public:
    explicit SendCmdCOS(RS232CCom* com) : LinkMethod(com, "s:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdCST : public LinkMethod {
  public:
    explicit SendCmdCST(RS232CCom* com) : LinkMethod(com, "i:s", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdCHS : public LinkMethod {
  public:
    explicit SendCmdCHS(RS232CCom* com) : LinkMethod(com, "s:s", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdFWD : public LinkMethod {
  public:
    explicit SendCmdFWD(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdRVS : public LinkMethod {
  public:
    explicit SendCmdRVS(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdSTP : public LinkMethod {
  public:
    explicit SendCmdSTP(RS232CCom* com) : LinkMethod(com, "i:", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdCH : public LinkMethod {
  public:
    explicit SendCmdCH(RS232CCom* com) : LinkMethod(com, "i:s", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdRST : public LinkMethod {
  public:
    explicit SendCmdRST(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdWIN : public LinkMethod {
  public:
    explicit SendCmdWIN(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdWOT : public LinkMethod {
  public:
    explicit SendCmdWOT(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdWOTWithWNG : public LinkMethod {
  public:
    explicit SendCmdWOTWithWNG(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdWRT : public LinkMethod {
  public:
    explicit SendCmdWRT(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class RecvCmdInf : public LinkMethod {
  public:
    explicit RecvCmdInf(RS232CCom* com) : LinkMethod(com, "i:", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

// Sends no command, yet an operator's: it ends the held session the motion commands run on (the
// next call opens the port afresh and flushes the status lines waiting in it), so an observer
// could make an operator's UI miss what the tool reported.
class SerialClose : public LinkMethod {
  public:
    explicit SerialClose(RS232CCom* com) : LinkMethod(com, "i:", Role::Operator) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class GetLastRecvDataBinStr : public LinkMethod {
  public:
    explicit GetLastRecvDataBinStr(RS232CCom* com) : LinkMethod(com, "s:", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class GetLastRecvDataStr : public LinkMethod {
  public:
    explicit GetLastRecvDataStr(RS232CCom* com) : LinkMethod(com, "s:", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdVER : public LinkMethod {
  public:
    explicit SendCmdVER(RS232CCom* com) : LinkMethod(com, "s:", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

class SendCmdVERScript : public LinkMethod {
  public:
    explicit SendCmdVERScript(RS232CCom* com) : LinkMethod(com, "i:", Role::Observer) {}
    void execute(xmlrpc_c::paramList const& paramList, xmlrpc_c::value* retvalP) override;
};

#endif
