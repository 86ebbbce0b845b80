// The trace reader (rs232c-sim --replay, rs232c-trace): whatever line it is given it never
// crashes, and it reads back every byte sequence exactly as the daemon's trace writes it. What
// the tools print of those bytes holds no byte a terminal acts on, and reads back to them.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "tools/common/Escapes.h"
#include "tools/trace/TraceFile.h"
#include "trace/TraceLog.h"

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

    for (escapes::Shown shown : {escapes::Shown::Bytes, escapes::Shown::Text}) {
        std::string printed = escapes::escape(bytes, shown);
        for (unsigned char c : printed) check(c >= 0x20 && c != 0x7F);
        check(printed.find("\xC2\x9B") == std::string::npos);  // CSI, a C1 control
        std::string back;
        check(escapes::unescape(printed, back) && back == bytes);
    }
    return 0;
}
