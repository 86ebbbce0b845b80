// The line is the daemon's alone: other programs, paths that are no terminal, an unplugged
// adapter and a chatty controller cannot wedge it, and it recovers by itself.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <functional>
#include <future>
#include <memory>

#include "SimFixture.h"
#include "TempDir.h"

using tcsim::delay;
using tcsim::expect;
using tcsim::frame;
using tcsim::send;

namespace {

// Descriptors of this process open on `path`.
int descriptorsOn(const std::string& path) {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        char target[256];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, n).rfind(path, 0) == 0) ++count;
    }
    closedir(dir);
    return count;
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Every kind of call, with the result that says the line failed.
struct Call {
    const char* name;
    std::function<std::string(RS232CCom&)> run;
    const char* lineFailed;
};
const std::vector<Call>& everyKindOfCall() {
    auto code = [](int (RS232CCom::*op)()) {
        return [op](RS232CCom& c) { return std::to_string((c.*op)()); };
    };
    static const std::vector<Call> calls = {
        {"FWD (held)", code(&RS232CCom::sendCmdFWD), "-3"},
        {"RST (per call)", code(&RS232CCom::sendCmdRST), "-3"},
        {"CST", [](RS232CCom& c) { return std::to_string(c.sendCmdCST("abc")); }, "-3"},
        {"CH", [](RS232CCom& c) { return std::to_string(c.sendCmdCH("3")); }, "-3"},
        {"text form", [](RS232CCom& c) { return c.sendCmd("Z\r\n"); }, "recv_error"},
        {"COS", [](RS232CCom& c) { return c.sendCmdCOS(); }, "recv_error"},
        {"CHS", [](RS232CCom& c) { return c.sendCmdCHS("1"); }, "recv_error"},
        {"VER", [](RS232CCom& c) { return c.sendCmdVER(0, 1); }, "recv_error"},
        {"VER script", code(&RS232CCom::sendCmdVERScript), "-3"},
    };
    return calls;
}

}  // namespace

TEST_F(SimTest, AnotherProgramWithBlockingSettingsCannotWedgeTheLine) {
    sim.on("WRT\r\n", {send("WRT\r\n")});
    EXPECT_EQ(com.sendCmdWRT(), 1);  // holds the port
    // A terminal program as root (whom the exclusive mark does not stop) sets blocking reads.
    int other = open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY);
    if (other < 0) GTEST_SKIP() << "only root can open a port the daemon holds";
    termios tio{};
    tcgetattr(other, &tio);
    cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    tcsetattr(other, TCSANOW, &tio);
    sim.clearReceived();
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdSTP(), -2); });
    EXPECT_LT(taken, 2.5);
    EXPECT_EQ(com.recvCmdInf(), 0);
    expectWire("STP\r\n");
    close(other);
    EXPECT_EQ(com.sendCmdWRT(), 1);
}

TEST_F(SimTest, ASecondOpenerIsRefusedWhileThePortIsHeld) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    sim.on("WRT\r\n", {send("WRT\r\n")});
    EXPECT_EQ(com.sendCmdWRT(), 1);
    chmod(sim.slavePath().c_str(), 0666);  // so that only the daemon's hold can refuse it
    pid_t child = fork();
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int fd = open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd < 0 && errno == EBUSY ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0) << "an ordinary user's open was not refused";
    // A cooperating program takes the same lock and is refused.
    int other = open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
    // Released, the port takes other openers again.
    EXPECT_EQ(com.serialClose(), 0);
    other = open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

TEST_F(SimTest, AnAdapterHeldByAnotherProgramFailsToOpenAtOnce) {
    sim.useDefaults();
    int other = open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    double taken = secondsTaken([&] {
        EXPECT_EQ(com.sendCmdRST(), -1);
        EXPECT_EQ(com.sendCmdWRT(), -1);
        EXPECT_EQ(com.sendCmdCOS(), "open_error");
    });
    EXPECT_LT(taken, 0.5);
    close(other);
    EXPECT_EQ(com.sendCmdWRT(), 1);
    expectWire("WRT\r\n");
}

TEST(LineOwnership, APathThatIsNoTerminalIsRefusedUntouched) {
    TempDir dir;
    std::ofstream(dir.path + "/file") << "kept";
    ASSERT_EQ(mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
    ASSERT_EQ(mkdir((dir.path + "/dir").c_str(), 0700), 0);
    for (const char* name : {"/file", "/fifo", "/dir"}) {
        RS232CCom com(dir.path + name);
        EXPECT_EQ(com.sendCmdFWD(), -1) << name;
        EXPECT_EQ(com.sendCmdRST(), -1) << name;
        EXPECT_EQ(com.recvCmdInf(), -1) << name;
        EXPECT_EQ(com.sendCmd("X\r\n"), "open_error") << name;
        EXPECT_EQ(com.sendCmdVERScript(), -1) << name;
        EXPECT_EQ(com.getLastRecvDataStr(), "") << name;
    }
    std::ifstream file(dir.path + "/file");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(file), {}), "kept");
    int fifo = open((dir.path + "/fifo").c_str(), O_RDONLY | O_NONBLOCK);
    char byte;
    EXPECT_LE(read(fifo, &byte, 1), 0);  // nothing was written into the pipe
    close(fifo);
}

