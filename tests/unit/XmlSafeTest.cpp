#include <gtest/gtest.h>

#include "SimFixture.h"
#include "service/XmlSafe.h"

TEST(XmlSafe, KeepsValidUtf8AndTheControlsXmlAllows) {
    for (std::string text : {"", "SOK\r\n", "tab\there", "\x7F", "caf\xC3\xA9", "\xE2\x82\xAC 5",
                             "\xF0\x9F\x98\x80"}) {
        EXPECT_EQ(xmlSafe(text), text);
    }
}

TEST(XmlSafe, ReplacesOnlyTheOffendingBytes) {
    EXPECT_EQ(xmlSafe(bytesOf({0x00})), "\xE2\x90\x80");  // U+2400
    EXPECT_EQ(xmlSafe(bytesOf({0x01})), "\xE2\x90\x81");  // U+2401
    EXPECT_EQ(xmlSafe(bytesOf({0x1F})), "\xE2\x90\x9F");  // U+241F
    EXPECT_EQ(xmlSafe(bytesOf({0x0D})), "\r");
    EXPECT_EQ(xmlSafe(bytesOf({0xC8})), "\xC3\x88");  // U+00C8
    EXPECT_EQ(xmlSafe(bytesOf({0xFF})), "\xC3\xBF");  // U+00FF
    EXPECT_EQ(xmlSafe(bytesOf({'A', 0xC8, 'B'})),
              "A\xC3\x88"
              "B");
    // Overlong, truncated, surrogate and non-character sequences are bytes, not characters.
    EXPECT_EQ(xmlSafe(bytesOf({0xC0, 0x80})), "\xC3\x80\xC2\x80");
    EXPECT_EQ(xmlSafe(bytesOf({0xE2, 0x82})), "\xC3\xA2\xC2\x82");
    EXPECT_EQ(xmlSafe(bytesOf({0xED, 0xA0, 0x80})), "\xC3\xAD\xC2\xA0\xC2\x80");
    EXPECT_EQ(xmlSafe(bytesOf({0xEF, 0xBF, 0xBE})), "\xC3\xAF\xC2\xBF\xC2\xBE");
}
