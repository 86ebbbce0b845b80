// The two renderings of the received bytes and the checksummed frame.
#include <cstdint>
#include <string>

#include "FuzzCheck.h"
#include "link/Protocol.h"

using namespace protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);

    std::string printable = renderPrintable(bytes);
    check(printable.size() == bytes.size());
    for (char c : printable) check(c >= 0x20 && c <= 0x7E);

    std::string hex = renderHex(bytes);
    std::size_t commas = 0;
    for (char c : bytes) commas += c == ',';
    std::size_t others = bytes.size() - commas;
    bool firstIsByte = !bytes.empty() && bytes[0] != ',';
    check(hex.size() == commas + others * 3 - (firstIsByte ? 1 : 0));

    std::string frame = checksummedFrame(bytes);
    std::string text = bytes.substr(0, bytes.find('\0'));
    check(frame.size() == text.size() + 4);
    check(frame.compare(0, text.size(), text) == 0);
    unsigned sum = 0;
    for (unsigned char c : text) sum += c;
    check(frame[text.size()] == '@');
    check(static_cast<unsigned char>(frame[text.size() + 1]) == (sum & 0xFF));
    check(frame.compare(text.size() + 2, 2, "\r\n") == 0);
    return 0;
}
