// The simulator's control language, as people and test scripts type it.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "ControlScript.h"
#include "Replay.h"

TEST(SimulatorControl, WordsAndEscapedStrings) {
    using Words = std::vector<std::string>;
    EXPECT_EQ(tcsim::tokenize(R"(on "FWD\r\n" send "A\x00B" # note)"),
              (Words{"on", std::string("FWD\r\n"), "send", std::string("A\0B", 3)}));
    EXPECT_THROW(tcsim::tokenize(R"(on "FWD)"), std::invalid_argument);
    EXPECT_THROW(tcsim::tokenize(R"(send "\x4")"), std::invalid_argument);
}

TEST(SimulatorControl, CommandsDriveTheController) {
    tcsim::ToolControllerSim sim;
    bool quit = false;
    EXPECT_EQ(tcsim::runCommand(sim, R"(on "X" send "Y\r\n" delay 5 expect "Z" frame "T")", quit),
              "ok");
    EXPECT_EQ(tcsim::runCommand(sim, "on-frame silent", quit), "ok");
    EXPECT_EQ(tcsim::runCommand(sim, "received", quit), "received ");
    EXPECT_EQ(tcsim::runCommand(sim, "delay 5", quit).rfind("error: unknown command", 0), 0u);
    EXPECT_EQ(tcsim::runCommand(sim, "on \"X\" delay -1", quit).rfind("error", 0), 0u);
    EXPECT_FALSE(quit);
    EXPECT_EQ(tcsim::runCommand(sim, "quit", quit), "ok");
    EXPECT_TRUE(quit);
}

TEST(SimulatorControl, WaitsEndWhenTheirEventHasComeOrSayWhatIsMissing) {
    tcsim::ToolControllerSim sim;
    bool quit = false;
    auto run = [&](const std::string& line) { return tcsim::runCommand(sim, line, quit); };
    EXPECT_EQ(run("wait-received 1 10"), "error: timed out with 0 bytes received");
    EXPECT_EQ(run(R"(wait-line "FWD\r\n" 10)"), R"(error: timed out: no line FWD\r\n received)");
    EXPECT_EQ(run("wait-unread 1 10"), "error: timed out with 0 bytes unread");
    EXPECT_EQ(run("wait-received").rfind("error: wait-received takes", 0), 0u);
    EXPECT_EQ(run("wait-unread x").rfind("error: bad number x", 0), 0u);

    EXPECT_EQ(run(R"(on "FWD" delay 500 send "FWD\r\n")"), "ok");
    int daemonSide = open(sim.slavePath().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(daemonSide, 0);
    ASSERT_EQ(write(daemonSide, "XX\r\nFWD\r\n", 9), 9);
    EXPECT_EQ(run(R"(wait-line "FWD")"), "ok");
    EXPECT_EQ(run("wait-received 9"), "ok");
    EXPECT_EQ(run("wait-idle 10"), "error: timed out: the simulator is still answering");
    EXPECT_EQ(run("wait-idle"), "ok");
    EXPECT_EQ(run("wait-unread 5"), "ok");  // the answer
    EXPECT_EQ(run(R"(play send "CUP\r\n")"), "ok");
    EXPECT_EQ(run("wait-unread 10"), "ok");
    EXPECT_EQ(run("unread"), "unread 10");
    close(daemonSide);
}

TEST(Simulator, AConstructorThatThrowsLeavesNothingBehind) {
    auto descriptors = [] {
        int count = 0;
        DIR* dir = opendir("/proc/self/fd");
        while (readdir(dir)) ++count;
        closedir(dir);
        return count;
    };
    char folder[] = "/tmp/rs232c-sim-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    std::string file = std::string(folder) + "/ttyUSB0";
    std::ofstream(file) << "kept";
    int before = descriptors();
    EXPECT_THROW(tcsim::ToolControllerSim sim(file), std::runtime_error);  // not replaced
    EXPECT_THROW(tcsim::ToolControllerSim sim(std::string(folder) + "/no/such/dir"),
                 std::runtime_error);
    EXPECT_EQ(descriptors(), before);
    std::ifstream kept(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "kept");
    unlink(file.c_str());
    EXPECT_EQ(rmdir(folder), 0);  // nothing else was left in the folder
}

// A replayed trace plays its recorded gaps; times no daemon writes (a hostile trace) are
// bounded, never cast out of an int's range.
TEST(SimulatorReplay, GapsAreTheRecordedOnesWithinABound) {
    auto delays = [](double commandAt, double replyAt) {
        char line[256];
        std::string trace;
        for (auto [event, mono] : {std::pair{"tx", commandAt}, {"rx", replyAt}}) {
            std::snprintf(line, sizeof line,
                          "{\"time\":\"2026-12-08T00:00:00.000000Z\",\"mono\":%.17g,"
                          "\"event\":\"%s\",\"hex\":\"41\"}\n",
                          mono, event);
            trace += line;
        }
        std::istringstream in(trace);
        std::vector<int> ms;
        for (const auto& exchange : tcsim::recordedExchanges(in)) {
            for (const tcsim::Step& step : exchange.answer) {
                if (step.kind == tcsim::Step::Delay) ms.push_back(step.ms);
            }
        }
        return ms;
    };
    const int longest = static_cast<int>(tcsim::kLongestDelaySeconds * 1000);
    EXPECT_EQ(delays(1.0, 1.35), std::vector<int>{250});  // played a pause (100 ms) early
    EXPECT_EQ(delays(1.0, 0.5), std::vector<int>{});      // never before its command
    EXPECT_EQ(delays(1.0, 1e300), std::vector<int>{longest});
    EXPECT_EQ(delays(-1.7e308, 1.7e308), std::vector<int>{longest});
}
