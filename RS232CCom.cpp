#include "RS232CCom.h"

#include <termios.h>

#include <cstring>
#include <sstream>

#include "link/Protocol.h"

using serialio::Clock;
using serialio::FileDescriptor;
using serialio::Wait;

namespace {

// A line that never falls silent would otherwise keep the drain going for ever.
constexpr int kMaxDrainPasses = 10;
// Dialogue lines each get a fresh window of this many seconds.
constexpr int kDialogueWindow = 10;
constexpr int kDefaultWindow = 10;
constexpr int kTextFormReads = 100;

const char* const kOpenError = "open_error";
const char* const kRecvError = "recv_error";
const char* const kRecvTimeout = "recv_timeout";
const char* const kSOK = "SOK\r\n";
const char* const kCER = "CER\r\n";

Clock::time_point windowEnd(int seconds) {
    return Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
}

enum class LineWait { Line, TimedOut, Failed };

// Reads one dialogue line with a window of `seconds`; a window that closes after a CR in the
// line still yields the line.
LineWait readDialogueLine(int fd, int seconds, protocol::LineFramer& framer) {
    framer.startLine();
    auto deadline = windowEnd(seconds);
    for (;;) {
        unsigned char byte;
        Wait wait = serialio::readByte(fd, deadline, byte);
        if (wait == Wait::Failed) return LineWait::Failed;
        if (wait == Wait::WindowClosed)
            return framer.crPending() ? LineWait::Line : LineWait::TimedOut;
        if (framer.feed(byte)) return LineWait::Line;
    }
}

}  // namespace

RS232CCom::RS232CCom(std::string device) : device(std::move(device)) {}

// The held port, if any, is closed by its owner.
RS232CCom::~RS232CCom() = default;

std::string RS232CCom::getTitle() const {
    std::lock_guard<std::mutex> lock(titleLock);
    return (title.empty() ? std::string("No title set") : title) + " (C++)";
}

void RS232CCom::setTitle(std::string newTitle) {
    std::lock_guard<std::mutex> lock(titleLock);
    title = std::move(newTitle);
}

std::string RS232CCom::getMessage(std::string name) const {
    if (name.empty()) return "No name set";
    std::ostringstream message;
    message << "Hello " << name << ", welcome to Tessaryn!";
    return message.str();
}

void RS232CCom::serial_reset(int fd) {
    termios tio;
    std::memset(&tio, 0, sizeof tio);
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetspeed(&tio, B38400);
    tcflush(fd, TCIOFLUSH);
    tcsetattr(fd, TCSANOW, &tio);
}

void RS232CCom::clearRecvBuf(int fd) {
    for (int pass = 1;; ++pass) {
        int available = serialio::pendingBytes(fd);
        bool lineFailed = false;
        for (int got = 0; got < available; ++got) {
            unsigned char byte;
            // Bytes reported but not delivered: the adapter is gone; stop instead of spinning.
            if (serialio::readNow(fd, byte) != 1) {
                lineFailed = true;
                break;
            }
            appendReceived(static_cast<char>(byte));
        }
        serialio::pause100ms();
        if (lineFailed || pass >= kMaxDrainPasses || serialio::pendingBytes(fd) <= 0) break;
    }
    if (!lastRecvData.empty()) appendReceived(',');
}

void RS232CCom::appendReceived(char byte) {
    if (byte == '\0') return;  // never kept, as the renderings treat text as zero-terminated
    lastRecvData.push_back(byte);
    // Trim in slices so that appending stays cheap; the renderings trim the rest.
    if (lastRecvData.size() > kLastRecvDataCap + kLastRecvDataCap / 16) {
        lastRecvData.erase(0, lastRecvData.size() - kLastRecvDataCap);
    }
}

std::string RS232CCom::takeLastRecvData() {
    std::string data;
    data.swap(lastRecvData);
    if (data.size() > kLastRecvDataCap) data.erase(0, data.size() - kLastRecvDataCap);
    return data;
}

bool RS232CCom::holdPort() {
    if (g_fd.isOpen()) return true;
    g_fd = serialio::openDevice(device);
    if (!g_fd.isOpen()) return false;
    serial_reset(g_fd.get());
    return true;
}

int RS232CCom::awaitReply(int fd, const std::string& resCmd, int timeout, bool record) {
    protocol::ReplyMatcher matcher(resCmd);
    protocol::LineFramer framer(protocol::LineFramer::CrLf);
    for (;;) {
        framer.startLine();
        auto deadline = windowEnd(timeout);
        bool complete = false;
        for (;;) {
            unsigned char byte;
            Wait wait = serialio::readByte(fd, deadline, byte);
            if (wait == Wait::Failed) return -3;
            if (wait == Wait::WindowClosed) {
                complete = framer.crPending();
                break;
            }
            if (record) appendReceived(static_cast<char>(byte));
            if (framer.feed(byte)) {
                complete = true;
                break;
            }
        }
        if (!complete) return -2;
        switch (matcher.onLine(framer.line())) {
            case protocol::ReplyMatcher::Acknowledged:
                return 1;
            case protocol::ReplyMatcher::Refused:
                return 0;
            case protocol::ReplyMatcher::Dropped:
                break;
        }
    }
}

