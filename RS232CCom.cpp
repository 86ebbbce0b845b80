#include "RS232CCom.h"

#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "common/OutputStream.h"
#include "link/Timing.h"
#include "trace/TraceLog.h"

using protocol::Result;
using serialio::Clock;
using serialio::Wait;

namespace {

// The operations take their windows as whole seconds.
constexpr int kCommandWindow = static_cast<int>(timing::kCommandWindow.count());
constexpr int kShortWindow = static_cast<int>(timing::kShortWindow.count());
constexpr int kTextFormReads = 100;

const char* const kSOK = "SOK\r\n";
const char* const kCER = "CER\r\n";

Clock::time_point after(int seconds) {
    return Clock::now() + std::chrono::seconds(seconds > 0 ? seconds : 0);
}

// A chunk of the line's bytes in the trace ends at a line end or at this size.
constexpr std::size_t kChunkBytes = 256;

termios lineSettings() {
    termios tio;
    std::memset(&tio, 0, sizeof tio);
    tio.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetspeed(&tio, B38400);
    return tio;
}

}  // namespace

RS232CCom::RS232CCom(std::string device, TraceLog* trace)
    : device(std::move(device)),
      trace(trace),
      hangUpWatch([this](std::uint64_t generation) { onHangUp(generation); }) {}

// The hang-up watch stops first; the held port, if any, is released by its owner.
RS232CCom::~RS232CCom() = default;

std::string RS232CCom::getTitle() const {
    MutexLock lock(titleLock);
    return (title.empty() ? std::string("No title set") : title) + " (C++)";
}

std::string RS232CCom::titleText() const {
    MutexLock lock(titleLock);
    return title;
}

void RS232CCom::setTitle(std::string newTitle) {
    MutexLock lock(titleLock);
    title = std::move(newTitle);
}

std::string RS232CCom::getMessage(std::string name) const {
    if (name.empty()) return "No name set";
    std::ostringstream message;
    message << "Hello " << name << ", welcome to Tessaryn!";
    return message.str();
}

bool RS232CCom::serial_reset(int fd) {
    // What the flush would throw away is read into the record first.
    if (trace) {
        unsigned char byte;
        for (int pending = input.pendingBytes(fd); pending > 0; --pending) {
            if (readNow(fd, byte, Heard::Discarded) != 1) break;
        }
    }
    termios tio = lineSettings();
    input.clear();  // the flush throws away what was read beyond that, too
    if (tcflush(fd, TCIOFLUSH) != 0) return false;
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}

bool RS232CCom::restoreLineSettings(int fd) {
    termios wanted = lineSettings(), now;
    if (tcgetattr(fd, &now) != 0) return false;
    bool same = now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
                now.c_cflag == wanted.c_cflag && now.c_lflag == wanted.c_lflag &&
                now.c_cc[VMIN] == wanted.c_cc[VMIN] && now.c_cc[VTIME] == wanted.c_cc[VTIME] &&
                cfgetispeed(&now) == cfgetispeed(&wanted) &&
                cfgetospeed(&now) == cfgetospeed(&wanted);
    return same || tcsetattr(fd, TCSANOW, &wanted) == 0;
}

void RS232CCom::clearRecvBuf(int fd) {
    for (int pass = 1;; ++pass) {
        int available = input.pendingBytes(fd);
        bool lineFailed = false;
        for (int got = 0; got < available; ++got) {
            unsigned char byte;
            // Bytes reported but not delivered: the adapter is gone; stop instead of spinning.
            if (readNow(fd, byte, Heard::Drained) != 1) {
                lineFailed = true;
                break;
            }
            appendReceived(static_cast<char>(byte));
        }
        serialio::pause100ms();
        if (lineFailed || pass >= timing::kMaxDrainPasses || input.pendingBytes(fd) <= 0) {
            break;
        }
    }
    if (!lastRecvData.empty()) appendReceived(',');
}

