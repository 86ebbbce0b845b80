// The byte-level rules, without a port: bytes in, results out.
#include <gtest/gtest.h>

#include "Bytes.h"
#include "link/Protocol.h"

using namespace protocol;

namespace {

// Feeds `bytes` and returns the complete lines the framer reported.
std::vector<std::string> framed(LineFramer::Rule rule, const std::string& bytes) {
    LineFramer framer(rule);
    std::vector<std::string> lines;
    for (unsigned char c : bytes) {
        if (framer.feed(c)) {
            lines.push_back(framer.line());
            framer.startLine();
        }
    }
    return lines;
}

using Lines = std::vector<std::string>;

}  // namespace

TEST(LineFramer, EndsALineOnlyAtCrDirectlyFollowedByLf) {
    EXPECT_EQ(framed(LineFramer::CrLf, "SOK\r\n"), Lines{"SOK\r\n"});
    EXPECT_EQ(framed(LineFramer::CrLf, "A\rB\nC\r\n"), Lines{"A\rB\nC\r\n"});
    EXPECT_EQ(framed(LineFramer::CrLf, "A\r\r\nB\r\n"), (Lines{"A\r\r\n", "B\r\n"}));
    EXPECT_EQ(framed(LineFramer::CrLf, "\n\r\n"), Lines{"\n\r\n"});
    LineFramer framer(LineFramer::CrLf);
    for (unsigned char c : std::string("OK\r")) framer.feed(c);
    EXPECT_TRUE(framer.crPending());
    framer.feed('x');
    EXPECT_FALSE(framer.crPending());
}

TEST(LineFramer, DialogueLinesEndAtTheFirstLfAfterAnyCr) {
    EXPECT_EQ(framed(LineFramer::LfAfterCr, std::string("XY\rZ\nCOM:1\r\n")),
              (Lines{"XY\rZ\n", "COM:1\r\n"}));
    EXPECT_EQ(framed(LineFramer::LfAfterCr, "\nA\n"), Lines{});
}

TEST(LineFramer, KeepsOnlyTheFirst4095BytesOfALongLine) {
    std::string longLine = std::string(10000, 'A') + "\r\n";
    Lines lines = framed(LineFramer::CrLf, longLine);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string(kMaxLineBytes, 'A'));
    lines = framed(LineFramer::LfAfterCr, longLine);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), kMaxLineBytes);
}

TEST(ReplyMatcher, SingleLineRepliesMatchByPrefixAndCerRefuses) {
    struct Case {
        std::string expected, line;
        ReplyMatcher::Outcome outcome;
    } cases[] = {
        {"SOK\r\n", "SOK\r\n", ReplyMatcher::Acknowledged},
        {"SOK", "SOK 12\r\n", ReplyMatcher::Acknowledged},
        {"SOK\r\n", "CER\r\n", ReplyMatcher::Refused},
        {"SOK\r\n", "CERTAIN\r\n", ReplyMatcher::Refused},
        {"SOK\r\n", "ABC\r\n", ReplyMatcher::Dropped},
        {"", "anything\r\n", ReplyMatcher::Acknowledged},
        {"SOK\r\n", "SOK\r", ReplyMatcher::Dropped},  // a line cut by its window
        {"CH :3\r\n", "CH:3\r\n", ReplyMatcher::Dropped},
        {"A\r\n", std::string("A\r\n\0", 4), ReplyMatcher::Acknowledged},
    };
    for (const auto& c : cases) {
        ReplyMatcher matcher(c.expected);
        EXPECT_EQ(matcher.onLine(c.line), c.outcome) << c.expected << " / " << c.line;
    }
}

