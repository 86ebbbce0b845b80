// String results: what XML can carry. FuzzXmlSafe checks that a client recovers every byte.
#include <gtest/gtest.h>

#include "Bytes.h"
#include "service/XmlSafe.h"

TEST(XmlSafe, ControllerBytesAreCarriedSoThatEveryOneIsRecovered) {
    struct Case {
        std::string bytes, carried;
    } cases[] = {
        {"SOK\r\n\t\x7F", "SOK\r\n\t\x7F"},
        {bytesOf({0x00, 0x01, 0x1F}), "\xE2\x90\x80\xE2\x90\x81\xE2\x90\x9F"},
        {bytesOf({'A', 0xC8, 'B'}),
         "A\xC3\x88"
         "B"},
        {"\xE2\x82\xAC 5", "\xE2\x82\xAC 5"},                       // U+20AC stays
        {"\xC3\xA9", "\xC3\x83\xC2\xA9"},                           // U+00E9 would read as one byte
        {"\xE2\x90\x81", "\xC3\xA2\xC2\x90\xC2\x81"},               // so would a control picture
        {"\xF0\x9F\x98\x80", "\xC3\xB0\xC2\x9F\xC2\x98\xC2\x80"},   // beyond U+FFFF
        {bytesOf({0xED, 0xA0, 0x80}), "\xC3\xAD\xC2\xA0\xC2\x80"},  // a surrogate
        {bytesOf({0xEF, 0xBF, 0xBE}), "\xC3\xAF\xC2\xBF\xC2\xBE"},  // not an XML character
    };
    for (const auto& c : cases) {
        EXPECT_EQ(xmlSafeBytes(c.bytes), c.carried) << c.bytes;
    }
}

TEST(XmlSafe, ClientTextKeepsItsCharactersWithinWhatXmlCarries) {
    for (std::string text : {"", "Stazione 3 \xE2\x80\x93 \xC3\xA8", "\xE2\x90\x81"}) {
        EXPECT_EQ(xmlSafeText(text), text);
    }
    EXPECT_EQ(xmlSafeText("\x01"), "\xE2\x90\x81");
    EXPECT_EQ(xmlSafeText("\xF0\x9F\x98\x80"), "\xC3\xB0\xC2\x9F\xC2\x98\xC2\x80");
}
