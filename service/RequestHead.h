// The head of an HTTP request (the request line and the header lines, up to the blank line),
// checked before the HTTP library reads it. xmlrpc-c 1.33's Abyss leaks the request it has begun
// whenever a head turns out bad (a header line without a colon, a head too long for its buffer,
// a Host whose port is out of range: 40 to 250 bytes each, without bound), and answers some bad
// Host headers with a status taken from uninitialized memory. So only a whole head that it reads
// without fault reaches it; the rest get a clear answer from us. Pure rules.
#ifndef SERVICE_REQUESTHEAD_H
#define SERVICE_REQUESTHEAD_H

#include <cstddef>

namespace requesthead {

// Longer heads are refused: the library's buffer holds 4095 bytes, and no client of ours sends
// more than a few hundred.
constexpr std::size_t kMaxHead = 4000;

enum class Verdict { Incomplete, Whole, Malformed, TooLarge };

struct Check {
    Verdict verdict;
    const char* reason;  // for Malformed and TooLarge: one line for the client
};

// `data` is what has come of the request so far (at most kMaxHead bytes are looked at).
Check check(const char* data, std::size_t length);

}  // namespace requesthead

#endif
