#include "service/XmlSafe.h"

namespace {

void appendUtf8(std::string& out, unsigned codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

bool xmlAllowsControl(unsigned char byte) {
    return byte == 0x09 || byte == 0x0A || byte == 0x0D;
}

// The valid UTF-8 sequence of a BMP character XML allows that starts at `at`: its length, and
// its code point in `codePoint`; 0 when there is none.
std::size_t bmpCharLength(const std::string& bytes, std::size_t at, unsigned& codePoint) {
    auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length;
    unsigned minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else {
        return 0;  // not a lead byte, or one of a character beyond U+FFFF
    }
    if (bytes.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        auto next = static_cast<unsigned char>(bytes[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    bool notXml = codePoint == 0xFFFE || codePoint == 0xFFFF;
    if (codePoint < minimum || surrogate || notXml) return 0;
    return length;
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
            appendUtf8(out, 0x2400 + byte);
        } else {
            appendUtf8(out, byte);
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
