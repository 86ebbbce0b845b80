#include "service/RequestGuard.h"

namespace requestguard {

namespace {

// The document as the parser reads it: a sequence of code units, of which only the ASCII ones
// can be markup. UTF-8 and Latin-1 are read byte by byte (no byte of a multi-byte UTF-8
// character is ASCII); UTF-16 unit by unit.
class Units {
  public:
    Units(const unsigned char* bytes, std::size_t length) : bytes(bytes), length(length) {
        if (length < 2) return;
        unsigned char first = bytes[0], second = bytes[1];
        if ((first == 0xFE && second == 0xFF) || (first == 0xFF && second == 0xFE)) {
            wide = true;
            bigEndian = first == 0xFE;
            start = 2;
        } else if ((first == 0) != (second == 0)) {  // "<" or "<?" without a byte order mark
            wide = true;
            bigEndian = first == 0;
        }
    }

    std::size_t size() const { return wide ? (length - start) / 2 : length; }

    unsigned at(std::size_t i) const {
        if (!wide) return bytes[i];
        const unsigned char* unit = bytes + start + 2 * i;
        return bigEndian ? (unit[0] << 8 | unit[1]) : (unit[1] << 8 | unit[0]);
    }

    bool matches(std::size_t at, const char* text) const {
        for (std::size_t k = 0; text[k]; ++k) {
            if (at + k >= size() || this->at(at + k) != static_cast<unsigned char>(text[k])) {
                return false;
            }
        }
        return true;
    }

    // The index just after the next `end` at or after `from`, or the end of the document.
    std::size_t after(std::size_t from, const char* end) const {
        std::size_t endLength = 0;
        while (end[endLength]) ++endLength;
        for (std::size_t i = from; i < size(); ++i) {
            if (matches(i, end)) return i + endLength;
        }
        return size();
    }

  private:
    const unsigned char* bytes;
    std::size_t length;
    std::size_t start = 0;
    bool wide = false;
    bool bigEndian = false;
};

bool isNameEnd(unsigned c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '>' || c == '/';
}

}  // namespace

Verdict inspect(const char* body, std::size_t length) {
    Units doc(reinterpret_cast<const unsigned char*>(body), length);
    int depth = 0;
    std::size_t i = 0;
    while (i < doc.size()) {
        if (doc.at(i) != '<') {
            ++i;
        } else if (doc.matches(i, "<?")) {
            i = doc.after(i + 2, "?>");
        } else if (doc.matches(i, "<!--")) {
            i = doc.after(i + 4, "-->");
        } else if (doc.matches(i, "<![CDATA[")) {
            i = doc.after(i + 9, "]]>");
        } else if (doc.matches(i, "<!")) {
            // Outside comments and CDATA, "<!" only begins a declaration of a document type.
            return Verdict::DocumentType;
        } else if (doc.matches(i, "</")) {
            --depth;
            i = doc.after(i + 2, ">");
        } else {
            // A start tag: its name, in any namespace, then attributes up to the closing ">".
            std::size_t name = i + 1, local = name, at = name;
            for (; at < doc.size() && !isNameEnd(doc.at(at)); ++at) {
                if (doc.at(at) == ':') local = at + 1;
            }
            if (at - local == 2 && doc.at(local) == 'i' && doc.at(local + 1) == '8') {
                return Verdict::Int64;
            }
            for (unsigned quote = 0; at < doc.size(); ++at) {
                unsigned c = doc.at(at);
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            bool empty = at < doc.size() && doc.at(at - 1) == '/';
            if (!empty && ++depth > kMaxDepth) return Verdict::TooDeep;
            i = at + 1;
        }
    }
    return Verdict::Pass;
}

const char* reason(Verdict verdict) {
    switch (verdict) {
        case Verdict::Pass:
            break;
        case Verdict::DocumentType:
            return "the request declares a document type, which XML-RPC has no use for";
        case Verdict::Int64:
            return "the request holds a 64-bit integer (i8), which no method of this daemon takes";
        case Verdict::TooDeep:
            return "the request nests elements deeper than any call of this daemon's methods";
    }
    return "";
}

}  // namespace requestguard
