#include "service/XmlSafe.h"

#include "service/Utf8.h"

namespace {

bool xmlAllowsControl(unsigned char byte) {
    return byte == 0x09 || byte == 0x0A || byte == 0x0D;
}

// The valid UTF-8 sequence of a BMP character XML allows that starts at `at`: its length, and
// its code point in `codePoint`; 0 when there is none.
std::size_t bmpCharLength(const std::string& bytes, std::size_t at, unsigned& codePoint) {
    std::size_t length = utf8::sequence(bytes, at, codePoint);
    bool notXml = codePoint == 0xFFFE || codePoint == 0xFFFF;
    // A single byte is no sequence here, and xmlrpc-c carries nothing beyond U+FFFF.
    return length >= 2 && length <= 3 && !notXml ? length : 0;
}

// `keep` says which valid characters stay as they are; every other byte is carried alone.
template <typename Keep>
std::string carry(const std::string& bytes, Keep keep) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        auto byte = static_cast<unsigned char>(bytes[at]);
        unsigned codePoint = 0;
        std::size_t length = byte < 0x80 ? 0 : bmpCharLength(bytes, at, codePoint);
        if (length && keep(codePoint)) {
            out.append(bytes, at, length);
            at += length;
            continue;
        }
        if (byte < 0x20 && !xmlAllowsControl(byte)) {
            utf8::append(out, 0x2400 + byte);
        } else {
            utf8::append(out, byte);
        }
        ++at;
    }
    return out;
}

}  // namespace

std::string xmlSafeBytes(const std::string& bytes) {
    return carry(bytes, [](unsigned codePoint) {
        return codePoint >= 0x100 && !(codePoint >= 0x2400 && codePoint <= 0x241F);
    });
}

std::string xmlSafeText(const std::string& text) {
    return carry(text, [](unsigned) { return true; });
}
