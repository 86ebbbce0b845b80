#include "service/XMLRPCMethods.h"

#include <netdb.h>
#include <sys/socket.h>
#include <xmlrpc-c/abyss.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <vector>
#include <xmlrpc-c/server_abyss.hpp>

#include "RS232CCom.h"
#include "link/Timing.h"
#include "service/Metrics.h"
#include "service/XmlSafe.h"
#include "trace/TraceLog.h"

using xmlrpc_c::paramList;
using xmlrpc_c::value;

namespace {

// What a result means, in the words of the record.
std::string meaningOf(const std::string& method, const value& result) {
    if (result.type() == value::TYPE_INT) {
        int code = xmlrpc_c::value_int(result);
        if (method == "serial_close") return "released";
        if (method == "recv_cmd_inf") {
            static const char* const status[] = {"no status line", "status OK", "status WNG or FNG",
                                                 "status CUP",     "",          "status FSP",
                                                 "status FSC"};
            if (code >= 0 && code <= 6 && code != 4) return status[code];
        }
        switch (code) {
            case protocol::Acknowledged:
                return "acknowledged";
            case protocol::Refused:
                return "refused";
            case protocol::OpenFailed:
                return "no adapter";
            case protocol::TimedOut:
                return "no reply";
            case protocol::LineFailed:
                return "line failed";
        }
        return "unknown";
    }
    std::string text = xmlrpc_c::value_string(result);
    if (text == "open_error") return "no adapter";
    if (text == "recv_timeout") return "no reply";
    if (text == "recv_error") return "line failed";
    if (text == "CER\r\n") return "refused";
    return "answered";
}

// The meaning as a metric's label: "no adapter" is "no_adapter", "status OK" "status_ok".
std::string outcomeOf(const std::string& meaning) {
    std::string outcome;
    for (char c : meaning) outcome += c == ' ' ? '_' : static_cast<char>(std::tolower(c));
    return outcome;
}

// What a method's own outcomes can be.
std::vector<std::string> resultsOf(const std::string& method, const std::string& signature) {
    if (method == "serial_close") return {"released", "fault"};
    if (method == "recv_cmd_inf") {
        return {"no_status_line", "status_ok",  "status_wng_or_fng", "status_cup", "status_fsp",
                "status_fsc",     "no_adapter", "line_failed",       "fault"};
    }
    if (signature[0] == 'i') {
        return {"acknowledged", "refused", "no_adapter", "no_reply", "line_failed", "fault"};
    }
    static const char* const lineStrings[] = {"send_cmd", "send_cmd_cos", "send_cmd_chs",
                                              "send_cmd_ver"};
    for (const char* name : lineStrings) {
        if (method == name)
            return {"answered", "refused", "no_adapter", "no_reply", "line_failed", "fault"};
    }
    return {"answered", "fault"};
}

// Every outcome a method can have, so that its series exist before the first call: its own, and
// for a method that waits for the line, each reason it may not get it.
std::vector<std::string> outcomesOf(const std::string& method, const std::string& signature) {
    std::vector<std::string> outcomes = resultsOf(method, signature);
    if (method == "get_title" || method == "set_title" || method == "get_message") return outcomes;
    using Refusal = LineQueue::Refusal;
    for (Refusal why : {Refusal::Cancelled, Refusal::Abandoned, Refusal::Busy, Refusal::Stopping}) {
        outcomes.push_back(LineQueue::nameOf(why));
    }
    return outcomes;
}

// The size of a result in the answer's XML, as near as counts: what a string's characters
// become there, and room for the tags.
std::size_t encodedSize(const value& result) {
    constexpr std::size_t kTags = 64;
    if (result.type() != value::TYPE_STRING) return kTags;
    std::size_t size = kTags;
    for (char c : static_cast<std::string>(xmlrpc_c::value_string(result))) {
        size += c == '&' ? 5 : c == '<' || c == '>' ? 4 : c == '\r' ? 6 : 1;
    }
    return size;
}

thread_local AnswerBudget* currentBudget = nullptr;

// A parameter or result as the record shows it: the string itself, or the number.
std::string shown(const value& v) {
    switch (v.type()) {
        case value::TYPE_STRING:
            return xmlrpc_c::value_string(v);
        case value::TYPE_INT:
            return std::to_string(static_cast<int>(xmlrpc_c::value_int(v)));
        default:
            return "(a value of another type)";
    }
}

// Parameter errors are the library's faults, raised before the link object is touched.
void noParameter(paramList const& params) {
    params.verifyEnd(0);
}

std::string stringParameter(paramList const& params) {
    std::string text = params.getString(0);
    params.verifyEnd(1);
    return text;
}

// A text parameter of at most `limit` bytes; a longer one is fault -509 and changes nothing.
std::string boundedParameter(paramList const& params, std::size_t limit, const char* what) {
    std::string text = stringParameter(params);
    if (text.size() > limit) {
        throw xmlrpc_c::fault(std::string(what) + " has " + std::to_string(text.size()) +
                                  " bytes; it may have at most " + std::to_string(limit),
                              xmlrpc_c::fault::CODE_LIMIT_EXCEEDED);
    }
    return text;
}

// What a call sends to the controller.
std::string commandParameter(paramList const& params) {
    return boundedParameter(params, RS232CCom::kCommandLimit, "the text for the controller");
}

value intResult(int result) {
    return xmlrpc_c::value_int(result);
}

// nlCode_lf sends each CR as a character reference, so that CR LF reaches the client intact.
value safeString(const std::string& xmlSafe) {
    return xmlrpc_c::value_string(xmlSafe, xmlrpc_c::value_string::nlCode_lf);
}

// What the controller sent, every byte recoverable by the client.
value stringResult(const std::string& result) {
    return safeString(xmlSafeBytes(result));
}

// What a client sent, as text.
value textResult(const std::string& text) {
    return safeString(xmlSafeText(text));
}

}  // namespace