TEST(LineOwnership, AHungUpPortIsClosedAtOnceAndTheReturningAdapterIsUsed) {
    TempDir dir;
    std::string path = dir.path + "/ttyUSB0";
    auto sim = std::make_unique<tcsim::ToolControllerSim>(path);
    sim->useDefaults();
    RS232CCom com(path);
    EXPECT_EQ(com.sendCmdWRT(), 1);
    std::string slave = sim->slavePath();
    EXPECT_EQ(descriptorsOn(slave), 2);  // the simulator's and the held port
    sim->hangUp();                       // while no call runs
    EXPECT_TRUE(waitFor([&] { return descriptorsOn(slave) == 0; }, 1000))
        << "the held port was not closed within 1 s";
    EXPECT_EQ(com.sendCmdWRT(), -1);  // nothing at the path now
    sim = std::make_unique<tcsim::ToolControllerSim>(path);
    sim->useDefaults();
    EXPECT_EQ(com.sendCmdWRT(), 1);  // no serial_close needed
}

TEST(LineOwnership, EveryKindOfCallReportsAHangUpAsAFailedLine) {
    TempDir dir;
    std::string path = dir.path + "/ttyUSB0";
    for (const Call& call : everyKindOfCall()) {
        tcsim::ToolControllerSim sim(path);
        sim.useDefaults();
        RS232CCom com(path);
        EXPECT_EQ(com.sendCmdWRT(), 1);  // a held port, which per-call commands then use
        sim.clearRules();
        sim.clearReceived();
        auto result = std::async(std::launch::async, [&] { return call.run(com); });
        sim.waitForBytes(1, 3000);
        sim.hangUp();  // within the 100 ms pause after the frame, or while waiting for a line
        EXPECT_EQ(result.get(), call.lineFailed) << call.name;
    }
}

TEST_F(SimTest, AChattyControllerCannotHoldACallBeyondThreeWindows) {
    tcsim::Script chatter;
    for (int i = 0; i < 8; ++i) {
        chatter.push_back(send("OK\r\n"));
        chatter.push_back(delay(500));
    }
    sim.on("STP\r\n", chatter);
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdSTP(), -2); });
    // Three 1-second windows without the reply, after the pauses.
    EXPECT_GE(taken, waitedOut(timing::kWindowsWithoutProgress * timing::kShortWindow) - 0.1);
    EXPECT_LT(taken, waitedOut(timing::kWindowsWithoutProgress * timing::kShortWindow) + kSlack);
    // A reply within the bound still comes, each line opening a fresh window. (The simulator
    // answers once its chatter has run out.)
    sim.on("WRT\r\n", {send("OK\r\n"), delay(700), send("OK\r\n"), delay(700), send("WRT\r\n")});
    EXPECT_EQ(com.sendCmdWRT(), 1);
}

TEST_F(SimTest, DialoguesKeepWhatWasAcknowledgedAndEndOnCer) {
    sim.on("COS\r\n", {frame("COM:1"), expect("SOK\r\n"), send("CER\r\n")});
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdCOS(), "CER\r\n"); });
    EXPECT_LT(taken, 1.0);
    EXPECT_EQ(com.getLastRecvDataStr(), "COM:1,");
    expectWire("COS\r\nSOK\r\n");  // a refusal gets no acknowledgement
    sim.on("CHS:", {frame("CST:1"), expect("SOK\r\n"), frame("COM:2"), expect("SOK\r\n"),
                    send("CERT\r\nCER\r\n")});  // only CER itself refuses
    EXPECT_EQ(com.sendCmdCHS("1"), "CER\r\n");
    EXPECT_EQ(com.getLastRecvDataStr(), "CST:1,COM:2,");
}

TEST_F(SimTest, TwoCallersNeverInterleaveOnTheLine) {
    sim.useDefaults();
    sim.setStrict(true);
    auto caller = [this](int (RS232CCom::*command)()) {
        int acknowledged = 0;
        for (int i = 0; i < 10; ++i) acknowledged += (com.*command)() == 1;
        return acknowledged;
    };
    auto first = std::async(std::launch::async, caller, &RS232CCom::sendCmdWRT);
    auto second = std::async(std::launch::async, caller, &RS232CCom::sendCmdRST);
    EXPECT_EQ(first.get(), 10);
    EXPECT_EQ(second.get(), 10);
    EXPECT_EQ(sim.protocolErrors(), 0u);
}

TEST_F(SimTest, AFloodingLineCannotHoldTheDrainForEver) {
    auto flooding = std::async(std::launch::async, [&] { sim.play({tcsim::flood(8000)}); });
    sim.waitForPending(1, 3000);
    double taken = secondsTaken([&] { EXPECT_EQ(com.sendCmdSTP(), -2); });
    // A bounded drain, then the 1-second window: about 2.2 s, with room for a loaded machine.
    EXPECT_LT(taken, 5.5);
    flooding.get();  // the simulator reads again once its flood is over
    expectWire("STP\r\n");
}