TEST(ReplyMatcher, MultiLineRepliesMatchConsecutiveLinesInOrder) {
    ReplyMatcher matcher("WOT\r\nWNG\r\n");
    EXPECT_EQ(matcher.onLine("WOT\r\n"), ReplyMatcher::Dropped);
    EXPECT_EQ(matcher.onLine("WNG\r\n"), ReplyMatcher::Acknowledged);

    ReplyMatcher broken("WOT\r\nWNG\r\n");
    EXPECT_EQ(broken.onLine("WOT\r\n"), ReplyMatcher::Dropped);
    EXPECT_EQ(broken.onLine("XYZ\r\n"), ReplyMatcher::Dropped);
    EXPECT_EQ(broken.onLine("WNG\r\n"), ReplyMatcher::Dropped);
    EXPECT_EQ(broken.onLine("WOT\r\n"), ReplyMatcher::Dropped);
    EXPECT_EQ(broken.onLine("WOT\r\n"), ReplyMatcher::Dropped);  // restarts the sequence
    EXPECT_EQ(broken.onLine("WNG\r\n"), ReplyMatcher::Acknowledged);

    ReplyMatcher refused("WOT\r\nWNG\r\n");
    EXPECT_EQ(refused.onLine("WOT\r\n"), ReplyMatcher::Dropped);
    EXPECT_EQ(refused.onLine("CER\r\n"), ReplyMatcher::Refused);
}

TEST(ChecksummedFrame, SendsTheRawSumWhateverItsValue) {
    struct Case {
        std::string text, frame;
    } cases[] = {
        {"abc", bytesOf({0x61, 0x62, 0x63, 0x40, 0x26, 0x0D, 0x0A})},
        {"", bytesOf({0x40, 0x00, 0x0D, 0x0A})},
        {"UUV", bytesOf({0x55, 0x55, 0x56, 0x40, 0x00, 0x0D, 0x0A})},
        {"YZZ", bytesOf({0x59, 0x5A, 0x5A, 0x40, 0x0D, 0x0D, 0x0A})},
        {"CHS:1", bytesOf({0x43, 0x48, 0x53, 0x3A, 0x31, 0x40, 0x49, 0x0D, 0x0A})},
        {std::string("ab\0cd", 5), bytesOf({0x61, 0x62, 0x40, 0xC3, 0x0D, 0x0A})},
    };
    for (const auto& c : cases) EXPECT_EQ(checksummedFrame(c.text), c.frame) << c.text;
    EXPECT_EQ(checksummedFrame(std::string(5000, 'a')).size(), 5004u);
}

TEST(ReplyItem, CutsTheLastFourBytesAndAddsAComma) {
    EXPECT_EQ(replyItem("COM:12@|\r\n"), "COM:12,");
    EXPECT_EQ(replyItem("COM:5@x\r"), "COM:,");
    EXPECT_EQ(replyItem(std::string("COM:\0@x\r\n", 10)), ",");
    EXPECT_EQ(replyItem("\r\n"), ",");
    EXPECT_EQ(replyItem("\r"), ",");
    EXPECT_EQ(replyItem(""), ",");
}

TEST(StatusLines, TheLastRecognisedLineWins) {
    struct Case {
        std::string bytes;
        int result;
    } cases[] = {
        {"", 0},        {"WNG\r\nOK\r\n", 1}, {"CUP\r\nXYZ\r\n", 3}, {"FSC", 6}, {"XYZ\r\n", 0},
        {"FNG\r\n", 2}, {"FSP\r\nOKAY", 1},   {"OK\rCUP\r\n", 1},  // a CR followed by another byte
                                                                   // does not end the line
    };
    for (const auto& c : cases) {
        StatusLineScanner scanner;
        for (unsigned char b : c.bytes) scanner.feed(b);
        EXPECT_EQ(scanner.finish(), c.result) << c.bytes;
    }
}

TEST(Renderings, PrintableAndHexadecimal) {
    std::string data = "CUP\r\n,WRT\r\n";
    EXPECT_EQ(renderPrintable(data), "CUP..,WRT..");
    EXPECT_EQ(renderHex(data), "43-55-50-0D-0A.-57-52-54-0D-0A");
    EXPECT_EQ(renderPrintable(bytesOf({0xC8, 0x7F, 0x1F, 0x20, 0x7E})), "    ~");
    EXPECT_EQ(renderHex(bytesOf({0xC8})), "C8");
    EXPECT_EQ(renderHex(",A"), ".-41");
    EXPECT_EQ(renderHex(""), "");
}
