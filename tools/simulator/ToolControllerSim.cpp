#include "ToolControllerSim.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "Escapes.h"

namespace tcsim {

using escapes::escape;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kExpectTimeoutMs = 15000;
// A write gives up when the line has taken nothing for this long: nobody reads, as on a wire.
constexpr auto kStalledWrite = std::chrono::seconds(5);
constexpr auto kPendingRecheck = std::chrono::milliseconds(1);

int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

bool isFrame(const std::string& line) {
    return line.size() >= 4 && line[line.size() - 4] == '@';
}

}  // namespace

std::string checksumFrame(const std::string& text) {
    unsigned sum = 0;
    for (unsigned char c : text) sum += c;
    return text + '@' + static_cast<char>(sum & 0xFF) + "\r\n";
}

ToolControllerSim::ToolControllerSim(const std::string& linkPath) {
    master.reset(posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (master.get() < 0 || grantpt(master.get()) != 0 || unlockpt(master.get()) != 0) {
        throw std::runtime_error("cannot open a pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master.get(), name, sizeof name) != 0) throw std::runtime_error("no slave name");
    slave = name;
    // Holding a slave descriptor of our own keeps the pty alive across the daemon's closes.
    ownSlave.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (ownSlave.get() < 0) throw std::runtime_error("cannot open " + slave);
    // Raw from the start: no echo of our answers back to us before the daemon sets the line up.
    termios tio{};
    tcgetattr(ownSlave.get(), &tio);
    cfmakeraw(&tio);
    tcsetattr(ownSlave.get(), TCSANOW, &tio);
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("no pipe");
    wakeRead.reset(wake[0]);
    wakeWrite.reset(wake[1]);

    // The link comes last: a constructor that throws leaves none behind.
    if (!linkPath.empty()) {
        struct stat st {};
        if (lstat(linkPath.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) throw std::runtime_error(linkPath + " exists: not replaced");
            ::unlink(linkPath.c_str());
        }
        if (symlink(slave.c_str(), linkPath.c_str()) != 0) {
            throw std::runtime_error("cannot link " + linkPath);
        }
        link = linkPath;
    }
    try {
        worker = std::thread([this] { serve(); });
    } catch (...) {
        if (!link.empty()) ::unlink(link.c_str());
        throw;
    }
}

ToolControllerSim::~ToolControllerSim() {
    stop();
    if (!link.empty()) ::unlink(link.c_str());
}

void ToolControllerSim::stop() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    changed.notify_all();
    if (wakeWrite.get() >= 0) {
        ssize_t ignored = ::write(wakeWrite.get(), "x", 1);
        (void)ignored;
    }
    if (worker.joinable()) worker.join();
}

bool ToolControllerSim::stopRequested() const {
    std::lock_guard<std::mutex> guard(lock);
    return stopping;
}

void ToolControllerSim::hangUp() {
    stop();
    std::lock_guard<std::mutex> guard(lock);
    master.reset();
    ownSlave.reset();
    if (!link.empty()) ::unlink(link.c_str());
    link.clear();
}

void ToolControllerSim::on(const std::string& prefix, Script script) {
    std::lock_guard<std::mutex> guard(lock);
    rules.push_back({false, prefix, std::move(script)});
}

void ToolControllerSim::onFrame(Script script) {
    std::lock_guard<std::mutex> guard(lock);
    rules.push_back({true, "", std::move(script)});
}

void ToolControllerSim::clearRules() {
    std::lock_guard<std::mutex> guard(lock);
    rules.clear();
}

void ToolControllerSim::useDefaults() {
    onFrame({send("SOK\r\n")});
    for (const char* word : {"FWD", "RVS", "STP", "WIN", "WOT", "WRT"}) {
        on(std::string(word) + "\r\n", {send(std::string(word) + "\r\n")});
    }
    on("RST\r\n", {send("SOK\r\n")});
    on("MOV:", {send("CH :{rest}\r\n")});
    on("COS\r\n", {frame("COM:12"), expect("SOK\r\n"), frame("COM:34"), expect("SOK\r\n"),
                   send("RST\r\n"), expect("SOK\r\n")});
    on("CHS:", {frame("CST:1"), expect("SOK\r\n"), frame("COM:2"), expect("SOK\r\n"),
                send("RST\r\n"), expect("SOK\r\n")});
    on("VER\r\n", {frame("TC-SIM"), frame("V1.00")});
}

void ToolControllerSim::setLogger(std::function<void(const std::string&)> newLogger) {
    std::lock_guard<std::mutex> guard(lock);
    logger = std::move(newLogger);
}

void ToolControllerSim::log(const std::string& text) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> guard(lock);
        sink = logger;
    }
    if (sink) sink(text);
}

