// UTF-8 as RFC 3629 defines it, for the byte rules that read or write it.
#ifndef SERVICE_UTF8_H
#define SERVICE_UTF8_H

#include <cstddef>
#include <string>
#include <string_view>

namespace utf8 {

// Appends a Unicode scalar value (up to U+10FFFF, no surrogate) in one to four bytes.
void append(std::string& out, unsigned codePoint);

// The valid sequence that starts at `at`: its length (1 to 4) and its code point. 0 when
// there is none there: a stray continuation byte, an overlong form, a surrogate, a value
// beyond U+10FFFF or a sequence cut short.
std::size_t sequence(std::string_view bytes, std::size_t at, unsigned& codePoint);

}  // namespace utf8

#endif
