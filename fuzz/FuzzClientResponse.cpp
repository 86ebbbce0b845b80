// The client's reader of XML-RPC responses: whatever a server sends, it answers with a kind
// and never crashes; a result it reads is written back out as the same result.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "tools/client/Response.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Response response = parseResponse(std::string(reinterpret_cast<const char*>(data), size));
    check(response.kind == Response::Int || response.kind == Response::String ||
          response.kind == Response::Fault || response.kind == Response::Unreadable);
    if (response.kind == Response::String) {
        std::string escaped;
        for (char c : response.text) {
            if (c == '<') {
                escaped += "&lt;";
            } else if (c == '>') {
                escaped += "&gt;";  // "]]>" may not stand in text
            } else if (c == '&') {
                escaped += "&amp;";
            } else if (c == '\r') {
                escaped += "&#13;";  // a literal CR would read as LF
            } else {
                escaped += c;
            }
        }
        Response reread = parseResponse("<methodResponse><params><param><value><string>" + escaped +
                                        "</string></value></param></params></methodResponse>");
        check(reread.kind == Response::String && reread.text == response.text);
    }
    return 0;
}
