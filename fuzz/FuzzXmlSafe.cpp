// The XML-safe string encodings: whatever comes in, what goes out is UTF-8 made only of
// characters XML 1.0 allows within U+FFFF; the README's decoder recovers the controller's bytes
// exactly; text that already is such comes out unchanged.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "service/XmlSafe.h"

namespace {

// An independent strict decoder into code points; false unless `text` is UTF-8 of XML 1.0
// characters no higher than U+FFFF.
bool decodeXmlBmp(const std::string& text, std::u32string& codePoints) {
    for (std::size_t i = 0; i < text.size();) {
        auto b = static_cast<unsigned char>(text[i]);
        unsigned cp;
        std::size_t n;
        if (b < 0x80) {
            cp = b, n = 1;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F, n = 2;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F, n = 3;
        } else {
            return false;
        }
        if (i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const unsigned minimum[] = {0, 0, 0x80, 0x800};
        if (cp < minimum[n]) return false;
        bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                       (cp >= 0xE000 && cp <= 0xFFFD);
        if (!allowed) return false;
        codePoints.push_back(cp);
        i += n;
    }
    return true;
}

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// The README's decoder.
std::string toBytes(const std::u32string& codePoints) {
    std::string bytes;
    for (char32_t cp : codePoints) {
        if (cp >= 0x2400 && cp <= 0x241F) {
            bytes.push_back(static_cast<char>(cp - 0x2400));
        } else if (cp < 0x100) {
            bytes.push_back(static_cast<char>(cp));
        } else {
            appendUtf8(bytes, cp);
        }
    }
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);

    std::u32string carried;
    std::string safe = xmlSafeBytes(bytes);
    check(decodeXmlBmp(safe, carried));
    check(toBytes(carried) == bytes);
    check(safe.size() >= bytes.size() && safe.size() <= bytes.size() * 3);

    std::u32string text, input;
    std::string safeText = xmlSafeText(bytes);
    check(decodeXmlBmp(safeText, text));
    check(xmlSafeText(safeText) == safeText);
    if (decodeXmlBmp(bytes, input)) check(safeText == bytes);
    return 0;
}