void ToolControllerSim::play(Script script) {
    std::unique_lock<std::mutex> guard(lock);
    queued.push_back(std::move(script));
    std::size_t ticket = ++queuedTotal;
    ssize_t ignored = ::write(wakeWrite.get(), "x", 1);
    (void)ignored;
    changed.wait(guard, [&] { return played >= ticket || stopping; });
}

std::string ToolControllerSim::received() const {
    std::lock_guard<std::mutex> guard(lock);
    return receivedBytes;
}

std::vector<std::string> ToolControllerSim::receivedLines() const {
    std::lock_guard<std::mutex> guard(lock);
    return allLines;
}

void ToolControllerSim::clearReceived() {
    std::lock_guard<std::mutex> guard(lock);
    receivedBytes.clear();
    allLines.clear();
}

bool ToolControllerSim::waitForBytes(std::size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                            [&] { return receivedBytes.size() >= count; });
}

int ToolControllerSim::pendingOnLine() const {
    int pending = 0;
    return ::ioctl(ownSlave.get(), FIONREAD, &pending) == 0 ? pending : 0;
}

bool ToolControllerSim::waitForLine(const std::string& head, int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        for (const std::string& line : allLines) {
            if (line.compare(0, head.size(), head) == 0) return true;
        }
        return false;
    });
}

bool ToolControllerSim::waitForIdle(int timeoutMs) const {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [this] {
        return stopping || (!answering && lines.empty() && queued.empty());
    });
}

bool ToolControllerSim::waitForPending(int count, int timeoutMs) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (int pending; (pending = pendingOnLine()) < count;) {
        if (Clock::now() >= deadline) return false;
        if (pending > 0) {
            // The rest follows within moments, and the kernel tells nobody when it does.
            std::this_thread::sleep_for(kPendingRecheck);
            continue;
        }
        pollfd pfd{ownSlave.get(), POLLIN, 0};  // sleeps until the first bytes arrive
        if (::poll(&pfd, 1, msLeft(deadline)) < 0 && errno != EINTR) return false;
    }
    return true;
}

std::size_t ToolControllerSim::protocolErrors() const {
    std::lock_guard<std::mutex> guard(lock);
    return errors;
}

void ToolControllerSim::setStrict(bool isStrict) {
    std::lock_guard<std::mutex> guard(lock);
    strict = isStrict;
}

void ToolControllerSim::protocolError(const std::string& what) {
    {
        std::lock_guard<std::mutex> guard(lock);
        ++errors;
    }
    log("protocol error: " + what);
}

// Reads what the daemon wrote, waiting up to `timeoutMs`; false when stopping.
bool ToolControllerSim::readInto(int timeoutMs) {
    pollfd fds[2] = {{master.get(), POLLIN, 0}, {wakeRead.get(), POLLIN, 0}};
    int ready = ::poll(fds, 2, timeoutMs);
    if (ready < 0 && errno != EINTR) return false;
    if (fds[1].revents & POLLIN) {
        char drain[64];
        while (::read(wakeRead.get(), drain, sizeof drain) > 0) {
        }
    }
    std::unique_lock<std::mutex> guard(lock);
    if (stopping) return false;
    if (!(fds[0].revents & POLLIN)) return true;
    char bytes[4096];
    ssize_t n = ::read(master.get(), bytes, sizeof bytes);
    if (n <= 0) return true;
    std::string chunk(bytes, static_cast<std::size_t>(n));
    for (ssize_t i = 0; i < n; ++i) {
        receivedBytes.push_back(bytes[i]);
        pendingLine.push_back(bytes[i]);
        std::size_t size = pendingLine.size();
        if (size >= 2 && pendingLine[size - 2] == '\r' && pendingLine[size - 1] == '\n') {
            lines.push_back(pendingLine);
            allLines.push_back(pendingLine);
            pendingLine.clear();
        }
    }
    guard.unlock();
    changed.notify_all();
    log("rx " + escape(chunk));
    return true;
}

// The next complete line, waiting up to `timeoutMs` (-1: until one comes or a script is queued).
bool ToolControllerSim::nextLine(std::string& line, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock);
            if (!lines.empty()) {
                line = lines.front();
                lines.pop_front();
                answering = true;
                return true;
            }
            if (stopping || (timeoutMs < 0 && !queued.empty())) return false;
        }
        if (timeoutMs >= 0 && Clock::now() >= deadline) return false;
        if (!readInto(timeoutMs < 0 ? 1000 : msLeft(deadline))) return false;
    }
}

void ToolControllerSim::serve() {
    for (;;) {
        std::string line;
        if (nextLine(line, -1)) {
            answer(line);
        } else {
            Script script;
            {
                std::lock_guard<std::mutex> guard(lock);
                if (stopping) return;
                if (queued.empty()) continue;
                script = queued.front();
                queued.pop_front();
                answering = true;
            }
            runScript(script, "");
            std::lock_guard<std::mutex> guard(lock);
            ++played;
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            answering = false;
        }
        changed.notify_all();
    }
}

