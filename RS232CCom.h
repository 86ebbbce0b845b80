// The link object: the one place that touches the serial line to the tool controller.
#ifndef RS232CCOM_H
#define RS232CCOM_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/ThreadSafety.h"
#include "link/HangUpWatch.h"
#include "link/LineQueue.h"
#include "link/Protocol.h"
#include "link/SerialIO.h"

class TraceLog;

class RS232CCom {
  public:
    // The daemon uses its --device (by default the USB adapter); tests pass a pseudo-terminal.
    // With a trace, every byte on the line and every event of the port is recorded there.
    explicit RS232CCom(std::string device = "/dev/ttyUSB0", TraceLog* trace = nullptr);
    ~RS232CCom();
    RS232CCom(const RS232CCom&) = delete;
    RS232CCom& operator=(const RS232CCom&) = delete;

    std::string getTitle() const;
    // The title as set_title gave it; empty when none is set.
    std::string titleText() const;
    void setTitle(std::string title);
    std::string getMessage(std::string name) const;

    std::string sendCmd(std::string cmd);
    std::string sendCmdCOS();
    std::string sendCmdCHS(std::string ch);
    std::string sendCmdVER(int isScript, int timeout);
    int sendCmdVERScript();
    int sendCmdCOM(std::string cmd);
    int sendCmdCST(std::string cmd);
    int sendCmdFWD();
    int sendCmdRVS();
    int sendCmdSTP();
    int sendCmdRST();
    int sendCmdWIN();
    int sendCmdWOT();
    int sendCmdWOTWithWNG();
    int sendCmdWRT();
    int sendCmdCH(std::string ch);
    int sendCmd(std::string cmd, std::string resCmd);
    int sendCmd(std::string cmd, std::string resCmd, int timeout);
    int sendCmdScipt(std::string cmd, std::string resCmd, int timeout);
    int recvCmdInf();
    int serialClose();
    std::string getLastRecvDataBinStr();
    std::string getLastRecvDataStr();

    // The daemon is stopping: calls still waiting for the line, and later ones, do not get it
    // (they throw LineQueue::Refused); the exchange in progress and STP finish.
    void refuseWaitingCalls() { serialLock.close(); }
    // The server has no room for a newcomer (which may be STP): the newest call of `client` that
    // waits for the line is refused, without having reached it. False when it has none waiting.
    bool shedNewestWaitingCall(const std::string& client) { return serialLock.shedNewest(client); }

    // For the time the server serves one request on this thread: its calls are `caller`'s, who
    // takes turns with other clients and whose calls are dropped once it has gone.
    LineQueue::CallerScope callerScope(LineQueue::Caller caller) {
        return LineQueue::CallerScope(serialLock, std::move(caller));
    }

    // Calls waiting for the line now, behind the one that has it.
    std::size_t callsWaiting() const { return serialLock.waiting(); }
    // Stops so far, for LineQueue::Caller::stopsBefore.
    std::uint64_t stopsSoFar() const { return serialLock.stopsSoFar(); }

    // What the line is doing, for operators and monitoring: read without waiting for the line.
    enum class LineState { Unused, Answering, NoReply, LineFailed, OpenFailed };
    struct Status {
        LineState state = LineState::Unused;  // as the last call that used the line left it
        std::string openProblem;              // OpenFailed: "absent", "not a terminal", ...
        bool portHeld = false;
        double lastReplyTime = 0;  // Unix time of the last byte from the controller; 0: none
        std::uint64_t bytesSent = 0, bytesReceived = 0;
        // How long the call that has the line has gone without a byte moving; zero when none
        // has it. A healthy call never passes timing::kLongestQuietCall.
        std::chrono::steady_clock::duration stalled{};
    };
    Status status() const;
    const std::string& devicePath() const { return device; }
    // The adapter was seen gone and is back: what the calls before found was about the one
    // that went, so the line counts as not used since.
    void adapterReturned() EXCLUDES(statusLock);

    // `lastRecvData` keeps at most this many of the newest bytes, so an endlessly chattering
    // controller cannot exhaust memory between two fetches.
    static constexpr std::size_t kLastRecvDataCap = 1 << 20;
    // The longest title set_title takes: plenty for a UI's label, and a title is copied into
    // every answer that reads it.
    static constexpr std::size_t kTitleLimit = 4096;
    // The longest text a call sends to the controller (a command, a frame's text, a channel):
    // about a second at 38400 baud. The exchange in progress holds the line, and a stop waits
    // behind it: a text of hundreds of kilobytes would hold it for minutes.
    static constexpr std::size_t kCommandLimit = 4096;

  private:
    using Result = protocol::Result;

    // How a call uses the port.
    enum class Port {
        // A port of its own, set up and drained, closed when the call ends. While a port is
        // held the call uses that one instead (its lock would refuse a second descriptor),
        // set up and drained the same way, and leaves it open.
        PerCall,
        // The held port: opened and set up on first use, left open.
        Held,
        // The held port, set up again on every call.
        HeldSetUpEachCall,
    };
    // Whether a transaction keeps every byte it receives in `lastRecvData`.
    enum class Record { Everything, DrainedOnly };
    // Which dialogue lines carry data.
    enum class DataLines { ComOnly, CstAndCom };
    enum class FixedCommand { FWD, RVS, STP, RST, WIN, WOT, WOTWithWNG, WRT };

