#include "RS232CDaemon.h"

#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "RS232CCom.h"
#include "common/FileDescriptor.h"
#include "common/OutputStream.h"
#include "process/AdapterWatch.h"
#include "process/Options.h"
#include "process/Supervisor.h"
#include "service/AbyssServer.h"
#include "service/Operators.h"
#include "trace/TraceLog.h"

int RS232CDaemon::exit_value = 0;

void RS232CDaemon::shutdown() {
    diagnostic("RS232CDaemon::shutdown", Priority::Info);
}

void RS232CDaemon::handler(int signum) {
    if (signum == SIGINT) diagnostic("RS232CDaemon::handler caught CTRL-C", Priority::Info);
    if (signum == SIGHUP) diagnostic("RS232CDaemon::handler ignored SIGHUP", Priority::Info);
}

namespace {

constexpr int kOwnMappingBytes = 256 * 1024;

// Whether the process was started with `signum` ignored (SIGINT in a background job of a
// non-interactive shell, SIGHUP under nohup): it then stays ignored.
bool startedIgnored(int signum) {
    struct sigaction current {};
    return sigaction(signum, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

// The record, when the daemon keeps one; a file that cannot be opened is a start-up error.
std::unique_ptr<TraceLog> openTrace(const DaemonOptions& options, int argc, char** argv) {
    if (options.trace.empty()) return nullptr;
    TraceLog::Options traceOptions;
    traceOptions.path = options.trace;
    traceOptions.rotateBytes = options.traceRotateBytes;
    std::string problem;
    std::unique_ptr<TraceLog> trace = TraceLog::open(traceOptions, problem);
    if (!trace) {
        diagnostic("rs232c-daemon: cannot open the trace file " + options.trace + ": " + problem,
                   Priority::Error);
        std::exit(2);
    }
    trace->event("start")
        .text("version", RS232C_VERSION)
        .texts("args", std::vector<std::string>(argv + 1, argv + argc))
        .text("port", options.device)
        .integer("tcp", options.server.port);
    return trace;
}

// The TLS front and the operators' names, when the options ask for them; a file that cannot be
// used is a start-up error, said before the port is opened.
void setUpTls(DaemonOptions& options) {
    auto fail = [](const std::string& problem) {
        diagnostic("rs232c-daemon: " + problem, Priority::Error);
        std::exit(2);
    };
    if (options.tls.certificate.empty()) return;
    std::string problem;
    options.server.tls = tlsfront::Front::create(options.tls, problem);
    if (!options.server.tls) fail(problem);
    // Said, not refused: the daemon cannot tell who else is in the file's group.
    struct stat key {};
    if (::stat(options.tls.key.c_str(), &key) == 0 && (key.st_mode & (S_IRWXG | S_IRWXO)))
        diagnostic("RS232C Daemon: the private key " + options.tls.key +
                   " may be read by other users than the daemon's (chmod 600 it)");
    if (options.operators.empty()) return;
    FileDescriptor file(::open(options.operators.c_str(), O_RDONLY | O_CLOEXEC));
    std::string text;
    char chunk[4096];
    ssize_t n = file.isOpen() ? 1 : -1;
    while (n > 0 && (n = ::read(file.get(), chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    if (n < 0) fail("cannot read " + options.operators + ": " + std::strerror(errno));
    options.server.operators =
        std::make_shared<const std::set<std::string>>(operators::parse(text));
}

// The signals that a thread of their own takes, since a handler may not do what they need (a
// line on a standard error that may stall, the record written out): SIGINT and SIGHUP write
// their line and serving goes on, as a closed terminal must not stop the bridge to the tool
// (unless the process was started with them ignored); SIGUSR1 stops the daemon in order (the
// server stops, the port is released, main returns); with a trace, SIGTERM ends the daemon as
// it always does, once the record says so and is written out (for a few seconds at most).
// Blocked before any other thread starts, so that every thread inherits that.
sigset_t blockTakenSignals(bool tracing) {
    sigset_t taken;
    sigemptyset(&taken);
    sigaddset(&taken, SIGUSR1);
    for (int signum : {SIGINT, SIGHUP}) {
        if (!startedIgnored(signum)) sigaddset(&taken, signum);
    }
    if (tracing) sigaddset(&taken, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    return taken;
}

// The thread that takes them, for as long as main's server lives.
class SignalTaker {
  public:
    SignalTaker(sigset_t taken, AbyssServer* server, Supervisor* supervisor, TraceLog* trace)
        : taken(taken), server(server), supervisor(supervisor), trace(trace), thread([this] {
              run();
          }) {}
    ~SignalTaker() {
        done = true;
        pthread_kill(thread.native_handle(), SIGUSR1);
        thread.join();
    }
    SignalTaker(const SignalTaker&) = delete;
    SignalTaker& operator=(const SignalTaker&) = delete;

  private:
    void run() {
        for (int signum = 0; sigwait(&taken, &signum) == 0 && !done;) {
            if (signum == SIGINT || signum == SIGHUP) {
                RS232CDaemon::handler(signum);
                continue;
            }
            supervisor->stopping();
            if (signum == SIGUSR1) {
                server->stop();
                continue;
            }
            trace->event("stop").text("reason", "SIGTERM");
            trace->close();
            std::signal(SIGTERM, SIG_DFL);
            sigset_t term;
            sigemptyset(&term);
            sigaddset(&term, SIGTERM);
            pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
            raise(SIGTERM);
        }
    }

    sigset_t taken;
    AbyssServer* server;
    Supervisor* supervisor;
    TraceLog* trace;
    std::atomic<bool> done{false};
    std::thread thread;
};

}  // namespace

int main(int argc, char** argv) {
    // Options are read before anything is opened: a bad one is one line and status 2.
    CommandLine line = parseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    switch (line.action) {
        case CommandLine::Help:
            std::cout << usageText() << std::flush;
            return 0;
        case CommandLine::Version:
            std::cout << "rs232c-daemon " RS232C_VERSION << std::endl;
            return 0;
        case CommandLine::Invalid:
            diagnostic("rs232c-daemon: " + line.problem + " (see rs232c-daemon --help)",
                       Priority::Error);
            return 2;
        case CommandLine::Run:
            break;
    }

    // A client that goes away in the middle of a response, or a closed pipe for the trace,
    // must not kill the daemon; nor a file size limit (ulimit -f, LimitFSIZE=) that the trace
    // reaches: its write fails instead, and is told.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
    // An answer's large buffers are mapped of their own and go back to the system when freed,
    // instead of staying with the connection thread's heap: memory held for one big answer is
    // not held after it.
    mallopt(M_MMAP_THRESHOLD, kOwnMappingBytes);
    setUpTls(line.options);
    sigset_t taken = blockTakenSignals(!line.options.trace.empty());
    std::unique_ptr<TraceLog> trace = openTrace(line.options, argc, argv);
    line.options.server.trace = trace.get();

    std::atexit(RS232CDaemon::shutdown);

    RS232CCom com(line.options.device, trace.get());
    AdapterWatch adapterWatch(com);
    // systemd hears that the daemon is ready only once its port takes connections.
    std::unique_ptr<Supervisor> supervisor;
    line.options.server.version = RS232C_VERSION;
    line.options.server.onListening = [&supervisor] { supervisor->ready(); };
    AbyssServer gui(&com, line.options.server);
    supervisor = std::make_unique<Supervisor>(gui, com);
    // It uses the supervisor, so it goes first: signals that come after it wait, blocked, for the
    // process to end.
    std::optional<SignalTaker> signalTaker;
    signalTaker.emplace(taken, &gui, supervisor.get(), trace.get());
    pthread_t thread_id;
    if (pthread_create(&thread_id, nullptr, AbyssServer::run, &gui) != 0) {
        diagnostic("Couldn't create pthread", Priority::Error);
        return 1;
    }
    // The first line names where the daemon serves and which line it drives.
    const std::string& listen = line.options.server.listenAddress;
    announce("RS232C Daemon started: serving TCP port " + std::to_string(line.options.server.port) +
             " on " + (listen.empty() ? "every IPv4 interface" : listen) +
             ", the tool controller on " + line.options.device);
    pthread_join(thread_id, nullptr);
    signalTaker.reset();
    supervisor.reset();  // it reads the server's counts
    if (gui.failed()) RS232CDaemon::exit_value = 1;
    if (trace) trace->event("stop").text("reason", gui.failed() ? "the server failed" : "");
    announce("RS232C Daemon stopped");
    return RS232CDaemon::exit_value;
}