void ToolControllerSim::replay(std::vector<Exchange> exchanges) {
    std::lock_guard<std::mutex> guard(lock);
    replaying = true;
    recorded.assign(exchanges.begin(), exchanges.end());
    replayed.clear();
}

void ToolControllerSim::answer(const std::string& line) {
    Script script;
    std::string rest;
    bool found = false;
    bool mustMatch;
    std::string mismatch;
    {
        std::lock_guard<std::mutex> guard(lock);
        mustMatch = strict;
        if (replaying) {
            // A recorded command may span lines (a checksum byte can be a CR or an LF).
            replayed += line;
            if (recorded.empty()) {
                mismatch = "nothing recorded answers " + escape(replayed);
            } else if (replayed.size() >= recorded.front().command.size()) {
                const Exchange& next = recorded.front();
                if (replayed.compare(0, next.command.size(), next.command) == 0) {
                    script = next.answer;
                    found = true;
                    recorded.pop_front();
                } else {
                    mismatch = "expected " + escape(next.command) + ", got " + escape(replayed);
                }
            }
            if (found || !mismatch.empty()) replayed.clear();
        }
        for (auto rule = rules.rbegin(); rule != rules.rend() && !found && !replaying; ++rule) {
            if (rule->frameRule ? isFrame(line)
                                : line.compare(0, rule->prefix.size(), rule->prefix) == 0) {
                script = rule->script;
                std::size_t end = line.size() - 2;  // the CR LF
                rest = rule->prefix.size() < end
                           ? line.substr(rule->prefix.size(), end - rule->prefix.size())
                           : "";
                found = true;
            }
        }
    }
    if (!mismatch.empty()) {
        protocolError(mismatch);
    } else if (found) {
        runScript(script, rest);
    } else if (mustMatch && !replaying) {
        protocolError("no rule answers " + escape(line));
    }
}

void ToolControllerSim::runScript(const Script& script, const std::string& rest) {
    auto expand = [&rest](std::string text) {
        for (std::size_t at; (at = text.find("{rest}")) != std::string::npos;) {
            text.replace(at, 6, rest);
        }
        return text;
    };
    for (const Step& step : script) {
        switch (step.kind) {
            case Step::Send:
                writeAll(expand(step.bytes));
                break;
            case Step::Frame:
                writeAll(checksumFrame(expand(step.bytes)));
                break;
            case Step::Delay: {
                // A hang-up does not wait for the script to finish.
                std::unique_lock<std::mutex> guard(lock);
                if (changed.wait_for(guard, std::chrono::milliseconds(step.ms),
                                     [this] { return stopping; })) {
                    return;
                }
                break;
            }
            case Step::Flood:
                floodFor(step.ms);
                break;
            case Step::Expect: {
                std::string line;
                if (!nextLine(line, kExpectTimeoutMs)) {
                    if (!stopRequested()) protocolError("no " + escape(step.bytes) + " came");
                    return;
                }
                if (line.compare(0, step.bytes.size(), step.bytes) != 0) {
                    protocolError("expected " + escape(step.bytes) + ", got " + escape(line));
                    answer(line);
                    return;
                }
                break;
            }
        }
    }
}

void ToolControllerSim::writeAll(const std::string& bytes) {
    std::size_t done = 0;
    auto deadline = Clock::now() + kStalledWrite;
    while (done < bytes.size()) {
        ssize_t n = ::write(master.get(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            deadline = Clock::now() + kStalledWrite;  // a slow reader is still a reader
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) break;
        if (Clock::now() >= deadline) break;  // the rest is lost, as on a wire
        pollfd pfd{master.get(), POLLOUT, 0};
        if (::poll(&pfd, 1, msLeft(deadline)) < 0 && errno != EINTR) break;
    }
    // Logged once written: an answer must not wait for whoever reads the log (the daemon's
    // text form takes only what comes within its 100 ms pause).
    std::size_t lost = bytes.size() - done;
    log("tx " + escape(bytes) + (lost ? " (" + std::to_string(lost) + " bytes lost)" : ""));
}

void ToolControllerSim::floodFor(int ms) {
    log("tx flood for " + std::to_string(ms) + " ms");
    std::string chunk(1024, 'x');
    for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>('A' + i % 26);
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        if (stopRequested()) return;
        ssize_t n = ::write(master.get(), chunk.data(), chunk.size());
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;
        if (n < 0) {
            pollfd pfd{master.get(), POLLOUT, 0};
            ::poll(&pfd, 1, msLeft(deadline));
        }
    }
}

}  // namespace tcsim