RS232CCom::LineWait RS232CCom::readLine(int fd, Clock::time_point deadline,
                                        protocol::LineFramer& framer, Record record) {
    framer.startLine();
    for (;;) {
        unsigned char byte;
        Wait wait = readByte(fd, deadline, byte);
        if (wait == Wait::Failed) return LineWait::Failed;
        if (wait == Wait::WindowClosed) {
            if (framer.crPending()) return LineWait::Line;
            noteOutcome(LineState::NoReply);
            return LineWait::TimedOut;
        }
        if (record == Record::Everything) appendReceived(static_cast<char>(byte));
        if (framer.feed(byte)) return LineWait::Line;
    }
}

Wait RS232CCom::readByte(int fd, Clock::time_point deadline, unsigned char& byte) {
    Wait wait = input.readByte(fd, deadline, byte);
    if (wait == Wait::Byte) noteHeard(byte, Heard::Reply);
    if (wait == Wait::Failed) lineFailed();
    return wait;
}

int RS232CCom::readNow(int fd, unsigned char& byte, Heard why) {
    int n = input.readNow(fd, byte);
    if (n == 1) noteHeard(byte, why);
    if (n < 0) lineFailed();
    return n;
}

void RS232CCom::noteHeard(unsigned char byte, Heard why) {
    noteProgress(true, 1);
    noteOutcome(LineState::Answering);
    if (!trace) return;
    if (why != heardAs) recordHeard();
    heardAs = why;
    heard.push_back(static_cast<char>(byte));
    if (byte == '\n' || heard.size() >= kChunkBytes) recordHeard();
}

bool RS232CCom::writeFrame(int fd, const std::string& frame) {
    recordHeard();
    bool written = serialio::writeFrame(fd, frame);
    if (written) noteProgress(false, frame.size());
    if (!written) lineFailed();
    if (trace && !frame.empty()) {
        auto event = trace->event("tx");
        event.text("port", device).bytes(frame);
        if (!written) event.text("failure", "the line did not take the whole frame");
    }
    return written;
}

void RS232CCom::recordHeard() {
    if (!trace || heard.empty()) return;
    static const char* const names[] = {"rx", "drain", "discard"};
    trace->event(names[static_cast<int>(heardAs)]).text("port", device).bytes(heard);
    heard.clear();
}

void RS232CCom::recordPort(const char* event, const std::string& why) {
    recordHeard();
    if (!trace) return;
    auto record = trace->event(event);
    record.text("port", device);
    if (!why.empty()) record.text("reason", why);
}

RS232CCom::Lease::~Lease() NO_THREAD_SAFETY_ANALYSIS {
    // Leases live inside a LineScope, which the analysis cannot see from here.
    if (!own.isOpen()) return;
    own.release();
    com.recordPort("close");
}

RS232CCom::LineScope::LineScope(RS232CCom& com, LineQueue::Priority priority) : com(com) {
    com.serialLock.acquire(priority);
    com.lineBroke = false;
    com.callState = LineState::Unused;
    com.noteProgress(false, 0);
    com.lineTaken = true;
}

RS232CCom::LineScope::~LineScope() {
    com.endCall();
    com.serialLock.release();
}

void RS232CCom::endCall() {
    lineTaken = false;
    if (lineBroke && g_fd.isOpen()) {
        releaseHeldPort();
        recordPort("close", "the line failed");
        diagnostic("RS232C Daemon closed " + device + ": the line failed", Priority::Error);
    }
    recordHeard();
    if (callState != LineState::Unused) {
        MutexLock guard(statusLock);
        lastState = callState;
        lastOpenProblem = callState == LineState::OpenFailed ? openProblem : "";
    }
}

void RS232CCom::noteOutcome(LineState state) {
    // A failure outweighs what came before it in the call; a byte after a silent window
    // means the controller answers after all.
    if (callState == LineState::LineFailed || callState == LineState::OpenFailed) return;
    callState = state;
}

