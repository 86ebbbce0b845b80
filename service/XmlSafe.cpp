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

// Length of the valid UTF-8 sequence of an XML character starting at `at`, or 0.
std::size_t xmlCharLength(const std::string& bytes, std::size_t at) {
    auto lead = static_cast<unsigned char>(bytes[at]);
    std::size_t length;
    unsigned codePoint;
    unsigned minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, codePoint = lead & 0x1F, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, codePoint = lead & 0x0F, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, codePoint = lead & 0x07, minimum = 0x10000;
    } else {
        return 0;
    }
    if (bytes.size() - at < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        auto next = static_cast<unsigned char>(bytes[at + i]);
        if ((next & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (next & 0x3F);
    }
    bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    bool notXml = codePoint == 0xFFFE || codePoint == 0xFFFF;
    if (codePoint < minimum || codePoint > 0x10FFFF || surrogate || notXml) return 0;
    return length;
}

}  // namespace

std::string xmlSafe(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t at = 0; at < bytes.size();) {
        auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x20 && !xmlAllowsControl(byte)) {
            appendUtf8(out, 0x2400 + byte);
            ++at;
        } else if (byte < 0x80) {
            out.push_back(static_cast<char>(byte));
            ++at;
        } else if (std::size_t length = xmlCharLength(bytes, at)) {
            out.append(bytes, at, length);
            at += length;
        } else {
            appendUtf8(out, byte);
            ++at;
        }
    }
    return out;
}
