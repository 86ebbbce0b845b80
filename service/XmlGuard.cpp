// Refuses XML-RPC calls that carry a document type declaration, before xmlrpc-c's parser reads
// them. XML-RPC has no use for one, and a DOCTYPE that nests entities makes the parser expand
// them in memory: a 1 KB request can cost gigabytes. xmlrpc-c 1.33 offers no hook between the
// HTTP body and its parser for a server built with xmlrpc_c::serverAbyss, so the daemon
// interposes the parser entry that libxmlrpc calls and hands every other document on unchanged.
#include <dlfcn.h>

#include <cstddef>

namespace {

using ParseFunction = int (*)(void* parser, const char* text, int length, int isFinal);

// Looks for "<!DOCTYPE" in every encoding the parser reads (UTF-8, Latin-1, UTF-16 of either
// byte order): the ASCII bytes of markup stand in all of them, UTF-16 only adds zero bytes.
bool declaresDocumentType(const char* text, int length) {
    static const char kDoctype[] = "<!DOCTYPE";
    std::size_t matched = 0;
    for (int i = 0; i < length; ++i) {
        char c = text[i];
        if (c == '\0') continue;
        if (c == kDoctype[matched]) {
            if (++matched == sizeof kDoctype - 1) return true;
        } else {
            matched = c == kDoctype[0] ? 1 : 0;
        }
    }
    return false;
}

}  // namespace

extern "C" int xmlrpc_XML_Parse(void* parser, const char* text, int length, int isFinal) {
    static const auto realParse =
        reinterpret_cast<ParseFunction>(dlsym(RTLD_NEXT, "xmlrpc_XML_Parse"));
    if (!realParse) return 0;  // no parser behind us: every call fails as unparsable, loudly
    if (declaresDocumentType(text, length)) {
        // Let the parser fail on an entity it does not know, so that the caller gets the
        // parser's own error state and answers with an ordinary parse fault.
        static const char kRefused[] = "<refused>&doctype;</refused>";
        return realParse(parser, kRefused, sizeof kRefused - 1, 1);
    }
    return realParse(parser, text, length, isFinal);
}
