// The request guard: which documents reach xmlrpc-c's parser, in every encoding it reads.
#include <gtest/gtest.h>

#include "service/RequestGuard.h"

using requestguard::inspect;
using requestguard::Verdict;

namespace {

std::string call(const std::string& value) {
    return "<?xml version=\"1.0\"?><methodCall><methodName>set_title</methodName><params><param>"
           "<value>" +
           value + "</value></param></params></methodCall>";
}

std::string nested(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i)
        open += "<value><array><data>", close += "</data></array></value>";
    return call(open + close);
}

// The same document in UTF-16, with or without a byte order mark.
std::string utf16(const std::string& ascii, bool bigEndian, bool bom) {
    std::string out = bom ? (bigEndian ? "\xFE\xFF" : "\xFF\xFE") : "";
    for (char c : ascii) {
        out += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
    }
    return out;
}

Verdict verdict(const std::string& body) {
    return inspect(body.data(), body.size());
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
        {"<?xml version=\"1.0\"?><?pi <!DOCTYPE ?>" + call(""), Verdict::Pass},
        {nested(20), Verdict::Pass},
        {nested(25), Verdict::TooDeep},
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

TEST(RequestGuard, ReadsUtf16UnitsNotBytes) {
    // U+3C69 U+3800 in UTF-16BE holds the bytes "<i8" but no markup at all.
    std::string units =
        utf16(call("<string>"), true, true) + "\x3C\x69\x38\x00" + utf16("</string>", true, false);
    EXPECT_EQ(verdict(units), Verdict::Pass);
    // Never reads past the length it is given.
    std::string body = call("<string>x</string>") + "<i8>";
    EXPECT_EQ(inspect(body.data(), body.size() - 4), Verdict::Pass);
}
