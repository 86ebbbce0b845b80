// A simulated tool controller on a pseudo-terminal. The daemon opens the slave side exactly as it
// opens a USB serial adapter; the simulator answers the lines it receives by rules. It shares no
// code with the daemon, so that it checks the daemon rather than mirroring it.
#ifndef TOOLS_SIMULATOR_TOOLCONTROLLERSIM_H
#define TOOLS_SIMULATOR_TOOLCONTROLLERSIM_H

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Descriptor.h"

namespace tcsim {

// One step of an answer. In the bytes of Send and Frame, "{rest}" stands for what followed the
// rule's prefix in the received line, up to its CR LF.
struct Step {
    enum Kind { Send, Frame, Delay, Expect, Flood } kind;
    std::string bytes;  // Send: raw bytes; Frame: the text to frame; Expect: a line's beginning
    int ms = 0;         // Delay and Flood
};
using Script = std::vector<Step>;

inline Step send(std::string bytes) {
    return {Step::Send, std::move(bytes), 0};
}
// The text, "@", the 8-bit sum of the text, CR, LF.
inline Step frame(std::string text) {
    return {Step::Frame, std::move(text), 0};
}
inline Step delay(int ms) {
    return {Step::Delay, "", ms};
}
// Waits (up to 15 s) for the next line, which must begin with `head`.
inline Step expect(std::string head) {
    return {Step::Expect, std::move(head), 0};
}
// Writes bytes without line ends at full speed for `ms`.
inline Step flood(int ms) {
    return {Step::Flood, "", ms};
}

std::string checksumFrame(const std::string& text);

using Descriptor = tools::Descriptor;

class ToolControllerSim {
  public:
    // With a `linkPath`, that path becomes a symbolic link to the slave (replacing an old link,
    // never a real device) and is removed when the simulator ends.
    explicit ToolControllerSim(const std::string& linkPath = "");
    ~ToolControllerSim();
    ToolControllerSim(const ToolControllerSim&) = delete;
    ToolControllerSim& operator=(const ToolControllerSim&) = delete;

    const std::string& slavePath() const { return slave; }
    // The path to open: the link when there is one.
    const std::string& devicePath() const { return link.empty() ? slave : link; }

    // A received line (ended by CR LF) that begins with `prefix` is answered by `script`;
    // the newest matching rule wins, an empty script is silence.
    void on(const std::string& prefix, Script script);
    // Answers checksummed frames ("...@" + sum + CR LF) that no prefix rule matched.
    void onFrame(Script script);
    void clearRules();
    // A controller that acknowledges every command: echoes, "SOK", channel moves, the COS and
    // CHS dialogues and a two-line version answer.
    void useDefaults();

    // Runs a script now, of the controller's own accord; returns once it has run.
    void play(Script script);

    // One exchange of a recorded session: what the daemon sent, and what came back.
    struct Exchange {
        std::string command;
        Script answer;
    };
    // From now on answers only these, in order: when the daemon sends the next command, its
    // answer is played. Anything else the daemon sends is a protocol error, and unanswered.
    void replay(std::vector<Exchange> exchanges);

    std::string received() const;
    std::vector<std::string> receivedLines() const;
    void clearReceived();
    // Waits until at least `count` bytes have been received; false on time-out.
    bool waitForBytes(std::size_t count, int timeoutMs) const;
    // Waits until a line beginning with `head` has been received (since clearReceived).
    bool waitForLine(const std::string& head, int timeoutMs) const;
    // Waits until the simulator has sent all it had to: it runs no answer and no play, and no
    // received line waits for its answer.
    bool waitForIdle(int timeoutMs) const;
    // Bytes the simulator sent that wait on the daemon's side of the pseudo-terminal, unread.
    int pendingOnLine() const;
    // Waits until at least `count` bytes wait there; false on time-out.
    bool waitForPending(int count, int timeoutMs) const;
    // Lines that broke a dialogue (an expected line that did not come or came otherwise) and,
    // when strict, lines that no rule answers: two commands that interleave on the line show.
    std::size_t protocolErrors() const;
    void setStrict(bool strict);

    // The adapter vanishes: both sides of the pseudo-terminal are closed and the link removed.
    void hangUp();

    // Receives one line of log text for every line received and every answer written.
    void setLogger(std::function<void(const std::string&)> logger);

  private:
    struct Rule {
        bool frameRule;
        std::string prefix;
        Script script;
    };

    void serve();
    bool readInto(int timeoutMs);
    bool nextLine(std::string& line, int timeoutMs);
    void answer(const std::string& line);
    void runScript(const Script& script, const std::string& rest);
    void writeAll(const std::string& bytes);
    void floodFor(int ms);
    void log(const std::string& text);
    void protocolError(const std::string& what);
    bool stopRequested() const;
    void stop();

    Descriptor master;
    Descriptor ownSlave;
    Descriptor wakeRead, wakeWrite;
    std::string slave;
    std::string link;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<Rule> rules;
    std::deque<Script> queued;
    std::size_t played = 0;
    std::size_t queuedTotal = 0;
    bool answering = false;  // the worker runs an answer or a played script
    std::string receivedBytes;
    std::string pendingLine;
    std::deque<std::string> lines;
    std::vector<std::string> allLines;
    std::size_t errors = 0;
    bool strict = false;
    bool replaying = false;
    std::deque<Exchange> recorded;
    std::string replayed;  // what the daemon sent towards the next recorded command
    bool stopping = false;
    std::function<void(const std::string&)> logger;
    std::thread worker;
};

}  // namespace tcsim

#endif
