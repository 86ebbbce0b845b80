// Reads an XML-RPC response as the daemon sends it, byte for byte. xmlrpc-c's own parser turns
// every CR into LF (even one sent as &#13;), which would misreport the controller's bytes.
#ifndef TOOLS_CLIENT_RESPONSE_H
#define TOOLS_CLIENT_RESPONSE_H

#include <string>

struct Response {
    enum Kind { Int, String, Fault, Unreadable } kind = Unreadable;
    long number = 0;   // Int, and a Fault's code
    std::string text;  // String (UTF-8, as sent), a Fault's description, or why Unreadable
};

Response parseResponse(const std::string& xml);

#endif
