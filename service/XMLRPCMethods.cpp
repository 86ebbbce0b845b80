#include "service/XMLRPCMethods.h"

#include "RS232CCom.h"
#include "service/XmlSafe.h"

using xmlrpc_c::paramList;
using xmlrpc_c::value;

namespace {

// Parameter errors are the library's faults, raised before the link object is touched.
void noParameter(paramList const& params) {
    params.verifyEnd(0);
}

std::string stringParameter(paramList const& params) {
    std::string text = params.getString(0);
    params.verifyEnd(1);
    return text;
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

void GetTitle::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = textResult(com->getTitle());
}

void SetTitle::execute(paramList const& paramList, value* retvalP) {
    std::string title = stringParameter(paramList);
    com->setTitle(title);
    *retvalP = textResult(title);
}

void GetMessage::execute(paramList const& paramList, value* retvalP) {
    *retvalP = textResult(com->getMessage(stringParameter(paramList)));
}

void SendCmd::execute(paramList const& paramList, value* retvalP) {
    stringParameter(paramList);
    // XML turns every CR LF of the client's text into LF; the controller's lines end in CR LF.
    std::string cmd = xmlrpc_c::value_string(paramList[0]).crlfValue();
    *retvalP = stringResult(com->sendCmd(cmd));
}

void SendCmdCOM::execute(paramList const& paramList, value* retvalP) {
    *retvalP = intResult(com->sendCmdCOM(stringParameter(paramList)));
}

void SendCmdCOS::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = stringResult(com->sendCmdCOS());
}

void SendCmdCST::execute(paramList const& paramList, value* retvalP) {
    *retvalP = intResult(com->sendCmdCST(stringParameter(paramList)));
}

void SendCmdCHS::execute(paramList const& paramList, value* retvalP) {
    *retvalP = stringResult(com->sendCmdCHS(stringParameter(paramList)));
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
    *retvalP = intResult(com->sendCmdCH(stringParameter(paramList)));
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
    *retvalP = stringResult(com->sendCmdVER(0, 1));
}

void SendCmdVERScript::execute(paramList const& paramList, value* retvalP) {
    noParameter(paramList);
    *retvalP = intResult(com->sendCmdVERScript());
}