void RS232CCom::noteProgress(bool received, std::size_t bytes) {
    lastProgressNanos = std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count();
    if (bytes == 0) return;
    (received ? bytesReceived : bytesSent) += bytes;
    if (received) {
        lastReplyMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    }
}

RS232CCom::Status RS232CCom::status() const {
    Status now;
    {
        MutexLock guard(statusLock);
        now.state = lastState;
        now.openProblem = lastOpenProblem;
    }
    now.portHeld = portHeld;
    now.lastReplyTime = lastReplyMicros / 1e6;
    now.bytesSent = bytesSent;
    now.bytesReceived = bytesReceived;
    if (lineTaken) {
        auto since =
            std::chrono::steady_clock::time_point(std::chrono::nanoseconds(lastProgressNanos));
        now.stalled = std::max(std::chrono::steady_clock::duration::zero(),
                               std::chrono::steady_clock::now() - since);
    }
    return now;
}

void RS232CCom::adapterReturned() {
    MutexLock guard(statusLock);
    lastState = LineState::Unused;
    lastOpenProblem.clear();
}

Result RS232CCom::lineFailed() {
    lineBroke = true;
    noteOutcome(LineState::LineFailed);
    return protocol::LineFailed;
}

Result RS232CCom::setUpFailed(const char* what) {
    diagnostic(
        "RS232C Daemon cannot " + std::string(what) + " " + device + ": " + std::strerror(errno),
        Priority::Error);
    return lineFailed();
}

void RS232CCom::appendReceived(char byte) {
    if (byte == '\0') return;  // never kept, as the renderings treat text as zero-terminated
    lastRecvData.push_back(byte);
    // Trim in slices so that appending stays cheap; the renderings trim the rest.
    if (lastRecvData.size() > kLastRecvDataCap + kLastRecvDataCap / 16) {
        lastRecvData.erase(0, lastRecvData.size() - kLastRecvDataCap);
    }
}

void RS232CCom::appendReceived(const std::string& bytes) {
    for (char byte : bytes) appendReceived(byte);
}

std::string RS232CCom::takeLastRecvData() {
    std::string data;
    data.swap(lastRecvData);
    if (data.size() > kLastRecvDataCap) data.erase(0, data.size() - kLastRecvDataCap);
    return data;
}

serialio::ExclusivePort RS232CCom::openPort() {
    std::string problem;
    serialio::ExclusivePort port = serialio::ExclusivePort::open(device, problem);
    // One line per change, not per call: the journal tells an operator what is wrong.
    if (problem != openProblem) {
        diagnostic(problem.empty() ? "RS232C Daemon can open " + device + " again"
                                   : "RS232C Daemon cannot open " + device + ": " + problem,
                   problem.empty() ? Priority::Info : Priority::Warning);
        openProblem = problem;
    }
    recordPort(port.isOpen() ? "open" : "refused", problem);
    if (!port.isOpen()) noteOutcome(LineState::OpenFailed);
    return port;
}

std::optional<Result> RS232CCom::acquire(Port port, Lease& lease) {
    bool wasHeld = g_fd.isOpen();
    // Without a held port, what the reader holds came from a port closed since.
    if (!wasHeld) input.clear();
    if (port != Port::PerCall || wasHeld) {
        if (!wasHeld) {
            g_fd = openPort();
            if (!g_fd.isOpen()) return protocol::OpenFailed;
            portHeld = true;
            hangUpWatch.watch(g_fd.get(), ++heldGeneration);
        }
        lease.fd = g_fd.get();
    } else {
        lease.own = openPort();
        if (!lease.own.isOpen()) return protocol::OpenFailed;
        lease.fd = lease.own.get();
    }
    // A held port keeps what arrived since the last call, for the drain to record.
    if (port == Port::Held && wasHeld) {
        if (!restoreLineSettings(lease.fd)) return setUpFailed("restore the line settings of");
    } else if (!serial_reset(lease.fd)) {
        return setUpFailed("set up");
    }
    return std::nullopt;
}

