// rs232c-trace: prints the trace of rs232c-daemon --trace as a timeline a person reads: each
// call (when, who, what, the result in words) with the bytes it sent and received under it.
//   rs232c-trace [-n N] [--method NAME]... [--event NAME]... [FILE...] [--follow FILE]
// It prints each event as it arrives (from a pipe, the journal's output, or a file it follows
// across rotation). A line it cannot use (no JSON, a field missing or of the wrong type) is
// skipped and counted, and the count said on standard error at the end, also when SIGINT or
// SIGTERM ends it.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "Descriptor.h"
#include "Escapes.h"
#include "Input.h"
#include "Timeline.h"

namespace {

void printUsage() {
    std::cout
        << "usage: rs232c-trace [-n N] [--method NAME]... [--event NAME]... [FILE...]\n"
           "                    [--follow FILE]\n"
           "       rs232c-trace --help | --version\n"
           "Prints a trace of rs232c-daemon --trace as a timeline: each call with the bytes it\n"
           "sent (>) and received (<), each event as it arrives. Reads standard input without\n"
           "FILE (or for -), the journal's output too; --follow reads FILE as the daemon writes\n"
           "and rotates it, after the other FILEs. -n N prints only the last N calls, each with\n"
           "its bytes, once the input has ended. --method and --event (repeatable) print only\n"
           "calls of these methods, with their line's events, and events of these names:\n  "
        << timeline::eventNames() << "\n";
}

int usageError(const std::string& problem) {
    std::cerr << "rs232c-trace: " << problem << " (see rs232c-trace --help)\n";
    return 2;
}

enum class Ending { Ended, Interrupted, Failed };

// Prints `source` until it ends or a signal comes on `signals`, waiting in poll() whenever it has
// nothing to read, at most until what the timeline holds is due.
Ending printAll(input::Source& source, timeline::Timeline& timeline, int signals,
                std::string& problem) {
    auto line = [&timeline](const std::string& text) { timeline.add(text); };
    for (;;) {
        input::Source::State state = source.read(line, problem);
        if (state == input::Source::State::Ended) return Ending::Ended;
        if (state == input::Source::State::Failed) return Ending::Failed;
        if (!std::cout.flush()) {
            problem = std::string("cannot write standard output: ") + std::strerror(errno);
            return Ending::Failed;
        }
        int timeout = -1;
        if (auto due = timeline.showHeldBy()) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*due - timeline::Clock::now());
            timeout = static_cast<int>(std::max<long long>(0, left.count()));
        }
        pollfd waits[] = {{source.waitFd(), POLLIN, 0}, {signals, POLLIN, 0}};
        int ready = ::poll(waits, 2, timeout);
        if (ready < 0 && errno != EINTR) {
            problem = std::string("cannot wait for input: ") + std::strerror(errno);
            return Ending::Failed;
        }
        if (ready > 0 && waits[1].revents) return Ending::Interrupted;
        if (ready == 0) timeline.showHeld();
    }
}

// The count of -n: a whole number from 1 up.
bool readCount(const std::string& text, std::size_t& count) {
    if (text.empty() || text.size() > 9 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    count = std::stoul(text);
    return count > 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    std::string followed;
    timeline::Filter filter;
    std::size_t lastCalls = 0;
    bool options = true;
    for (int at = 1; at < argc; ++at) {
        std::string arg = argv[at];
        if (!options || arg == "-" || arg[0] != '-') {
            files.push_back(arg);
            continue;
        }
        if (arg == "--") {
            options = false;
            continue;
        }
        if (arg.rfind("-n", 0) == 0) {
            std::string count = arg.size() > 2 ? arg.substr(2) : at + 1 < argc ? argv[++at] : "";
            if (count.empty()) return usageError("-n needs a number of calls");
            if (!readCount(count, lastCalls)) {
                return usageError("-n takes a number of calls from 1 up, not " +
                                  escapes::escape(count, escapes::Shown::Text));
            }
            continue;
        }
        std::string name = arg, value;
        bool attached = arg.rfind("--", 0) == 0 && arg.find('=') != std::string::npos;
        if (attached) {
            name = arg.substr(0, arg.find('='));
            value = arg.substr(arg.find('=') + 1);
        }
        if ((name == "--help" || name == "-h" || name == "--version") && !attached) {
            if (name == "--version") {
                std::cout << "rs232c-trace " RS232C_VERSION "\n";
            } else {
                printUsage();
            }
            return 0;
        }
        if (name != "--follow" && name != "--method" && name != "--event") {
            return usageError("unknown option " + escapes::escape(arg, escapes::Shown::Text));
        }
        if (!attached && at + 1 < argc) value = argv[++at];
        if (value.empty()) return usageError(name + " needs a value");
        if (name == "--follow") {
            if (!followed.empty()) return usageError("--follow takes one file");
            if (value == "-") return usageError("--follow takes a file; give a pipe as - instead");
            followed = value;
        } else if (name == "--method") {
            filter.methods.insert(value);
        } else if (!timeline::isEventName(value)) {
            return usageError("no event " + escapes::escape(value, escapes::Shown::Text) +
                              " (events: " + timeline::eventNames() + ")");
        } else {
            filter.events.insert(value);
        }
    }
    if (lastCalls && !followed.empty()) {
        return usageError("-n prints once the input ends, and --follow does not end");
    }
    if (files.empty() && followed.empty()) files.push_back("-");

    // SIGINT and SIGTERM end a reader that follows a live station: they come through a
    // descriptor that it waits on beside its input, so that it can still say what it skipped.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    tools::Descriptor signals;
    if (sigprocmask(SIG_BLOCK, &stops, nullptr) == 0) {
        signals.reset(::signalfd(-1, &stops, SFD_CLOEXEC));
    }
    if (!signals.isOpen()) {
        std::cerr << "rs232c-trace: cannot take signals: " << std::strerror(errno) << "\n";
        return 1;
    }

    timeline::Timeline printed(std::cout, filter, lastCalls);
    std::size_t tooLong = 0;
    int status = 0;
    Ending ending = Ending::Ended;
    std::vector<std::string> sources = files;
    if (!followed.empty()) sources.push_back(followed);
    for (std::size_t i = 0; i < sources.size() && ending == Ending::Ended; ++i) {
        std::string problem;
        bool follows = !followed.empty() && i + 1 == sources.size();
        auto source =
            follows ? input::follow(sources[i], problem) : input::openStream(sources[i], problem);
        if (source) {
            ending = printAll(*source, printed, signals.get(), problem);
            tooLong += source->tooLong();
        }
        if (!source || ending == Ending::Failed) {
            std::cerr << "rs232c-trace: " << problem << "\n";
            status = 1;
            ending = Ending::Failed;
        }
    }
    printed.finish();
    std::cout << std::flush;
    std::size_t skipped = printed.unreadable() + tooLong;
    if (skipped) {
        std::cerr << "rs232c-trace: skipped " << skipped
                  << (skipped == 1 ? " line that is" : " lines that are")
                  << " no event of a trace (not JSON, or a field missing or of the wrong type)\n";
    }
    if (!std::cout && ending != Ending::Failed) {  // a failure before was said already
        std::cerr << "rs232c-trace: cannot write standard output\n";
        status = 1;
    }
    return status;
}
