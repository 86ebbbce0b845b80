// Checks each XML-RPC request body before xmlrpc-c's parser sees it, and refuses the documents
// that harm the library rather than the call: a document type declaration (its entities expand
// in memory), a 64-bit integer (xmlrpc-c 1.33 crashes while it words its fault for a bad one,
// and no method takes one) and nesting deep enough to overflow a thread's stack while the
// library frees its element tree.
//
// A check in front of a parser is only worth something if both read the same characters. So
// the guard decides the document's encoding once (byte order mark, first bytes, declaration),
// transcodes it to UTF-8 under a UTF-8 declaration, inspects that text, and the parser is given
// exactly that text, never the bytes as they came. A document whose encoding is in doubt (a
// declaration that contradicts the bytes, an encoding the guard cannot read, bytes the encoding
// cannot hold) is refused. Pure functions: bytes in, verdict and text out.
#ifndef SERVICE_REQUESTGUARD_H
#define SERVICE_REQUESTGUARD_H

#include <cstddef>
#include <string>

namespace requestguard {

// Deeper than any call of our methods (system.multicall of a string call is 14 elements deep),
// far below the depth at which the library's recursion overflows a stack.
constexpr int kMaxDepth = 64;

// Every document that passes begins with this declaration, in place of its own.
inline constexpr char kUtf8Declaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

enum class Verdict { Pass, Encoding, DocumentType, Int64, TooDeep };

struct Inspection {
    Verdict verdict = Verdict::Pass;
    // Pass: the document as the parser must get it, UTF-8 under kUtf8Declaration.
    std::string text;
    // Otherwise: what the client is told, in words.
    std::string reason;
};

// Reads exactly `length` bytes: UTF-8 (with or without a byte order mark), UTF-16 of either
// byte order (with or without one), ISO-8859-1 or US-ASCII as declared. Markup inside
// comments, CDATA sections, processing instructions and attribute values is text.
Inspection inspect(const char* body, std::size_t length);

}  // namespace requestguard

#endif