std::optional<Result> RS232CCom::begin(Port port, const std::string& frame, Lease& lease) {
    if (auto failed = acquire(port, lease)) return failed;
    clearRecvBuf(lease.fd);
    if (!writeFrame(lease.fd, frame)) return protocol::LineFailed;
    serialio::pause100ms();
    return std::nullopt;
}

void RS232CCom::releaseHeldPort() {
    portHeld = false;
    hangUpWatch.watch(-1, ++heldGeneration);
    g_fd.release();
}

void RS232CCom::onHangUp(std::uint64_t generation) try {
    LineScope scope(*this);
    if (generation != heldGeneration || !g_fd.isOpen()) return;
    releaseHeldPort();
    noteOutcome(LineState::LineFailed);
    recordPort("hangup");
    diagnostic("RS232C Daemon closed " + device + ": the adapter hung up");
} catch (const LineQueue::Refused&) {
    // The daemon is stopping; the held port closes with it.
}

Result RS232CCom::awaitReply(int fd, const std::string& resCmd, int timeout, Record record) {
    protocol::ReplyMatcher matcher(resCmd);
    protocol::LineFramer framer(protocol::LineFramer::CrLf);
    auto giveUp = after(timing::kWindowsWithoutProgress * std::max(timeout, 0));
    for (;;) {
        // Each line gets a fresh window, within the bound of the whole wait.
        LineWait wait = readLine(fd, std::min(after(timeout), giveUp), framer, record);
        if (wait == LineWait::Failed) return protocol::LineFailed;
        if (wait == LineWait::TimedOut) return protocol::TimedOut;
        switch (matcher.onLine(framer.line())) {
            case protocol::ReplyMatcher::Acknowledged:
                return protocol::Acknowledged;
            case protocol::ReplyMatcher::Refused:
                return protocol::Refused;
            case protocol::ReplyMatcher::Dropped:
                break;
        }
    }
}

int RS232CCom::transaction(Port port, const std::string& cmd, const std::string& resCmd,
                           int timeout, Record record, LineQueue::Priority priority) {
    LineScope scope(*this, priority);
    lastRecvData.clear();
    Lease lease(*this);
    if (auto failed = begin(port, cmd, lease)) return *failed;
    return awaitReply(lease.fd, resCmd, timeout, record);
}

int RS232CCom::sendCmd(std::string cmd, std::string resCmd, int timeout) {
    return transaction(Port::PerCall, cmd, resCmd, timeout, Record::DrainedOnly);
}

int RS232CCom::sendCmd(std::string cmd, std::string resCmd) {
    return sendCmd(std::move(cmd), std::move(resCmd), kCommandWindow);
}

int RS232CCom::sendCmdScipt(std::string cmd, std::string resCmd, int timeout) {
    return transaction(Port::Held, cmd, resCmd, timeout, Record::Everything);
}

std::string RS232CCom::sendCmd(std::string cmd) {
    LineScope scope(*this);
    Lease lease(*this);
    if (auto failed = begin(Port::PerCall, cmd, lease)) return protocol::statusWord(*failed);
    // No framing and no window: whatever arrived in the pause, up to the read limit.
    std::string received;
    for (int readCnt = 1; readCnt <= kTextFormReads; ++readCnt) {
        unsigned char byte;
        int n = readNow(lease.fd, byte, Heard::Reply);
        // An adapter that hung up reads as empty; that is a failed line, not a quiet one.
        if (n < 0 || (n == 0 && serialio::lineFailed(lease.fd))) {
            return protocol::statusWord(lineFailed());
        }
        if (n == 0) break;
        received.push_back(static_cast<char>(byte));
    }
    return received.substr(0, received.find('\0'));
}

