#include "link/Protocol.h"

#include <cstdio>

namespace protocol {

namespace {

constexpr unsigned char CR = 0x0D;
constexpr unsigned char LF = 0x0A;

void keep(std::string& line, unsigned char byte) {
    if (line.size() < kMaxLineBytes) line.push_back(static_cast<char>(byte));
}

}  // namespace

const char* statusWord(Result failure) {
    switch (failure) {
        case OpenFailed:
            return "open_error";
        case TimedOut:
            return "recv_timeout";
        case Acknowledged:
        case Refused:
        case LineFailed:
            break;
    }
    return "recv_error";
}

bool beginsWith(const std::string& line, const std::string& prefix) {
    // The line buffer of the controller protocol is zero-filled beyond the bytes received.
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char have = i < line.size() ? line[i] : '\0';
        if (have != prefix[i]) return false;
    }
    return true;
}

bool isRefusalLine(const std::string& line) {
    return beginsWith(line, "CER\r\n");
}

void LineFramer::startLine() {
    lineBytes.clear();
    crSeen = false;
}

bool LineFramer::feed(unsigned char byte) {
    keep(lineBytes, byte);
    if (byte == CR) {
        crSeen = true;
        return false;
    }
    bool complete = crSeen && byte == LF;
    if (rule == CrLf) crSeen = false;
    return complete;
}

ReplyMatcher::ReplyMatcher(const std::string& expected) {
    std::size_t start = 0;
    for (std::size_t end; (end = expected.find("\r\n", start)) != std::string::npos;
         start = end + 2) {
        parts.push_back(expected.substr(start, end + 2 - start));
    }
    if (start < expected.size() || parts.empty()) parts.push_back(expected.substr(start));
}

ReplyMatcher::Outcome ReplyMatcher::onLine(const std::string& line) {
    if (beginsWith(line, parts[next])) {
        if (++next < parts.size()) return Dropped;
        next = 0;
        return Acknowledged;
    }
    if (beginsWith(line, "CER")) return Refused;
    // A line that breaks a multi-line sequence may itself begin a new one.
    next = (parts.size() > 1 && beginsWith(line, parts[0])) ? 1 : 0;
    return Dropped;
}

std::string checksummedFrame(const std::string& text) {
    std::string frame = text.substr(0, text.find('\0'));
    unsigned char sum = 0;
    for (char c : frame) sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    frame.push_back('@');
    frame.push_back(static_cast<char>(sum));
    frame += "\r\n";
    return frame;
}

std::string replyItem(const std::string& line) {
    std::size_t length = line.find('\0');
    if (length == std::string::npos) length = line.size();
    if (length < 4) return ",";
    return line.substr(0, length - 4) + ",";
}

int classifyStatusLine(const std::string& line, int previous) {
    static const struct {
        const char* head;
        int value;
    } rows[] = {{"OK", 1}, {"CUP", 3}, {"WNG", 2}, {"FNG", 2}, {"FSP", 5}, {"FSC", 6}};
    for (const auto& row : rows) {
        if (beginsWith(line, row.head)) return row.value;
    }
    return previous;
}

void StatusLineScanner::feed(unsigned char byte) {
    keep(lineBytes, byte);
    if (byte == CR) {
        crSeen = true;
        return;
    }
    if (!crSeen) return;
    crSeen = false;
    if (byte == LF) {
        result = classifyStatusLine(lineBytes, result);
        lineBytes.clear();
    }
}

int StatusLineScanner::finish() {
    if (!lineBytes.empty()) result = classifyStatusLine(lineBytes, result);
    lineBytes.clear();
    crSeen = false;
    return result;
}

std::string renderPrintable(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b == CR || b == LF) {
            text.push_back('.');
        } else if (b >= 0x20 && b <= 0x7E) {
            text.push_back(c);
        } else {
            text.push_back(' ');
        }
    }
    return text;
}

std::string renderHex(const std::string& bytes) {
    std::string text;
    text.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == ',') {
            text.push_back('.');
            continue;
        }
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", static_cast<unsigned char>(bytes[i]));
        if (i != 0) text.push_back('-');
        text += hex;
    }
    return text;
}

}  // namespace protocol
