#include "service/RequestGuard.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "service/Utf8.h"

namespace requestguard {

namespace {

using namespace std::string_view_literals;

// The encodings the parser's expat knows by name. Utf16 is either byte order, as the bytes
// show it.
enum class Encoding { Utf8, Utf16, Utf16BE, Utf16LE, Latin1, Ascii };

constexpr struct {
    const char* name;
    Encoding encoding;
} kEncodings[] = {
    {"UTF-8", Encoding::Utf8},        {"UTF-16", Encoding::Utf16},
    {"UTF-16BE", Encoding::Utf16BE},  {"UTF-16LE", Encoding::Utf16LE},
    {"ISO-8859-1", Encoding::Latin1}, {"US-ASCII", Encoding::Ascii},
};

const char* nameOf(Encoding encoding) {
    for (const auto& known : kEncodings) {
        if (known.encoding == encoding) return known.name;
    }
    return "";
}

bool isWide(Encoding encoding) {
    return encoding == Encoding::Utf16BE || encoding == Encoding::Utf16LE;
}

// A client's encoding name, bounded, for a message.
std::string quoted(const std::string& name) {
    constexpr std::size_t kNameShown = 40;
    return "\"" + name.substr(0, kNameShown) + (name.size() > kNameShown ? "...\"" : "\"");
}

// What the first bytes say: a byte order mark, or code units one or two bytes wide.
struct Start {
    Encoding encoding = Encoding::Utf8;  // Utf8 also stands for any ASCII-compatible encoding
    std::size_t markLength = 0;
    const char* refusal = nullptr;  // bytes of an encoding the guard does not read
};

Start startOf(std::string_view bytes) {
    auto begins = [&](std::string_view prefix) { return bytes.substr(0, prefix.size()) == prefix; };
    // Four-byte units, each order (XML 1.0, appendix F): a mark, or "<" as the first unit.
    for (std::string_view ucs4 :
         {"\0\0"sv, "\xFF\xFE\0\0"sv, "\xFE\xFF\0\0"sv, "<\0\0\0"sv, "\0<\0\0"sv}) {
        if (begins(ucs4)) {
            return {Encoding::Utf8, 0,
                    "the request is in UCS-4 (UTF-32), which this daemon does not read: send "
                    "UTF-8"};
        }
    }
    if (begins("\x4C\x6F\xA7\x94"sv)) {
        return {Encoding::Utf8, 0,
                "the request is in EBCDIC, which this daemon does not read: send UTF-8"};
    }
    if (begins("\xEF\xBB\xBF"sv)) return {Encoding::Utf8, 3};
    if (begins("\xFE\xFF"sv)) return {Encoding::Utf16BE, 2};
    if (begins("\xFF\xFE"sv)) return {Encoding::Utf16LE, 2};
    // No mark: a document starts with an ASCII character, so one zero byte among the first two
    // means UTF-16, as expat reads it.
    if (bytes.size() >= 2 && bytes[0] == '\0') return {Encoding::Utf16BE};
    if (bytes.size() >= 2 && bytes[1] == '\0') return {Encoding::Utf16LE};
    return {};
}

// The document after its mark, as code units of the width and order its start shows. Only
// the declaration is read this way: it is ASCII in every encoding.
class Units {
  public:
    Units(std::string_view bytes, Encoding encoding)
        : bytes(bytes),
          unitWidth(isWide(encoding) ? 2 : 1),
          bigEndian(encoding == Encoding::Utf16BE) {}

    std::size_t width() const { return unitWidth; }
    std::size_t size() const { return bytes.size() / unitWidth; }

    unsigned operator[](std::size_t i) const {
        auto byte = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
        if (unitWidth == 1) return byte(i);
        return bigEndian ? (byte(2 * i) << 8 | byte(2 * i + 1))
                         : (byte(2 * i + 1) << 8 | byte(2 * i));
    }