int RS232CCom::recvCmdInf() {
    LineScope scope(*this);
    Lease lease(*this);
    if (auto failed = acquire(Port::Held, lease)) return *failed;
    if (serialio::lineFailed(lease.fd)) return lineFailed();
    int available = input.pendingBytes(lease.fd);
    if (available <= 0) return 0;
    lastRecvData.clear();
    protocol::StatusLineScanner scanner;
    for (int got = 0; got < available; ++got) {
        unsigned char byte;
        int n = readNow(lease.fd, byte, Heard::Reply);
        if (n < 0) return protocol::LineFailed;
        if (n == 0) break;  // reported but not delivered: keep what was classified
        appendReceived(static_cast<char>(byte));
        scanner.feed(byte);
    }
    return scanner.finish();
}

int RS232CCom::serialClose() {
    LineScope scope(*this);
    if (g_fd.isOpen()) {
        releaseHeldPort();
        recordPort("close");
    }
    return 0;
}

std::string RS232CCom::getLastRecvDataBinStr() {
    LineTurn turn(serialLock);
    return protocol::renderHex(takeLastRecvData());
}

std::string RS232CCom::getLastRecvDataStr() {
    LineTurn turn(serialLock);
    return protocol::renderPrintable(takeLastRecvData());
}

int RS232CCom::fixedCommand(FixedCommand which) {
    static const struct {
        const char* cmd;
        const char* reply;
        Port port;
        int timeout;
    } table[] = {
        /* FWD */ {"FWD\r\n", "FWD\r\n", Port::Held, kCommandWindow},
        /* RVS */ {"RVS\r\n", "RVS\r\n", Port::Held, kCommandWindow},
        /* STP */ {"STP\r\n", "STP\r\n", Port::Held, kShortWindow},
        /* RST */ {"RST\r\n", "SOK\r\n", Port::PerCall, kCommandWindow},
        /* WIN */ {"WIN\r\n", "WIN\r\n", Port::Held, kShortWindow},
        /* WOT */ {"WOT\r\n", "WOT\r\n", Port::Held, kShortWindow},
        /* WOTWithWNG */ {"WOT\r\n", "WOT\r\nWNG\r\n", Port::Held, kShortWindow},
        /* WRT */ {"WRT\r\n", "WRT\r\n", Port::Held, kShortWindow},
    };
    const auto& row = table[static_cast<int>(which)];
    // Stopping the tool goes ahead of every call still waiting for the line, and cancels them.
    if (which == FixedCommand::STP) {
        return transaction(row.port, row.cmd, row.reply, row.timeout, Record::Everything,
                           LineQueue::Priority::Urgent);
    }
    return row.port == Port::Held ? sendCmdScipt(row.cmd, row.reply, row.timeout)
                                  : sendCmd(row.cmd, row.reply, row.timeout);
}

int RS232CCom::sendCmdFWD() {
    return fixedCommand(FixedCommand::FWD);
}
int RS232CCom::sendCmdRVS() {
    return fixedCommand(FixedCommand::RVS);
}
int RS232CCom::sendCmdSTP() {
    return fixedCommand(FixedCommand::STP);
}
int RS232CCom::sendCmdRST() {
    return fixedCommand(FixedCommand::RST);
}
int RS232CCom::sendCmdWIN() {
    return fixedCommand(FixedCommand::WIN);
}
int RS232CCom::sendCmdWOT() {
    return fixedCommand(FixedCommand::WOT);
}
int RS232CCom::sendCmdWOTWithWNG() {
    return fixedCommand(FixedCommand::WOTWithWNG);
}
int RS232CCom::sendCmdWRT() {
    return fixedCommand(FixedCommand::WRT);
}

int RS232CCom::sendCmdCST(std::string cmd) {
    return sendCmd(protocol::checksummedFrame(cmd), kSOK);
}

int RS232CCom::sendCmdCOM(std::string cmd) {
    return sendCmd(protocol::checksummedFrame(cmd), kSOK);
}

