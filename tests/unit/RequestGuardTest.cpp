// The request guard: which documents reach xmlrpc-c's parser, in every encoding it reads, and
// the one UTF-8 text the parser is then given.
#include <gtest/gtest.h>

#include "service/RequestGuard.h"

using requestguard::inspect;
using requestguard::kUtf8Declaration;
using requestguard::Verdict;

namespace {

const std::string kCall = "<methodCall><methodName>set_title</methodName><params><param><value>";
const std::string kEnd = "</value></param></params></methodCall>";

std::string call(const std::string& value) {
    return "<?xml version=\"1.0\"?>" + kCall + value + kEnd;
}

std::string repeat(const std::string& text, int times) {
    std::string out;
    while (times-- > 0) out += text;
    return out;
}

std::string nested(int depth, const std::string& inner = "") {
    return call(repeat("<value><array><data>", depth) + inner +
                repeat("</data></array></value>", depth));
}

// Text in UTF-16 of either byte order, with or without a byte order mark.
std::string utf16(const std::u16string& text, bool bigEndian, bool bom = false) {
    std::string out;
    for (char16_t unit : (bom ? u"\uFEFF" : u"") + text) {
        char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        out += bigEndian ? std::string{high, low} : std::string{low, high};
    }
    return out;
}

std::string utf16(const std::string& ascii, bool bigEndian, bool bom = false) {
    return utf16(std::u16string(ascii.begin(), ascii.end()), bigEndian, bom);
}

std::string declaring(const std::string& encoding) {
    return "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>";
}

Verdict verdict(const std::string& body) {
    return inspect(body.data(), body.size()).verdict;
}

}  // namespace

TEST(RequestGuard, RefusesWhatHarmsTheLibraryAndPassesEverythingElse) {
    struct Case {
        std::string body;
        Verdict verdict;
    } cases[] = {
        {call("<string>Line 2</string>"), Verdict::Pass},
        {call("<i4>5</i4>"), Verdict::Pass},
        {call("<i8>abc</i8>"), Verdict::Int64},
        {call("<ex:i8 xmlns:ex=\"http://ws.apache.org/xmlrpc/namespaces/extensions\">1</ex:i8>"),
         Verdict::Int64},
        {call("<i8/>"), Verdict::Int64},
        {call("<i80>1</i80>"), Verdict::Pass},
        {"<!DOCTYPE x [<!ENTITY a \"b\">]>" + call("<string>&a;</string>"), Verdict::DocumentType},
        // Markup in text, CDATA, comments, instructions and attributes is no markup.
        {call("<string><![CDATA[<!DOCTYPE x><i8>]]></string>"), Verdict::Pass},
        {call("<string>&lt;i8&gt;</string><!-- <!DOCTYPE x> <i8> -->"), Verdict::Pass},
        {call("<string a=\"<i8>\" b='>'>x</string>"), Verdict::Pass},
        {"<?xml version=\"1.0\"?><?pi <!DOCTYPE ?>" + kCall + kEnd, Verdict::Pass},
        {nested(20), Verdict::Pass},
        {nested(21), Verdict::TooDeep},
        // An empty element below the deepest allowed one is just as deep.
        {nested(20, "<nil/>"), Verdict::TooDeep},
        // End tags without start tags buy no room for deeper nesting.
        {call(repeat("</data>", 100)) + nested(21), Verdict::TooDeep},
        {call("<string/>") + std::string(100000, ' '), Verdict::Pass},
        {"", Verdict::Pass},
        {"<", Verdict::Pass},
        {"<i8", Verdict::Int64},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(verdict(c.body), c.verdict) << c.body.substr(0, 200);
        for (bool bigEndian : {true, false}) {
            for (bool bom : {true, false}) {
                if (c.body.empty()) continue;
                EXPECT_EQ(verdict(utf16(c.body, bigEndian, bom)), c.verdict)
                    << c.body.substr(0, 200) << (bigEndian ? " UTF-16BE" : " UTF-16LE")
                    << (bom ? " with BOM" : "");
            }
        }
    }
}