    // The port of one call: a per-call port is closed when the call ends.
    struct Lease {
        explicit Lease(RS232CCom& com) : com(com) {}
        ~Lease();
        RS232CCom& com;
        serialio::ExclusivePort own;  // a per-call port
        int fd = -1;
    };
    // One call on the line: waits its turn for the line, and when the call ends releases a held
    // port whose line failed (so the kernel frees the adapter's name) and records what was heard.
    class SCOPED_CAPABILITY LineScope {
      public:
        LineScope(RS232CCom& com, LineQueue::Priority priority = LineQueue::Priority::InTurn)
            ACQUIRE(com.serialLock);
        ~LineScope() RELEASE();
        LineScope(const LineScope&) = delete;
        LineScope& operator=(const LineScope&) = delete;

      private:
        RS232CCom& com;
    };
    // What a byte read from the line was read for, as the trace names it.
    enum class Heard { Reply, Drained, Discarded };
    enum class LineWait { Line, TimedOut, Failed };
    struct VersionReply {
        Result result;
        std::string items;
    };

    // Each of these runs inside a call, with the line held.
    bool serial_reset(int fd) REQUIRES(serialLock);
    void clearRecvBuf(int fd) REQUIRES(serialLock);
    // Puts back the line settings another program may have changed, without a flush.
    bool restoreLineSettings(int fd) REQUIRES(serialLock);

    // The exchange every command shares: the port, the drain, the frame, the 100 ms pause.
    // Nothing when the frame is on its way; otherwise the failure.
    std::optional<Result> begin(Port port, const std::string& frame, Lease& lease)
        REQUIRES(serialLock);
    std::optional<Result> acquire(Port port, Lease& lease) REQUIRES(serialLock);
    serialio::ExclusivePort openPort() REQUIRES(serialLock);
    // Marks the call's line as failed (the scope releases a held port when the call ends).
    Result lineFailed() REQUIRES(serialLock);
    // A line that refuses its settings has failed; said on stderr, as the open's problems are.
    Result setUpFailed(const char* what) REQUIRES(serialLock);
    void endCall() REQUIRES(serialLock);
    void releaseHeldPort() REQUIRES(serialLock);
    void onHangUp(std::uint64_t generation) EXCLUDES(serialLock);

    int transaction(Port port, const std::string& cmd, const std::string& resCmd, int timeout,
                    Record record, LineQueue::Priority priority = LineQueue::Priority::InTurn)
        EXCLUDES(serialLock);
    Result awaitReply(int fd, const std::string& resCmd, int timeout, Record record)
        REQUIRES(serialLock);
    int fixedCommand(FixedCommand which);
    std::string dialogue(const std::string& frame, DataLines dataLines) EXCLUDES(serialLock);
    VersionReply versionQuery(Port port, int timeout) EXCLUDES(serialLock);
    // Reads one line with `framer` until `deadline`; a window that closes after a CR in the
    // line still yields the line.
    LineWait readLine(int fd, serialio::Clock::time_point deadline, protocol::LineFramer& framer,
                      Record record) REQUIRES(serialLock);
    // Every byte read and written passes through these, for the trace; a failure they see marks
    // the call's line as failed.
    serialio::Wait readByte(int fd, serialio::Clock::time_point deadline, unsigned char& byte)
        REQUIRES(serialLock);
    int readNow(int fd, unsigned char& byte, Heard why) REQUIRES(serialLock);
    bool writeFrame(int fd, const std::string& frame) REQUIRES(serialLock);
    void noteHeard(unsigned char byte, Heard why) REQUIRES(serialLock);
    void recordHeard() REQUIRES(serialLock);
    void recordPort(const char* event, const std::string& why = "") REQUIRES(serialLock);
    void appendReceived(char byte) REQUIRES(serialLock);
    void appendReceived(const std::string& bytes) REQUIRES(serialLock);
    std::string takeLastRecvData() REQUIRES(serialLock);
    // What this call learnt about the line; published when it ends.
    void noteOutcome(LineState state) REQUIRES(serialLock);
    // A byte moved on the line (received: from the controller).
    void noteProgress(bool received, std::size_t bytes);

    // One call at a time on the line, clients in turn, STP first; it guards the fields marked
    // so. The title has its own lock, so that it never waits for a long exchange on the line.
    LineQueue serialLock;
    mutable Mutex titleLock;

    std::string title GUARDED_BY(titleLock);
    std::string lastRecvData GUARDED_BY(serialLock);
    serialio::ExclusivePort g_fd GUARDED_BY(serialLock);
    serialio::LineReader input GUARDED_BY(serialLock);  // every byte read from the line

    const std::string device;
    TraceLog* const trace;
    std::string heard GUARDED_BY(serialLock);  // read, not yet recorded
    Heard heardAs GUARDED_BY(serialLock) = Heard::Reply;
    bool lineBroke GUARDED_BY(serialLock) = false;            // the line failed in this call
    std::uint64_t heldGeneration GUARDED_BY(serialLock) = 0;  // names the held port for the watch
    std::string openProblem GUARDED_BY(serialLock);  // why the last open failed; "" if it did not

    // The line's status, for status(): atomics, and a lock of their own for the words.
    LineState callState GUARDED_BY(serialLock) = LineState::Unused;
    mutable Mutex statusLock;
    LineState lastState GUARDED_BY(statusLock) = LineState::Unused;
    std::string lastOpenProblem GUARDED_BY(statusLock);
    std::atomic<bool> portHeld{false};
    std::atomic<bool> lineTaken{false};
    std::atomic<std::uint64_t> bytesSent{0}, bytesReceived{0};
    std::atomic<std::int64_t> lastReplyMicros{0};    // Unix time
    std::atomic<std::int64_t> lastProgressNanos{0};  // steady clock
    HangUpWatch hangUpWatch;                         // last: its thread stops before the rest goes
};

#endif
