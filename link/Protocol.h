// Byte-level rules of the tool-controller protocol, kept apart from the I/O so that each can be
// tested and fuzzed without a port. RS232CCom owns the descriptors and feeds these pieces.
#ifndef LINK_PROTOCOL_H
#define LINK_PROTOCOL_H

#include <cstddef>
#include <string>
#include <vector>

namespace protocol {

// The outcome of an exchange, as the command methods return it.
enum Result : int {
    Acknowledged = 1,  // the expected reply came (a dialogue: its closing line)
    Refused = 0,       // the controller answered with a line beginning "CER"
    OpenFailed = -1,   // the adapter could not be opened; nothing was sent
    TimedOut = -2,     // the line the call waits for did not come in time
    LineFailed = -3,   // a read or write failed, or the line hung up
};

// What a string method returns in place of data for a failed exchange: "open_error",
// "recv_timeout" or "recv_error".
const char* statusWord(Result failure);

// A reply line keeps at most this many bytes for matching; the rest of a longer line is read
// and dropped, so a chatty line can never overrun anything.
constexpr std::size_t kMaxLineBytes = 4095;

// True when `line`, padded with zero bytes, begins with `prefix` byte for byte.
bool beginsWith(const std::string& line, const std::string& prefix);

// The refusal that ends a dialogue or the version query: a line that is "CER" CR LF.
bool isRefusalLine(const std::string& line);

// Splits received bytes into reply lines, one byte at a time.
class LineFramer {
  public:
    enum Rule {
        // Command transactions: a line ends at a CR immediately followed by an LF in the
        // received bytes, however long the pause between them; any other byte cancels the CR.
        CrLf,
        // Dialogues and the version query: a line ends at the first LF that comes after a CR
        // anywhere earlier in the line.
        LfAfterCr,
    };
    explicit LineFramer(Rule rule) : rule(rule) {}

    // Feeds one received byte; true when it completed the line.
    bool feed(unsigned char byte);
    // A CR is pending: a window that closes now still yields a complete line.
    bool crPending() const { return crSeen; }
    const std::string& line() const { return lineBytes; }
    void startLine();

  private:
    Rule rule;
    std::string lineBytes;  // the line so far, at most kMaxLineBytes of it
    bool crSeen = false;
};

// Matches complete reply lines against an expected reply. An expected reply of several CR LF
// lines is acknowledged by consecutive lines that begin with its lines in order.
class ReplyMatcher {
  public:
    enum Outcome { Acknowledged, Refused, Dropped };
    explicit ReplyMatcher(const std::string& expected);
    Outcome onLine(const std::string& line);

  private:
    std::vector<std::string> parts;
    std::size_t next = 0;
};

// The checksummed frame: text (up to its first zero byte), "@", the 8-bit sum of the text bytes
// as one raw byte, CR, LF.
std::string checksummedFrame(const std::string& text);

// Reply item of a dialogue or version line: the line up to its first zero byte less its last four
// bytes, followed by a comma; a line shorter than four bytes gives a lone comma.
std::string replyItem(const std::string& line);

// Status lines the tool controller sends on its own: "OK" 1, "CUP" 3, "WNG"/"FNG" 2, "FSP" 5,
// "FSC" 6; any other line leaves `previous`.
int classifyStatusLine(const std::string& line, int previous);

// Splits the status lines of a poll (a CR followed directly by an LF ends a line) and classifies
// each, the unterminated rest included once `finish` is called.
class StatusLineScanner {
  public:
    void feed(unsigned char byte);
    int finish();

  private:
    std::string lineBytes;  // the line so far, at most kMaxLineBytes of it
    bool crSeen = false;
    int result = 0;
};

// Printable rendering: CR and LF become ".", 0x20..0x7E are copied, anything else is a space.
std::string renderPrintable(const std::string& bytes);
// Hexadecimal rendering: "," becomes "."; other bytes "-XX", the byte at index 0 without "-".
std::string renderHex(const std::string& bytes);

}  // namespace protocol

#endif