TEST(RequestGuard, RefusesADocumentWhoseEncodingIsInDoubtNamingIt) {
    const std::string body = kCall + "<i8>abc</i8>" + kEnd;
    struct Case {
        const char* what;
        std::string bytes;
        const char* named;  // the encoding the refusal names
    } cases[] = {
        {"declared in UTF-16LE naming UTF-16BE, then UTF-16BE",
         utf16(declaring("UTF-16BE"), false) + utf16(body, true), "UTF-16BE"},
        {"declared in UTF-16BE naming UTF-16LE, then UTF-16LE",
         utf16(declaring("utf-16le"), true) + utf16(body, false), "utf-16le"},
        {"UTF-16BE mark naming the other order", utf16(declaring("UTF-16LE") + body, true, true),
         "UTF-16LE"},
        {"UTF-16LE mark naming UTF-8", utf16(declaring("UTF-8") + body, false, true), "UTF-8"},
        {"UTF-16 without mark naming Latin-1", utf16(declaring("ISO-8859-1") + body, false),
         "ISO-8859-1"},
        {"UTF-8 mark naming Latin-1", "\xEF\xBB\xBF" + declaring("ISO-8859-1") + body,
         "ISO-8859-1"},
        {"UTF-8 mark naming UTF-16", "\xEF\xBB\xBF" + declaring("UTF-16") + body, "UTF-16"},
        {"ASCII bytes naming UTF-16", declaring("UTF-16") + body, "UTF-16"},
        {"ASCII bytes naming UTF-16BE", declaring("UTF-16BE") + body, "UTF-16BE"},
        {"an encoding expat would not know", declaring("windows-1252") + body, "windows-1252"},
        {"UCS-4 named", declaring("UCS-4") + body, "UCS-4"},
        {"UCS-4BE", std::string("\0\0\0<\0\0\0?", 8), "UCS-4"},
        {"UCS-4LE", std::string("<\0\0\0?\0\0\0", 8), "UCS-4"},
        {"UTF-32LE mark", std::string("\xFF\xFE\0\0<\0\0\0", 8), "UCS-4"},
        {"EBCDIC", "\x4C\x6F\xA7\x94\x93", "EBCDIC"},
        {"odd-length UTF-16", utf16(body, false, true) + "x", "UTF-16LE"},
        {"a lone high surrogate", utf16(body, true, true) + "\xD8\x3D", "UTF-16BE"},
        {"a lone low surrogate",
         utf16(kCall, false) + std::string("\0\xDC", 2) + utf16(kEnd, false), "UTF-16LE"},
        {"a byte US-ASCII cannot hold", declaring("US-ASCII") + kCall + "caf\xE9" + kEnd,
         "US-ASCII"},
        {"Latin-1 bytes without a declaration", kCall + "caf\xE9" + kEnd, "UTF-8"},
        {"an overlong form", kCall + "\xC0\xBC" + kEnd, "UTF-8"},
        {"a surrogate in UTF-8", kCall + "\xED\xA0\x80" + kEnd, "UTF-8"},
        // Whatever a declaration we cannot read might name, the encoding is in doubt.
        {"no version", "<?xml encoding=\"UTF-16\"?>" + body, "declaration"},
        {"encoding before version", "<?xml encoding=\"UTF-8\" version=\"1.0\"?>" + body,
         "declaration"},
        {"quotes that do not match", "<?xml version=\"1.0\" encoding=\"UTF-8'?>" + body,
         "declaration"},
        {"an unclosed declaration", utf16("<?xml version='1.0' encoding='UTF-16", false),
         "declaration"},
        {"no space before encoding", "<?xml version=\"1.0\"encoding=\"UTF-8\"?>" + body,
         "declaration"},
        {"a name that begins with a digit", declaring("8859-1") + body, "declaration"},
        {"version 2", "<?xml version=\"2.0\"?>" + body, "declaration"},
        {"an empty declaration", "<?xml?>" + body, "declaration"},
    };
    for (const auto& c : cases) {
        auto inspection = inspect(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(inspection.verdict, Verdict::Encoding) << c.what;
        EXPECT_NE(inspection.reason.find(c.named), std::string::npos)
            << c.what << ": " << inspection.reason;
        EXPECT_TRUE(inspection.text.empty()) << c.what;
    }
}

TEST(RequestGuard, HandsOnHonestEncodingsAsUtf8UnderAUtf8Declaration) {
    const std::string text = kCall + "<string>Grüße € 😀</string>" + kEnd;
    const std::u16string wide =
        u"<methodCall><methodName>set_title</methodName><params><param><value>"
        u"<string>Grüße € 😀</string></value></param></params></methodCall>";
    const std::string latin1 = kCall +
                               "<string>Gr\xFC\xDF"
                               "e</string>" +
                               kEnd;
    struct Case {
        const char* what;
        std::string bytes;
        std::string handedOn;  // after the UTF-8 declaration
    } cases[] = {
        {"UTF-8", text, text},
        {"UTF-8 declared", "<?xml version=\"1.0\"?>" + text, text},
        {"UTF-8 with mark", "\xEF\xBB\xBF" + text, text},
        {"UTF-8 with mark, declared", "\xEF\xBB\xBF<?xml version='1.0' encoding='utf-8'?>" + text,
         text},
        {"Latin-1 as PHP sends it", declaring("iso-8859-1") + latin1,
         kCall + "<string>Grüße</string>" + kEnd},
        {"US-ASCII",
         "<?xml version=\"1.0\" encoding=\"US-ASCII\" standalone=\"yes\"?>" + kCall + "caf&#xE9;" +
             kEnd,
         kCall + "caf&#xE9;" + kEnd},
        {"UTF-16BE with mark", utf16(wide, true, true), text},
        {"UTF-16LE with mark, declared UTF-16",
         utf16(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>" + wide, false, true), text},
        {"UTF-16BE declared UTF-16BE",
         utf16(u"<?xml version = '1.1'  encoding = 'UTF-16BE' ?>" + wide, true), text},
        {"UTF-16LE without mark or declaration", utf16(wide, false), text},
        {"an instruction first is no declaration", "<?xml-stylesheet href=\"a\"?>" + text,
         "<?xml-stylesheet href=\"a\"?>" + text},
    };
    for (const auto& c : cases) {
        auto inspection = inspect(c.bytes.data(), c.bytes.size());
        EXPECT_EQ(inspection.verdict, Verdict::Pass) << c.what << ": " << inspection.reason;
        EXPECT_EQ(inspection.text, kUtf8Declaration + c.handedOn) << c.what;
    }
}

TEST(RequestGuard, ReadsUtf16UnitsNotBytes) {
    // U+3C69 U+3800 in UTF-16BE holds the bytes "<i8" but no markup at all.
    std::string units = utf16(call("<string>"), true, true) + std::string("\x3C\x69\x38\0", 4) +
                        utf16("</string>", true, false);
    EXPECT_EQ(verdict(units), Verdict::Pass);
    // Never reads past the length it is given.
    std::string body = call("<string>x</string>") + "<i8>";
    EXPECT_EQ(inspect(body.data(), body.size() - 4).verdict, Verdict::Pass);
}