int RS232CCom::sendCmdCH(std::string ch) {
    return sendCmdScipt("MOV:" + ch + "\r\n", "CH :" + ch + "\r\n", kCommandWindow);
}

std::string RS232CCom::dialogue(const std::string& frame, DataLines dataLines) {
    LineScope scope(*this);
    lastRecvData.clear();
    Lease lease(*this);
    if (auto failed = begin(Port::PerCall, frame, lease)) return protocol::statusWord(*failed);
    // Every line gets a fresh window, for long data transfers; lines that carry nothing get no
    // more than a few windows after the last data line.
    std::string items;
    auto failWith = [&](const std::string& result) REQUIRES(serialLock) {
        appendReceived(items);  // what the controller believes it delivered stays readable
        return result;
    };
    protocol::LineFramer framer(protocol::LineFramer::LfAfterCr);
    auto giveUp = after(timing::kWindowsWithoutProgress * kCommandWindow);
    for (;;) {
        LineWait wait = readLine(lease.fd, std::min(after(kCommandWindow), giveUp), framer,
                                 Record::DrainedOnly);
        if (wait == LineWait::Failed) return failWith(protocol::statusWord(protocol::LineFailed));
        if (wait == LineWait::TimedOut) return failWith(protocol::statusWord(protocol::TimedOut));
        const std::string& line = framer.line();
        if (protocol::isRefusalLine(line)) return failWith(kCER);
        bool closing = protocol::beginsWith(line, "RST\r\n");
        bool data = (dataLines == DataLines::CstAndCom && protocol::beginsWith(line, "CST:")) ||
                    protocol::beginsWith(line, "COM:");
        if (!closing && !data) continue;
        if (data) items += protocol::replyItem(line);
        if (!writeFrame(lease.fd, kSOK))
            return failWith(protocol::statusWord(protocol::LineFailed));
        serialio::pause100ms();
        if (closing) return items;
        giveUp = after(timing::kWindowsWithoutProgress * kCommandWindow);
    }
}

std::string RS232CCom::sendCmdCOS() {
    return dialogue("COS\r\n", DataLines::ComOnly);
}

std::string RS232CCom::sendCmdCHS(std::string ch) {
    return dialogue(protocol::checksummedFrame("CHS:" + ch), DataLines::CstAndCom);
}

RS232CCom::VersionReply RS232CCom::versionQuery(Port port, int timeout) {
    LineScope scope(*this);
    lastRecvData.clear();
    Lease lease(*this);
    if (auto failed = begin(port, "VER\r\n", lease)) return {*failed, ""};

    VersionReply reply{protocol::Acknowledged, ""};
    protocol::LineFramer framer(protocol::LineFramer::LfAfterCr);
    for (int dataCnt = 0; dataCnt < 2;) {
        LineWait wait = readLine(lease.fd, after(timeout), framer, Record::DrainedOnly);
        if (wait == LineWait::Failed) return {protocol::LineFailed, reply.items};
        if (wait == LineWait::TimedOut) {
            reply.result = protocol::TimedOut;
            break;
        }
        if (protocol::isRefusalLine(framer.line())) {
            reply.result = protocol::Refused;
            lastRecvData = kCER;
            break;
        }
        std::string item = protocol::replyItem(framer.line());
        reply.items += item;
        appendReceived(item);
        ++dataCnt;
        serialio::pause100ms();
    }
    clearRecvBuf(lease.fd);
    return reply;
}

std::string RS232CCom::sendCmdVER(int isScript, int timeout) {
    VersionReply reply = versionQuery(isScript ? Port::HeldSetUpEachCall : Port::PerCall, timeout);
    switch (reply.result) {
        case protocol::Acknowledged:
            return reply.items;
        case protocol::Refused:
            return kCER;
        default:
            return protocol::statusWord(reply.result);
    }
}

int RS232CCom::sendCmdVERScript() {
    return versionQuery(Port::HeldSetUpEachCall, kCommandWindow).result;
}
