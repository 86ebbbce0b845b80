// The record's output: what it refuses to open, and what an output that fails leaves in it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "TempDir.h"
#include "trace/TraceLog.h"

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TraceLog::Options at(const std::string& path) {
    TraceLog::Options options;
    options.path = path;
    return options;
}

}  // namespace

TEST(TraceLogOpen, RefusesWhatItMustNotFollowOrWaitForAndWritesAFifoThatIsRead) {
    TempDir dir;
    std::string target = dir.path + "/target", link = dir.path + "/link";
    std::string fifo = dir.path + "/fifo";
    std::ofstream(target) << "kept\n";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path;
        const char* problem;
    } cases[] = {
        {link, "symbolic link"},
        {fifo, "nothing reads it"},
        {dir.path, "Is a directory"},
        {dir.path + "/absent/line.trace", "No such file"},
    };
    for (const Case& c : cases) {
        std::string problem;
        EXPECT_EQ(TraceLog::open(at(c.path), problem), nullptr) << c.path;
        EXPECT_NE(problem.find(c.problem), std::string::npos) << c.path << ": " << problem;
    }
    EXPECT_EQ(contents(target), "kept\n");

    FileDescriptor reader(::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    std::string problem;
    std::unique_ptr<TraceLog> trace = TraceLog::open(at(fifo), problem);
    ASSERT_NE(trace, nullptr) << problem;
    trace->event("start");
    EXPECT_EQ(trace->close(), 0u);
    char buffer[512];
    ssize_t n = ::read(reader.get(), buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    EXPECT_NE(std::string(buffer, n).find("\"event\":\"start\"}\n"), std::string::npos);
}

// However the output fails, the file holds whole lines only, a line broken before the daemon
// started stays a line of its own, and every event is in the file, counted there by a `dropped`
// event, or counted by close().
TEST(TraceLogFile, AFailingOutputLeavesWholeLinesAndLosesNothingUncounted) {
    // Past a file size limit a write fails (EFBIG) instead of killing the process.
    std::signal(SIGXFSZ, SIG_IGN);
    constexpr int kEvents = 60;
    constexpr std::size_t kFileBytes = 1000;
    struct Case {
        const char* failure;
        std::function<void(const std::string& path, TraceLog::Options&)> arrange;
        std::function<void()> undo;
    } cases[] = {
        {"a full disk",
         [](const std::string&, TraceLog::Options&) {
             rlimit limit{kFileBytes, RLIM_INFINITY};
             ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
         },
         [] {
             rlimit none{RLIM_INFINITY, RLIM_INFINITY};
             setrlimit(RLIMIT_FSIZE, &none);
         }},
        {"a rotation that cannot rename",
         [](const std::string& path, TraceLog::Options& options) {
             options.rotateBytes = kFileBytes;
             options.keptFiles = 1;
             ASSERT_EQ(mkdir((path + ".1").c_str(), 0700), 0);
         },
         [] {}},
    };
    for (const Case& c : cases) {
        TempDir dir;
        std::string path = dir.path + "/line.trace";
        std::ofstream(path) << "{\"broken";
        TraceLog::Options options = at(path);
        options.queueBytes = 2 * kFileBytes;
        c.arrange(path, options);
        std::string problem;
        std::unique_ptr<TraceLog> trace = TraceLog::open(options, problem);
        ASSERT_NE(trace, nullptr) << problem;
        for (int n = 0; n < kEvents; ++n) trace->event("x").integer("n", n).text("pad", "y");
        std::size_t lost = trace->close();
        c.undo();

        std::string file = contents(path);
        EXPECT_LE(file.size(), kFileBytes) << c.failure;
        ASSERT_FALSE(file.empty());
        EXPECT_EQ(file.back(), '\n') << c.failure;
        std::istringstream lines(file);
        std::string line;
        std::getline(lines, line);
        EXPECT_EQ(line, "{\"broken") << c.failure;
        std::size_t recorded = 0;
        while (std::getline(lines, line)) {
            EXPECT_EQ(line.rfind("{\"time\":\"", 0), 0u) << c.failure << ": " << line;
            EXPECT_EQ(line.back(), '}') << c.failure << ": " << line;
            std::size_t count = line.find("\"count\":");
            recorded += count == std::string::npos ? 1 : std::stoul(line.substr(count + 8));
        }
        EXPECT_GT(lost, 0u) << c.failure;
        EXPECT_EQ(recorded + lost, static_cast<std::size_t>(kEvents)) << c.failure;
    }
}