std::string clientOf(const abyss_unix_chaninfo& peer) {
    char host[NI_MAXHOST] = "", port[NI_MAXSERV] = "";
    if (peer.peerAddr.sa_family == AF_INET) {
        getnameinfo(&peer.peerAddr, sizeof(sockaddr_in), host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV);
        return std::string(host) + ":" + port;
    }
    if (peer.peerAddr.sa_family == AF_INET6) {
        unsigned char portBytes[2];
        std::memcpy(portBytes, peer.peerAddr.sa_data, 2);
        return "[IPv6]:" + std::to_string(portBytes[0] << 8 | portBytes[1]);
    }
    return "";
}

std::string clientOf(const xmlrpc_c::callInfo* info) {
    const auto* abyss = dynamic_cast<const xmlrpc_c::callInfo_abyss*>(info);
    if (!abyss) return "";
    void* channelInfo = nullptr;
    SessionGetChannelInfo(abyss->abyssSessionP, &channelInfo);
    if (!channelInfo) return "";
    return clientOf(static_cast<const ClientInfo*>(channelInfo)->channel);
}

const std::string* certificateOf(const xmlrpc_c::callInfo* info) {
    const auto* abyss = dynamic_cast<const xmlrpc_c::callInfo_abyss*>(info);
    if (!abyss) return nullptr;
    void* channelInfo = nullptr;
    SessionGetChannelInfo(abyss->abyssSessionP, &channelInfo);
    return channelInfo ? static_cast<const ClientInfo*>(channelInfo)->certificateName : nullptr;
}

LinkMethod::LinkMethod(RS232CCom* com, const char* signature, Role needed)
    : com(com), needed(needed), resultCode(signature[0] == 'i') {
    _signature = signature;
}

void LinkMethod::recordCallsAs(const char* methodName, Metrics& counts, TraceLog* traceLog,
                               const std::set<std::string>* operatorNames) {
    name = methodName;
    metrics = &counts;
    trace = traceLog;
    operators = operatorNames;
    metrics->addMethod(name, outcomesOf(name, _signature));
}

AnswerBudget::AnswerBudget() : previous(currentBudget) {
    currentBudget = this;
}

AnswerBudget::~AnswerBudget() {
    currentBudget = previous;
}