  private:
    std::string_view bytes;
    std::size_t unitWidth;
    bool bigEndian;
};

bool isSpace(unsigned c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool isAsciiLetter(unsigned c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool isDigit(unsigned c) {
    return c >= '0' && c <= '9';
}

// The XML declaration, read by the grammar of XML 1.0 (section 2.8): version, then encoding and
// standalone if present, in that order.
struct Declaration {
    bool present = false;
    bool wellFormed = false;
    std::string encoding;  // as written; empty when it names none
    std::size_t end = 0;   // the unit just after it
};

class DeclarationReader {
  public:
    explicit DeclarationReader(const Units& units) : units(units) {}

    Declaration read() {
        Declaration declaration;
        // "<?xml-stylesheet" and the like are instructions, not the declaration.
        if (!literal("<?xml") || (at < units.size() && !isSpace(units[at]) && units[at] != '?')) {
            return declaration;
        }
        declaration.present = true;
        std::string version, standalone;
        bool wellFormed =
            space() && literal("version") && equals() &&
            value(version, [](unsigned c, std::size_t) { return isDigit(c) || c == '.'; }) &&
            version.size() > 2 && version.compare(0, 2, "1.") == 0 &&
            version.find('.', 2) == std::string::npos;
        bool spaced = wellFormed && space();
        if (spaced && literal("encoding")) {
            wellFormed =
                equals() &&
                value(declaration.encoding,
                      [](unsigned c, std::size_t i) {
                          return isAsciiLetter(c) ||
                                 (i > 0 && (isDigit(c) || c == '.' || c == '_' || c == '-'));
                      }) &&
                !declaration.encoding.empty();
            spaced = wellFormed && space();
        }
        if (spaced && literal("standalone")) {
            wellFormed =
                equals() &&
                value(standalone, [](unsigned c, std::size_t) { return isAsciiLetter(c); }) &&
                (standalone == "yes" || standalone == "no");
            space();
        }
        declaration.wellFormed = wellFormed && literal("?>");
        declaration.end = at;
        return declaration;
    }

  private:
    // Moves past `text` if it comes next.
    bool literal(const char* text) {
        std::size_t length = std::strlen(text);
        for (std::size_t k = 0; k < length; ++k) {
            if (at + k >= units.size() || units[at + k] != static_cast<unsigned char>(text[k])) {
                return false;
            }
        }
        at += length;
        return true;
    }

    bool space() {
        std::size_t from = at;
        while (at < units.size() && isSpace(units[at])) ++at;
        return at > from;
    }

    bool equals() {
        space();
        bool found = literal("=");
        space();
        return found;
    }

    // A value in single or double quotes, each character allowed at its place.
    template <typename Allowed>
    bool value(std::string& out, Allowed allowed) {
        if (at >= units.size() || (units[at] != '"' && units[at] != '\'')) return false;
        unsigned quote = units[at++];
        for (; at < units.size() && units[at] != quote; ++at) {
            if (!allowed(units[at], out.size())) return false;
            out.push_back(static_cast<char>(units[at]));
        }
        return at++ < units.size();
    }

    const Units& units;
    std::size_t at = 0;
};

bool sameName(const std::string& written, const char* name) {
    if (written.size() != std::strlen(name)) return false;
    for (std::size_t i = 0; i < written.size(); ++i) {
        char c = written[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != name[i]) return false;
    }
    return true;
}

// The one encoding the document is read in: what its bytes show, as its declaration names it.
// Empty `problem` on success.
Encoding decide(const Start& start, const Declaration& declaration, std::string& problem) {
    if (declaration.present && !declaration.wellFormed) {
        problem = "the request's XML declaration is malformed, so its encoding is in doubt";
        return start.encoding;
    }
    if (declaration.encoding.empty()) return start.encoding;
    const auto* known = std::begin(kEncodings);
    while (known != std::end(kEncodings) && !sameName(declaration.encoding, known->name)) ++known;
    if (known == std::end(kEncodings)) {
        problem = "the request is in " + quoted(declaration.encoding) +
                  ", which this daemon does not read: send UTF-8, UTF-16, ISO-8859-1 or US-ASCII";
        return start.encoding;
    }
    Encoding named = known->encoding;
    bool agrees;
    std::string bytesAre = nameOf(start.encoding);
    if (isWide(start.encoding)) {
        agrees = named == Encoding::Utf16 || named == start.encoding;
    } else if (start.markLength > 0) {
        agrees = named == Encoding::Utf8;
        bytesAre = "UTF-8 (they begin with its byte order mark)";
    } else {
        agrees = named != Encoding::Utf16 && !isWide(named);
        bytesAre = "not UTF-16";
    }
    if (!agrees) {
        problem = "the request's bytes are " + bytesAre + " but its XML declaration names " +
                  quoted(declaration.encoding);
        return start.encoding;
    }
    return named == Encoding::Utf16 ? start.encoding : named;
}

// Appends `bytes`, read in `encoding`, to `out` as UTF-8. `offset` is where they begin in the
// request, for the message when a byte cannot be read. Empty `problem` on success.
void transcode(std::string_view bytes, std::size_t offset, Encoding encoding, std::string& out,
               std::string& problem) {
    char where[64];
    auto at = [&](std::size_t i) {
        std::snprintf(where, sizeof where, " (byte %zu)", offset + i);
        return std::string(where);
    };
    out.reserve(out.size() + bytes.size() * 2);
    if (isWide(encoding)) {
        Units units(bytes, encoding);
        if (bytes.size() % 2) {
            problem =
                std::string("the request is ") + nameOf(encoding) + " of an odd number of bytes";
            return;
        }
        for (std::size_t i = 0; i < units.size(); ++i) {
            unsigned unit = units[i];
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units.size() &&
                units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
                unit = 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00);
                ++i;
            } else if (unit >= 0xD800 && unit <= 0xDFFF) {
                problem = std::string("the request's ") + nameOf(encoding) +
                          " holds an unpaired surrogate" + at(2 * i);
                return;
            }
            utf8::append(out, unit);
        }
        return;
    }
    if (encoding == Encoding::Utf8) {
        for (std::size_t i = 0, length; i < bytes.size(); i += length) {
            unsigned codePoint;
            bool ascii = static_cast<unsigned char>(bytes[i]) < 0x80;  // most of any request
            length = ascii ? 1 : utf8::sequence(bytes, i, codePoint);
            if (length == 0) {
                problem = "the request is not valid UTF-8" + at(i);
                return;
            }
        }
        out.append(bytes);
        return;
    }
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        auto byte = static_cast<unsigned char>(bytes[i]);
        if (encoding == Encoding::Ascii && byte >= 0x80) {
            char text[96];
            std::snprintf(text, sizeof text,
                          "the request is declared US-ASCII but holds the byte 0x%02X", byte);
            problem = text + at(i);
            return;
        }
        utf8::append(out, byte);  // ISO-8859-1 numbers its characters as its bytes
    }
}

bool isNameEnd(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '>' || c == '/';
}

// What the parser would find in the UTF-8 text.
Verdict scan(const std::string& doc) {
    auto matches = [&](std::size_t at, const char* text) {
        return doc.compare(at, std::strlen(text), text) == 0;
    };
    // The index just after the next `end` at or after `from`, or the end of the document.
    auto after = [&](std::size_t from, const char* end) {
        std::size_t found = doc.find(end, from);
        return found == std::string::npos ? doc.size() : found + std::strlen(end);
    };
    int depth = 0;
    for (std::size_t i = doc.find('<'); i != std::string::npos; i = doc.find('<', i)) {
        if (matches(i, "<?")) {
            i = after(i + 2, "?>");
        } else if (matches(i, "<!--")) {
            i = after(i + 4, "-->");
        } else if (matches(i, "<![CDATA[")) {
            i = after(i + 9, "]]>");
        } else if (matches(i, "<!")) {
            // Outside comments and CDATA, "<!" only begins a declaration of a document type.
            return Verdict::DocumentType;
        } else if (matches(i, "</")) {
            // Stray end tags never buy room for deeper nesting later.
            if (depth > 0) --depth;
            i = after(i + 2, ">");
        } else {
            // A start tag: its name, in any namespace, then attributes up to the closing ">".
            std::size_t local = i + 1, at = i + 1;
            for (; at < doc.size() && !isNameEnd(doc[at]); ++at) {
                if (doc[at] == ':') local = at + 1;
            }
            if (doc.compare(local, at - local, "i8") == 0) return Verdict::Int64;
            for (char quote = 0; at < doc.size(); ++at) {
                char c = doc[at];
                if (quote) {
                    if (c == quote) quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '>') {
                    break;
                }
            }
            // An empty element is as deep as any other while the parser holds it.
            if (depth >= kMaxDepth) return Verdict::TooDeep;
            bool empty = at < doc.size() && doc[at - 1] == '/';
            if (!empty) ++depth;
            i = at + 1;
        }
    }
    return Verdict::Pass;
}

const char* reasonFor(Verdict verdict) {
    switch (verdict) {
        case Verdict::DocumentType:
            return "the request declares a document type, which XML-RPC has no use for";
        case Verdict::Int64:
            return "the request holds a 64-bit integer (i8), which no method of this daemon takes";
        case Verdict::TooDeep:
            return "the request nests elements deeper than any call of this daemon's methods";
        case Verdict::Pass:
        case Verdict::Encoding:
            break;
    }
    return "";
}

Inspection refused(Verdict verdict, std::string reason) {
    Inspection inspection;
    inspection.verdict = verdict;
    inspection.reason = std::move(reason);
    return inspection;
}

}  // namespace

Inspection inspect(const char* body, std::size_t length) {
    std::string_view bytes(body, length);
    Start start = startOf(bytes);
    if (start.refusal) return refused(Verdict::Encoding, start.refusal);
    std::string_view rest = bytes.substr(start.markLength);
    Units units(rest, start.encoding);
    Declaration declaration = DeclarationReader(units).read();
    std::string problem;
    Encoding encoding = decide(start, declaration, problem);
    if (!problem.empty()) return refused(Verdict::Encoding, problem);

    Inspection inspection;
    inspection.text = kUtf8Declaration;
    std::size_t contentStart = start.markLength + declaration.end * units.width();
    transcode(bytes.substr(contentStart), contentStart, encoding, inspection.text, problem);
    if (!problem.empty()) return refused(Verdict::Encoding, problem);
    inspection.verdict = scan(inspection.text);
    if (inspection.verdict != Verdict::Pass) {
        return refused(inspection.verdict, reasonFor(inspection.verdict));
    }
    return inspection;
}

}  // namespace requestguard
