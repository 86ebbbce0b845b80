// Checks each XML-RPC request body before xmlrpc-c's parser sees it, and refuses the documents
// that harm the library rather than the call: a document type declaration (its entities expand
// in memory), a 64-bit integer (xmlrpc-c 1.33 crashes while it words its fault for a bad one,
// and no method takes one) and nesting deep enough to overflow a thread's stack while the
// library frees its element tree. Pure functions: bytes in, verdict out.
#ifndef SERVICE_REQUESTGUARD_H
#define SERVICE_REQUESTGUARD_H

#include <cstddef>

namespace requestguard {

// Deeper than any call of our methods (system.multicall of a string call is 14 elements deep),
// far below the depth at which the library's recursion overflows a stack.
constexpr int kMaxDepth = 64;

enum class Verdict { Pass, DocumentType, Int64, TooDeep };

// Reads exactly `length` bytes in whichever encoding the library's parser would read them
// (UTF-8, Latin-1, UTF-16 of either byte order, with or without a byte order mark). Markup
// inside comments, CDATA sections, processing instructions and attribute values is text.
Verdict inspect(const char* body, std::size_t length);

// What the client is told, in words.
const char* reason(Verdict verdict);

}  // namespace requestguard

#endif
