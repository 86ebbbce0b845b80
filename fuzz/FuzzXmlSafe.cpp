// The XML-safe string encoding: whatever comes in, what goes out is UTF-8 made only of
// characters XML 1.0 allows, and text that already is such comes out unchanged.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "service/XmlSafe.h"

namespace {

// An independent strict decoder: true when `text` is UTF-8 of XML 1.0 characters only.
bool isXmlUtf8(const std::string& text) {
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
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07, n = 4;
        } else {
            return false;
        }
        if (i + n > text.size()) return false;
        for (std::size_t k = 1; k < n; ++k) {
            auto c = static_cast<unsigned char>(text[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3F);
        }
        static const unsigned minimum[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < minimum[n]) return false;
        bool allowed = cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
                       (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
        if (!allowed) return false;
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    std::string safe = xmlSafe(bytes);
    check(isXmlUtf8(safe));
    check(xmlSafe(safe) == safe);
    if (isXmlUtf8(bytes)) check(safe == bytes);
    check(safe.size() >= bytes.size() && safe.size() <= bytes.size() * 3);
    return 0;
}