int RS232CCom::transaction(Port port, const std::string& cmd, const std::string& resCmd,
                           int timeout) {
    std::lock_guard<std::mutex> lock(serialLock);
    lastRecvData.clear();
    FileDescriptor perCall;
    int fd;
    if (port == Port::Held) {
        if (!holdPort()) return -1;
        fd = g_fd.get();
    } else {
        perCall = serialio::openDevice(device);
        if (!perCall.isOpen()) return -1;
        fd = perCall.get();
        serial_reset(fd);
    }
    clearRecvBuf(fd);
    serialio::writeFrame(fd, cmd);
    serialio::pause100ms();
    return awaitReply(fd, resCmd, timeout, port == Port::Held);
}

int RS232CCom::sendCmd(std::string cmd, std::string resCmd, int timeout) {
    return transaction(Port::PerCall, cmd, resCmd, timeout);
}

int RS232CCom::sendCmd(std::string cmd, std::string resCmd) {
    return sendCmd(std::move(cmd), std::move(resCmd), kDefaultWindow);
}

int RS232CCom::sendCmdScipt(std::string cmd, std::string resCmd, int timeout) {
    return transaction(Port::Held, cmd, resCmd, timeout);
}

std::string RS232CCom::sendCmd(std::string cmd) {
    std::lock_guard<std::mutex> lock(serialLock);
    FileDescriptor port = serialio::openDevice(device);
    if (!port.isOpen()) return kOpenError;
    serial_reset(port.get());
    clearRecvBuf(port.get());
    serialio::writeFrame(port.get(), cmd);
    serialio::pause100ms();
    // No framing and no window: whatever arrived in the pause, up to the read limit.
    std::string received;
    for (int readCnt = 1; readCnt <= kTextFormReads; ++readCnt) {
        unsigned char byte;
        int n = serialio::readNow(port.get(), byte);
        if (n < 0) return kRecvError;
        if (n == 0) break;
        received.push_back(static_cast<char>(byte));
    }
    return received.substr(0, received.find('\0'));
}

int RS232CCom::recvCmdInf() {
    std::lock_guard<std::mutex> lock(serialLock);
    if (!holdPort()) return -1;
    int fd = g_fd.get();
    // A vanished adapter reports nothing pending; that is a failed line, not a quiet one.
    if (serialio::lineFailed(fd)) return -3;
    int available = serialio::pendingBytes(fd);
    if (available <= 0) return 0;
    lastRecvData.clear();
    protocol::StatusLineScanner scanner;
    for (int got = 0; got < available; ++got) {
        unsigned char byte;
        int n = serialio::readNow(fd, byte);
        if (n < 0) return -3;
        if (n == 0) break;  // reported but not delivered: keep what was classified
        appendReceived(static_cast<char>(byte));
        scanner.feed(byte);
    }
    return scanner.finish();
}

int RS232CCom::serialClose() {
    std::lock_guard<std::mutex> lock(serialLock);
    g_fd.reset();
    return 0;
}

std::string RS232CCom::getLastRecvDataBinStr() {
    std::lock_guard<std::mutex> lock(serialLock);
    return protocol::renderHex(takeLastRecvData());
}

std::string RS232CCom::getLastRecvDataStr() {
    std::lock_guard<std::mutex> lock(serialLock);
    return protocol::renderPrintable(takeLastRecvData());
}

int RS232CCom::fixedCommand(Fixed which) {
    static const struct {
        const char* cmd;
        const char* reply;
        Port port;
        int timeout;
    } table[] = {
        /* FWD */ {"FWD\r\n", "FWD\r\n", Port::Held, 10},
        /* RVS */ {"RVS\r\n", "RVS\r\n", Port::Held, 10},
        /* STP */ {"STP\r\n", "STP\r\n", Port::Held, 1},
        /* RST */ {"RST\r\n", "SOK\r\n", Port::PerCall, 10},
        /* WIN */ {"WIN\r\n", "WIN\r\n", Port::Held, 1},
        /* WOT */ {"WOT\r\n", "WOT\r\n", Port::Held, 1},
        /* WOTWithWNG */ {"WOT\r\n", "WOT\r\nWNG\r\n", Port::Held, 1},
        /* WRT */ {"WRT\r\n", "WRT\r\n", Port::Held, 1},
    };
    const auto& row = table[static_cast<int>(which)];
    return transaction(row.port, row.cmd, row.reply, row.timeout);
}

