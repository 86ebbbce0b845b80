// The link object: the one place that touches the serial line to the tool controller.
#ifndef RS232CCOM_H
#define RS232CCOM_H

#include <mutex>
#include <string>

#include "link/SerialIO.h"

class RS232CCom {
  public:
    // The daemon always uses the USB adapter; tests pass the slave side of a pseudo-terminal.
    explicit RS232CCom(std::string device = "/dev/ttyUSB0");
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
    // Which port a transaction runs on, and whether its received bytes are recorded.
    enum class Port { PerCall, Held };
    enum class Fixed { FWD, RVS, STP, RST, WIN, WOT, WOTWithWNG, WRT };

    void serial_reset(int fd);
    void clearRecvBuf(int fd);
    int fixedCommand(Fixed which);
    int transaction(Port port, const std::string& cmd, const std::string& resCmd, int timeout);
    int awaitReply(int fd, const std::string& resCmd, int timeout, bool record);
    // Opens the held port when none is held; false when that open fails.
    bool holdPort();
    // Runs a COS or CHS dialogue after `frame`; `acceptCST` admits "CST:" data lines.
    std::string dialogue(const std::string& frame, bool failOnWriteError, bool acceptCST);
    void appendReceived(char byte);
    std::string takeLastRecvData();

    std::string title;
    std::string lastRecvData;
    serialio::FileDescriptor g_fd;

    const std::string device;
    // One call at a time on the line, `lastRecvData` and `g_fd`. The title has its own lock so
    // that it never waits for a long exchange on the line.
    std::mutex serialLock;
    mutable std::mutex titleLock;
};

#endif
