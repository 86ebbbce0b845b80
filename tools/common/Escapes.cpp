#include "Escapes.h"

#include <cstdio>

namespace escapes {

namespace {

// The length of the UTF-8 character at `at` that a terminal shows as text; 0 when the bytes
// there are no such character.
std::size_t shownCharacter(const std::string& s, std::size_t at) {
    auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char lead = byte(at);
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if (lead < 0xC2 || lead > 0xF4 || at + length > s.size()) return 0;
    unsigned cp = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(at + k) & 0xC0) != 0x80) return 0;
        cp = cp << 6 | (byte(at + k) & 0x3F);
    }
    bool overlong = (length == 3 && cp < 0x800) || (length == 4 && cp < 0x10000);
    bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
    bool c1 = cp < 0xA0;
    bool bidi = cp == 0x061C || cp == 0x200E || cp == 0x200F || (cp >= 0x202A && cp <= 0x202E) ||
                (cp >= 0x2066 && cp <= 0x2069);
    bool lineBreak = cp == 0x2028 || cp == 0x2029;
    if (overlong || surrogate || c1 || bidi || lineBreak || cp > 0x10FFFF) return 0;
    return length;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string escape(const std::string& bytes, Shown shown) {
    std::string out;
    for (std::size_t at = 0; at < bytes.size(); ++at) {
        auto c = static_cast<unsigned char>(bytes[at]);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else if (std::size_t length =
                       shown == Shown::Text && c >= 0x80 ? shownCharacter(bytes, at) : 0) {
            out.append(bytes, at, length);
            at += length - 1;
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

bool unescape(const std::string& text, std::string& bytes) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes += text[i];
            continue;
        }
        if (++i == text.size()) return false;
        switch (text[i]) {
            case 'r':
                bytes += '\r';
                break;
            case 'n':
                bytes += '\n';
                break;
            case 't':
                bytes += '\t';
                break;
            case '0':
                bytes += '\0';
                break;
            case '\\':
            case '"':
                bytes += text[i];
                break;
            case 'x': {
                int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
                int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
                if (high < 0 || low < 0) return false;
                bytes += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

}  // namespace escapes