void LinkMethod::execute(paramList const& paramList, const xmlrpc_c::callInfo* callInfoP,
                         value* retvalP) {
    auto started = std::chrono::steady_clock::now();
    const std::string* certificate = certificateOf(callInfoP);
    // An observer's call to a method that may move the tool never reaches the link object.
    bool forbidden = needed == Role::Operator && operators &&
                     (!certificate || operators->count(*certificate) == 0);
    // Why it did not get the line, if it did not.
    const char* refusal = forbidden ? "forbidden" : nullptr;
    auto record = [&](const std::string* fault) {
        std::string meaning = fault ? (refusal ? refusal : "") : meaningOf(name, *retvalP);
        double taken =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (metrics && forbidden) {
            metrics->countRefusal("forbidden");  // a refused request, not a call of the method
        } else if (metrics) {
            metrics->countCall(name, fault && !refusal ? "fault" : outcomeOf(meaning), taken);
        }
        if (!trace) return;
        std::vector<std::string> params;
        for (std::size_t i = 0; i < paramList.size(); ++i) params.push_back(shown(paramList[i]));
        auto event = trace->event("call");
        event.text("client", clientOf(callInfoP));
        if (certificate) event.text("cn", *certificate);
        event.text("method", name).texts("params", params);
        if (fault) {
            event.text("fault", *fault);
            if (refusal) event.text("meaning", refusal);
        } else {
            if (retvalP->type() == value::TYPE_INT) {
                event.integer("result", xmlrpc_c::value_int(*retvalP));
            } else {
                event.text("result", shown(*retvalP));
            }
            event.text("meaning", meaning);
        }
        event.number("ms", taken * 1000);
    };
    AnswerBudget* budget = currentBudget;
    try {
        if (forbidden) {
            throw xmlrpc_c::fault("forbidden: " + (certificate ? *certificate : "a client") +
                                      " may watch and stop the tool, not call " + name,
                                  xmlrpc_c::fault::CODE_REQUEST_REFUSED);
        }
        try {
            if (budget && budget->spent >= AnswerBudget::kBytes && !resultCode) {
                throw xmlrpc_c::fault("the answer to this request would be longer than " +
                                          std::to_string(AnswerBudget::kBytes) +
                                          " bytes; this call did not run",
                                      xmlrpc_c::fault::CODE_LIMIT_EXCEEDED);
            }
            execute(paramList, retvalP);
            if (budget) budget->spent += encodedSize(*retvalP);
        } catch (const LineQueue::Refused& refused) {
            refusal = LineQueue::nameOf(refused.why);
            throw xmlrpc_c::fault(refused.what(), xmlrpc_c::fault::CODE_REQUEST_REFUSED);
        }
    } catch (const xmlrpc_c::fault& fault) {
        std::string description = fault.getDescription();
        record(&description);
        throw;
    }
    record(nullptr);
}

void GetTitle::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = textResult(com->getTitle());
}

void SetTitle::execute(paramList const& paramList, value* retvalP) {
    std::string title = boundedParameter(paramList, RS232CCom::kTitleLimit, "the title");
    com->setTitle(title);
    *retvalP = textResult(title);
}

void GetMessage::execute(paramList const& paramList, value* retvalP) {
    *retvalP = textResult(com->getMessage(stringParameter(paramList)));
}

void SendCmd::execute(paramList const& paramList, value* retvalP) {
    commandParameter(paramList);
    // XML turns every CR LF of the client's text into LF; the controller's lines end in CR LF.
    std::string cmd = xmlrpc_c::value_string(paramList[0]).crlfValue();
    *retvalP = stringResult(com->sendCmd(cmd));
}

void SendCmdCOM::execute(paramList const& paramList, value* retvalP) {
    *retvalP = intResult(com->sendCmdCOM(commandParameter(paramList)));
}

void SendCmdCOS::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = stringResult(com->sendCmdCOS());
}

void SendCmdCST::execute(paramList const& paramList, value* retvalP) {
    *retvalP = intResult(com->sendCmdCST(commandParameter(paramList)));
}

void SendCmdCHS::execute(paramList const& paramList, value* retvalP) {
    *retvalP = stringResult(com->sendCmdCHS(commandParameter(paramList)));
}

void SendCmdFWD::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdFWD());
}

void SendCmdRVS::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdRVS());
}

void SendCmdSTP::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdSTP());
}

void SendCmdCH::execute(paramList const& paramList, value* retvalP) {
    *retvalP = intResult(com->sendCmdCH(commandParameter(paramList)));
}

void SendCmdRST::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdRST());
}

void SendCmdWIN::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdWIN());
}

void SendCmdWOT::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdWOT());
}

void SendCmdWOTWithWNG::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdWOTWithWNG());
}

void SendCmdWRT::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdWRT());
}

void RecvCmdInf::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->recvCmdInf());
}

void SerialClose::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->serialClose());
}

void GetLastRecvDataBinStr::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = stringResult(com->getLastRecvDataBinStr());
}

void GetLastRecvDataStr::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = stringResult(com->getLastRecvDataStr());
}

void SendCmdVER::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = stringResult(com->sendCmdVER(0, static_cast<int>(timing::kShortWindow.count())));
}

void SendCmdVERScript::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdVERScript());
}
