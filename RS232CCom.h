// The link object: the one place that touches the serial line to the tool controller.
#ifndef RS232CCOM_H
#define RS232CCOM_H

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "link/HangUpWatch.h"
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

    // `lastRecvData` keeps at most this many of the newest bytes, so an endlessly chattering
    // controller cannot exhaust memory between two fetches.
    static constexpr std::size_t kLastRecvDataCap = 1 << 20;

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

    // The port of one call.
    struct Lease {
        explicit Lease(RS232CCom& com) : com(com) {}
        ~Lease();
        RS232CCom& com;
        serialio::ExclusivePort own;  // a per-call port, closed when the call ends
        int fd = -1;
        bool held = false;  // fd is g_fd
    };
    // One call on the line: holds the serial lock, and records what was heard when it ends.
    struct LineScope {
        explicit LineScope(RS232CCom& com) : com(com), lock(com.serialLock) {}
        ~LineScope() { com.recordHeard(); }
        RS232CCom& com;
        std::lock_guard<std::mutex> lock;
    };
    // What a byte read from the line was read for, as the trace names it.
    enum class Heard { Reply, Drained, Discarded };
    enum class LineWait { Line, TimedOut, Failed };
    struct VersionReply {
        Result result;
        std::string items;
    };

    void serial_reset(int fd);
    void clearRecvBuf(int fd);
    // Puts back the line settings another program may have changed, without a flush.
    void restoreLineSettings(int fd);

    // The exchange every command shares: the port, the drain, the frame, the 100 ms pause.
    // Nothing when the frame is on its way; otherwise the failure.
    std::optional<Result> begin(Port port, const std::string& frame, Lease& lease);
    bool acquire(Port port, Lease& lease);
    serialio::ExclusivePort openPort();
    // A failed line on the held port releases it, so the kernel frees the adapter's name.
    Result end(Lease& lease, Result result);
    void releaseHeldPort();
    void onHangUp(std::uint64_t generation);

    int transaction(Port port, const std::string& cmd, const std::string& resCmd, int timeout,
                    Record record);
    Result awaitReply(int fd, const std::string& resCmd, int timeout, Record record);
    int fixedCommand(FixedCommand which);
    std::string dialogue(const std::string& frame, DataLines dataLines);
    VersionReply versionQuery(Port port, int timeout);
    // Reads one line with `framer` until `deadline`; a window that closes after a CR in the
    // line still yields the line.
    LineWait readLine(int fd, serialio::Clock::time_point deadline, protocol::LineFramer& framer,
                      Record record);
    // Every byte read and written passes through these, for the trace.
    serialio::Wait readByte(int fd, serialio::Clock::time_point deadline, unsigned char& byte);
    int readNow(int fd, unsigned char& byte, Heard why);
    bool writeFrame(int fd, const std::string& frame);
    void noteHeard(unsigned char byte, Heard why);
    void recordHeard();
    void recordPort(const char* event, const std::string& why = "");
    void appendReceived(char byte);
    void appendReceived(const std::string& bytes);
    std::string takeLastRecvData();

    std::string title;
    std::string lastRecvData;
    serialio::ExclusivePort g_fd;

    const std::string device;
    TraceLog* const trace;
    std::string heard;  // read, not yet recorded
    Heard heardAs = Heard::Reply;
    // One call at a time on the line, `lastRecvData`, `g_fd` and the fields below. The title
    // has its own lock so that it never waits for a long exchange on the line.
    std::mutex serialLock;
    mutable std::mutex titleLock;
    std::uint64_t heldGeneration = 0;  // names the held port for the hang-up watch
    std::string openProblem;           // why the last open failed; "" when it succeeded
    HangUpWatch hangUpWatch;           // last: its thread stops before the rest goes
};

#endif
