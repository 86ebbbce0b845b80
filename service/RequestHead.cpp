#include "service/RequestHead.h"

#include <cctype>
#include <cstring>
#include <string_view>

namespace requesthead {
namespace {

// The characters of a header name (an HTTP token).
bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
        char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
        if (x != y) return false;
    }
    return true;
}

// Without the blanks that follow the colon. Blanks after the value are part of it for the
// library's reading of a Host, so they stay.
std::string_view afterBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

// The characters of a host name or address (a URL's, less user information).
bool isHostChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && std::strchr("-._~%!$&'()*+,;=[]:", c) != nullptr;
}

// A Host the library reads without fault: a name or address, then, if a colon follows, a port of
// 1 to 5 digits from 1 to 65535; an IPv6 address in brackets needs its port.
bool hostReadable(std::string_view host) {
    host = afterBlanks(host);
    for (char c : host) {
        if (!isHostChar(c)) return false;
    }
    std::string_view port;
    if (!host.empty() && host.front() == '[') {
        std::size_t close = host.find(']');
        if (close == std::string_view::npos || host.substr(close + 1, 1) != ":") return false;
        port = host.substr(close + 2);
    } else {
        std::size_t colon = host.rfind(':');
        if (colon == std::string_view::npos) return true;
        port = host.substr(colon + 1);
    }
    if (port.empty() || port.size() > 5) return false;
    unsigned value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return value >= 1 && value <= 65535;
}

// METHOD SP /PATH SP HTTP/1.x: the library copies the query before it looks at the version, and
// loses the copy when the version is one it refuses.
bool requestLineReadable(std::string_view line) {
    std::size_t space = line.find(' ');
    if (space == 0 || space == std::string_view::npos) return false;
    for (char c : line.substr(0, space)) {
        if (!isTokenChar(c)) return false;
    }
    std::string_view rest = line.substr(space + 1);
    space = rest.find(' ');
    if (space == std::string_view::npos || rest.front() != '/') return false;
    // Visible ASCII, and nothing the library refuses after it has copied the query (which it
    // then loses): no '*', and '%' only before two hexadecimal digits.
    std::string_view path = rest.substr(0, space);
    for (std::size_t i = 0; i < path.size(); ++i) {
        char c = path[i];
        if (c <= ' ' || c > '~' || c == '*') return false;
        if (c == '%' &&
            (i + 2 >= path.size() || !std::isxdigit(static_cast<unsigned char>(path[i + 1])) ||
             !std::isxdigit(static_cast<unsigned char>(path[i + 2]))))
            return false;
    }
    std::string_view version = rest.substr(space + 1);
    return version == "HTTP/1.1" || version == "HTTP/1.0";
}

Check malformed(const char* reason) {
    return {Verdict::Malformed, reason};
}

}  // namespace

Check check(const char* data, std::size_t length) {
    std::string_view head(data, length < kMaxHead ? length : kMaxHead);
    std::size_t at = 0;
    bool requestLine = true;
    for (;;) {
        std::size_t end = head.find('\n', at);
        // The library reads lines as C strings: a NUL would hide the rest of a line from it.
        if (head.find('\0', at) < end) return malformed("a NUL byte in the head");
        if (end == std::string_view::npos) {
            if (length >= kMaxHead) return {Verdict::TooLarge, "the request's head is too long"};
            return {Verdict::Incomplete, nullptr};
        }
        std::string_view line = head.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        at = end + 1;
        if (requestLine) {
            if (line.empty()) continue;  // empty lines before it are skipped, as the library does
            requestLine = false;
            if (!requestLineReadable(line))
                return malformed("the request line is not METHOD /PATH HTTP/1.0 or HTTP/1.1");
            continue;
        }
        if (line.empty()) return {Verdict::Whole, nullptr};
        if (line.front() == ' ' || line.front() == '\t')
            return malformed("a header line folded onto the line before");
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return malformed("a header line without a colon");
        std::string_view name = line.substr(0, colon);
        if (name.empty()) return malformed("a header line without a name");
        for (char c : name) {
            if (!isTokenChar(c)) return malformed("a header name with a character it may not hold");
        }
        std::string_view value = line.substr(colon + 1);
        if (!value.empty() && value.front() != ' ' && value.front() != '\t')
            return malformed("a header value that does not follow its colon with a space");
        if (equalsNoCase(name, "host") && !hostReadable(value))
            return malformed("a Host header that is not a host and a port from 1 to 65535");
    }
}

}  // namespace requesthead
