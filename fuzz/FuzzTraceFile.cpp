// The trace reader (rs232c-sim --replay, rs232c-trace): whatever line it is given it never
// crashes, and it reads back every byte sequence exactly as the daemon's trace writes it, also
// behind the journal's prefix. Lines cut from bytes are the same however the bytes arrive. What
// the tools print of those bytes holds no byte a terminal acts on, and reads back to them. A
// replay of any trace waits only as long as an int of milliseconds holds.
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "tools/common/Escapes.h"
#include "tools/simulator/Replay.h"
#include "tools/trace/TraceFile.h"
#include "trace/TraceLog.h"

namespace {

std::vector<std::string> linesOf(const std::string& bytes, std::size_t firstPiece,
                                 std::size_t longest, std::size_t& tooLong) {
    std::vector<std::string> lines;
    auto take = [&lines](const std::string& line) { lines.push_back(line); };
    tracefile::LineSplitter splitter(longest);
    splitter.feed(bytes.data(), firstPiece, take);
    splitter.feed(bytes.data() + firstPiece, bytes.size() - firstPiece, take);
    splitter.finish(take);
    tooLong = splitter.tooLong();
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    tracefile::Event event;
    tracefile::parse(bytes, event);

    std::string hex;
    for (unsigned char c : bytes) {
        static const char digits[] = "0123456789ABCDEF";
        if (!hex.empty()) hex += ' ';
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    std::string line =
        "{\"time\":\"2026-12-08T00:00:00.000000Z\",\"mono\":1.5,\"event\":\"rx\","
        "\"hex\":\"" +
        hex + "\",\"text\":" + jsonBytes(bytes) + "}";
    check(tracefile::parse(line, event));
    check(event.name == "rx" && event.mono == 1.5);
    check(event.field["text"] == bytes);
    check(tracefile::fromHex(event.field["hex"]) == bytes);
    tracefile::Event logged;
    check(tracefile::parseLine("Dec 08 14:14:18 box rs232c-daemon[123]: " + line, logged));
    check(logged.field == event.field && logged.name == event.name);
    tracefile::parseLine(bytes, logged);

    // Bytes cut into lines in two pieces, or at once, make the same lines.
    std::size_t tooLongOnce = 0, tooLongTwice = 0;
    std::size_t longest = 1 + (size ? data[0] : 0);
    auto once = linesOf(bytes, 0, longest, tooLongOnce);
    auto twice = linesOf(bytes, size / 2, longest, tooLongTwice);
    check(once == twice && tooLongOnce == tooLongTwice);
    for (const std::string& cut : once) {
        check(cut.size() <= longest && cut.find('\n') == std::string::npos);
    }

    std::istringstream trace(bytes);
    for (const auto& exchange : tcsim::recordedExchanges(trace)) {
        for (const tcsim::Step& step : exchange.answer) {
            check(step.ms >= 0 && step.ms <= tcsim::kLongestDelaySeconds * 1000);
        }
    }

    for (escapes::Shown shown : {escapes::Shown::Bytes, escapes::Shown::Text}) {
        std::string printed = escapes::escape(bytes, shown);
        for (unsigned char c : printed) check(c >= 0x20 && c != 0x7F);
        check(printed.find("\xC2\x9B") == std::string::npos);  // CSI, a C1 control
        std::string back;
        check(escapes::unescape(printed, back) && back == bytes);
    }
    return 0;
}
