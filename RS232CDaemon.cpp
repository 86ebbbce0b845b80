#include "RS232CDaemon.h"

#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "RS232CCom.h"
#include "process/Options.h"
#include "service/AbyssServer.h"

int RS232CDaemon::exit_value = 0;

void RS232CDaemon::shutdown() {
    std::cerr << "RS232CDaemon::shutdown" << std::endl;
}

void RS232CDaemon::handler(int signum) {
    // write(2) is async-signal-safe and never waits for a thread that holds the stdio lock.
    static const char ctrlC[] = "RS232CDaemon::handler caught CTRL-C\n";
    static const char hangUp[] = "RS232CDaemon::handler ignored SIGHUP\n";
    ssize_t ignored = 0;
    if (signum == SIGINT) ignored = ::write(STDERR_FILENO, ctrlC, sizeof ctrlC - 1);
    if (signum == SIGHUP) ignored = ::write(STDERR_FILENO, hangUp, sizeof hangUp - 1);
    (void)ignored;
}

namespace {

// A signal keeps being ignored when the process was started with it ignored (SIGINT in a
// background job of a non-interactive shell, SIGHUP under nohup); otherwise each one writes the
// handler's line and serving goes on. A closed terminal must not stop the bridge to the tool.
void arrangeSignal(int signum) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    struct sigaction previous {};
    sigaction(signum, &ignore, &previous);
    if (previous.sa_handler == SIG_IGN) return;

    struct sigaction catchIt {};
    catchIt.sa_handler = RS232CDaemon::handler;
    sigemptyset(&catchIt.sa_mask);
    sigaddset(&catchIt.sa_mask, signum);
    catchIt.sa_flags = SA_RESTART;
    sigaction(signum, &catchIt, nullptr);
}

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
            std::cerr << "rs232c-daemon: " << line.problem << " (see rs232c-daemon --help)"
                      << std::endl;
            return 2;
        case CommandLine::Run:
            break;
    }

    arrangeSignal(SIGINT);
    arrangeSignal(SIGHUP);
    // A client that goes away in the middle of a response must not kill the daemon.
    std::signal(SIGPIPE, SIG_IGN);
    std::atexit(RS232CDaemon::shutdown);

    RS232CCom com(line.options.device);
    AbyssServer gui(&com, line.options.server);
    pthread_t thread_id;
    if (pthread_create(&thread_id, nullptr, AbyssServer::run, &gui) != 0) {
        std::cerr << "Couldn't create pthread" << std::endl;
        return 1;
    }
    std::cout << "RS232C Daemon started" << std::endl;
    pthread_join(thread_id, nullptr);
    if (gui.failed()) RS232CDaemon::exit_value = 1;
    std::cout << "RS232C Daemon stopped" << std::endl;
    return RS232CDaemon::exit_value;
}
