// The rule for the head of an HTTP request: what reaches the HTTP library, what is answered here.
#include <gtest/gtest.h>

#include <string>

#include "service/RequestHead.h"

using requesthead::Verdict;
using namespace std::string_literals;

TEST(RequestHead, OnlyAWholeHeadTheLibraryReadsWithoutFaultGoesOn) {
    const std::string get = "GET /health HTTP/1.1\r\n";
    struct Case {
        std::string head;
        Verdict verdict;
    } cases[] = {
        // What clients send, in the forms the library reads.
        {get + "Host: 127.0.0.1:40405\r\n\r\n", Verdict::Whole},
        {"POST /RPC2 HTTP/1.0\r\nContent-Length: 9\r\n\r\n<partial", Verdict::Whole},
        {"GET /health HTTP/1.1\nHost: x\n\n", Verdict::Whole},
        {"\r\n\r\n" + get + "\r\n", Verdict::Whole},
        {get + "Host: [::1]:40405\r\nhost: ::1\r\nX-Empty:\r\nX:\ta:b\xff\r\n\r\n", Verdict::Whole},
        {"OPTIONS /RPC2?x=%4a#y HTTP/1.0\r\n\r\n", Verdict::Whole},
        // Not yet whole.
        {"", Verdict::Incomplete},
        {get + "Host: x\r\n", Verdict::Incomplete},
        {get + "Host: x\r\n\r", Verdict::Incomplete},
        {"GET /health HTTP/1.1\rHost: x\r\r", Verdict::Incomplete},
        // What the library would leak on, or answer with a status from uninitialized memory.
        {get + "bogus\r\n\r\n", Verdict::Malformed},
        {get + "X Y: z\r\n\r\n", Verdict::Malformed},
        {get + "X :z\r\n\r\n", Verdict::Malformed},
        {get + ": z\r\n\r\n", Verdict::Malformed},
        {get + "X\0Y: z\r\n\r\n"s, Verdict::Malformed},
        {get + "X: a\r\n b\r\n\r\n", Verdict::Malformed},
        {get + "X:a\r\n\r\n", Verdict::Malformed},
        {get + "X: a\0\r\n\r\n"s, Verdict::Malformed},
        {get + "X: a\0"s, Verdict::Malformed},
        {get + " \r\n\r\n", Verdict::Malformed},
        {"GET http://x:1/health HTTP/1.1\r\n\r\n", Verdict::Malformed},
        {"GET * HTTP/1.1\r\n\r\n", Verdict::Malformed},
        {"GET /health?x HTTP/5.1\r\n\r\n", Verdict::Malformed},
        {"GET /health\r\n\r\n", Verdict::Malformed},
        {"GET  /health HTTP/1.1\r\n\r\n", Verdict::Malformed},
        {"GET /he\xff"
         "alth HTTP/1.1\r\n\r\n",
         Verdict::Malformed},
        {"G(T /health HTTP/1.1\r\n\r\n", Verdict::Malformed},
        {"GET /a*?q HTTP/1.1\r\n\r\n", Verdict::Malformed},  // the library would lose the query
        {"GET /a%zz HTTP/1.1\r\n\r\n", Verdict::Malformed},
        {"GET /a% HTTP/1.1\r\n\r\n", Verdict::Malformed},
        {"\r\rGET /health HTTP/1.1\r\n\r\n", Verdict::Malformed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(requesthead::check(c.head.data(), c.head.size()).verdict, c.verdict) << c.head;
    }
    for (const char* host : {"x:", "x:0", "x:65536", "x:99999999", "x:abc", "x: 80", "x:+80",
                             "[::1]", "[::1", "[::1]80", "x:99\t", "x y", "x\x01"}) {
        std::string head = get + "Host: " + host + "\r\n\r\n";
        EXPECT_EQ(requesthead::check(head.data(), head.size()).verdict, Verdict::Malformed) << host;
    }
    for (const char* host : {"x", "x:1", "x:65535", "x:0080", "", "[::1]:80"}) {
        std::string head = get + "Host: " + host + "\r\n\r\n";
        EXPECT_EQ(requesthead::check(head.data(), head.size()).verdict, Verdict::Whole) << host;
    }
}

TEST(RequestHead, AHeadIsWholeWithinItsLimitOrTooLarge) {
    const std::string start = "GET /health HTTP/1.1\r\nX: ";
    std::string fits =
        start + std::string(requesthead::kMaxHead - start.size() - 4, 'a') + "\r\n\r\n";
    EXPECT_EQ(requesthead::check(fits.data(), fits.size()).verdict, Verdict::Whole);
    std::string over = start + std::string(requesthead::kMaxHead, 'a');
    EXPECT_EQ(requesthead::check(over.data(), requesthead::kMaxHead - 1).verdict,
              Verdict::Incomplete);
    EXPECT_EQ(requesthead::check(over.data(), over.size()).verdict, Verdict::TooLarge);
    std::string endsLate = fits.substr(0, fits.size() - 1) + "x\r\n\r\n";
    EXPECT_EQ(requesthead::check(endsLate.data(), endsLate.size()).verdict, Verdict::TooLarge);
}