int RS232CCom::sendCmdFWD() {
    return fixedCommand(Fixed::FWD);
}
int RS232CCom::sendCmdRVS() {
    return fixedCommand(Fixed::RVS);
}
int RS232CCom::sendCmdSTP() {
    return fixedCommand(Fixed::STP);
}
int RS232CCom::sendCmdRST() {
    return fixedCommand(Fixed::RST);
}
int RS232CCom::sendCmdWIN() {
    return fixedCommand(Fixed::WIN);
}
int RS232CCom::sendCmdWOT() {
    return fixedCommand(Fixed::WOT);
}
int RS232CCom::sendCmdWOTWithWNG() {
    return fixedCommand(Fixed::WOTWithWNG);
}
int RS232CCom::sendCmdWRT() {
    return fixedCommand(Fixed::WRT);
}

int RS232CCom::sendCmdCST(std::string cmd) {
    return sendCmd(protocol::checksummedFrame(cmd), kSOK);
}

int RS232CCom::sendCmdCOM(std::string cmd) {
    return sendCmd(protocol::checksummedFrame(cmd), kSOK);
}

int RS232CCom::sendCmdCH(std::string ch) {
    return sendCmdScipt("MOV:" + ch + "\r\n", "CH :" + ch + "\r\n", 10);
}

std::string RS232CCom::dialogue(const std::string& frame, bool failOnWriteError, bool acceptCST) {
    std::lock_guard<std::mutex> lock(serialLock);
    lastRecvData.clear();
    FileDescriptor port = serialio::openDevice(device);
    if (!port.isOpen()) return kOpenError;
    int fd = port.get();
    serial_reset(fd);
    clearRecvBuf(fd);
    if (serialio::writeFrame(fd, frame) < 0 && failOnWriteError) return kOpenError;
    serialio::pause100ms();

    // No overall limit: every line gets a fresh window, for long data transfers.
    std::string items;
    protocol::LineFramer framer(protocol::LineFramer::LfAfterCr);
    for (;;) {
        LineWait wait = readDialogueLine(fd, kDialogueWindow, framer);
        if (wait == LineWait::Failed) return kRecvError;
        if (wait == LineWait::TimedOut) return kRecvTimeout;
        const std::string& line = framer.line();
        bool closing = protocol::beginsWith(line, "RST\r\n");
        bool data =
            (acceptCST && protocol::beginsWith(line, "CST:")) || protocol::beginsWith(line, "COM:");
        if (!closing && !data) continue;
        if (data) items += protocol::replyItem(line);
        serialio::writeFrame(fd, kSOK);
        serialio::pause100ms();
        if (closing) return items;
    }
}

std::string RS232CCom::sendCmdCOS() {
    return dialogue("COS\r\n", true, false);
}

std::string RS232CCom::sendCmdCHS(std::string ch) {
    return dialogue(protocol::checksummedFrame("CHS:" + ch), false, true);
}

std::string RS232CCom::sendCmdVER(int isScript, int timeout) {
    std::lock_guard<std::mutex> lock(serialLock);
    lastRecvData.clear();
    FileDescriptor perCall;
    int fd;
    if (isScript) {
        if (!holdPort()) return kOpenError;
        fd = g_fd.get();
    } else {
        perCall = serialio::openDevice(device);
        if (!perCall.isOpen()) return kOpenError;
        fd = perCall.get();
    }
    // Set up and drained on every call, the held port too.
    serial_reset(fd);
    clearRecvBuf(fd);
    if (serialio::writeFrame(fd, "VER\r\n") < 0) return kOpenError;
    serialio::pause100ms();

    std::string result;
    protocol::LineFramer framer(protocol::LineFramer::LfAfterCr);
    for (int dataCnt = 0; dataCnt < 2;) {
        LineWait wait = readDialogueLine(fd, timeout, framer);
        if (wait == LineWait::Failed) return kRecvError;
        if (wait == LineWait::TimedOut) {
            result = kRecvTimeout;
            break;
        }
        if (protocol::beginsWith(framer.line(), kCER)) {
            result = kCER;
            lastRecvData = kCER;
            break;
        }
        std::string item = protocol::replyItem(framer.line());
        result += item;
        for (char c : item) appendReceived(c);
        ++dataCnt;
        serialio::pause100ms();
    }
    clearRecvBuf(fd);
    return result;
}

int RS232CCom::sendCmdVERScript() {
    std::string result = sendCmdVER(1, 10);
    if (result == kOpenError) return -1;
    if (result == kRecvTimeout) return -2;
    if (result == kRecvError) return -3;
    if (result == kCER) return 0;
    return 1;
}
