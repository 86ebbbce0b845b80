// Line framing and matching of both line readers, reply-item cutting and status classification.
// The first input byte splits an expected reply off the front; the rest is what the line sends.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "link/Protocol.h"

using namespace protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t split = data[0] % size;
    std::string expected(reinterpret_cast<const char*>(data) + 1, split > 0 ? split - 1 : 0);
    std::string received(reinterpret_cast<const char*>(data) + split, size - split);

    LineFramer framer(LineFramer::CrLf);
    ReplyMatcher matcher(expected);
    LineFramer dialogue(LineFramer::LfAfterCr);
    StatusLineScanner status;
    for (unsigned char byte : received) {
        if (framer.feed(byte)) {
            const std::string& line = framer.line();
            check(line.size() <= kMaxLineBytes);
            // A line the window did not cut ends with the CR LF that completed it.
            if (line.size() < kMaxLineBytes) {
                check(line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0);
            }
            ReplyMatcher::Outcome outcome = matcher.onLine(line);
            if (outcome == ReplyMatcher::Refused) check(beginsWith(line, "CER"));
            framer.startLine();
        }
        if (dialogue.feed(byte)) {
            // A dialogue line ends at an LF that some CR in the line came before.
            const std::string& line = dialogue.line();
            if (line.size() < kMaxLineBytes) {
                check(line.back() == '\n' && line.find('\r') < line.size() - 1);
            }
            std::string item = replyItem(line);
            check(!item.empty() && item.back() == ',');
            check(item.size() <= dialogue.line().size());
            check(item.find('\0') == std::string::npos);
            dialogue.startLine();
        }
        status.feed(byte);
    }
    check(framer.line().size() <= kMaxLineBytes && dialogue.line().size() <= kMaxLineBytes);
    int result = status.finish();
    check(result == 0 || result == 1 || result == 2 || result == 3 || result == 5 || result == 6);
    return 0;
}
