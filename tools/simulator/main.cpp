// rs232c-sim: a simulated tool controller for developing and testing without hardware.
//   rs232c-sim [--link PATH] [--no-defaults] [--script FILE] [--replay TRACE]
// Prints "ready SLAVE [PATH]", then logs every line received ("rx ...") and every answer
// written ("tx ..."), and takes control commands on standard input (see "help").
#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <thread>

#include "ControlScript.h"
#include "Replay.h"

namespace {

std::string linkToRemove;

int usage() {
    std::cerr
        << "usage: rs232c-sim [--link PATH] [--no-defaults] [--script FILE] [--replay TRACE]\n";
    return 2;
}

// Ends on SIGINT, SIGTERM or SIGHUP, removing the link first.
void watchSignals(sigset_t set) {
    int signum = 0;
    sigwait(&set, &signum);
    if (!linkToRemove.empty()) ::unlink(linkToRemove.c_str());
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string linkPath, scriptPath, replayPath;
    bool defaults = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--link") && i + 1 < argc) {
            linkPath = argv[++i];
        } else if (!std::strcmp(argv[i], "--script") && i + 1 < argc) {
            scriptPath = argv[++i];
        } else if (!std::strcmp(argv[i], "--replay") && i + 1 < argc) {
            replayPath = argv[++i];
            defaults = false;
        } else if (!std::strcmp(argv[i], "--no-defaults")) {
            defaults = false;
        } else {
            return usage();
        }
    }

    sigset_t set;
    sigemptyset(&set);
    for (int signum : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signum);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::mutex outLock;
    auto say = [&outLock](const std::string& text) {
        std::lock_guard<std::mutex> guard(outLock);
        std::cout << text << std::endl;
    };
    try {
        tcsim::ToolControllerSim sim(linkPath);
        linkToRemove = linkPath;
        std::thread(watchSignals, set).detach();
        sim.setLogger(say);
        if (defaults) sim.useDefaults();
        if (!replayPath.empty()) {
            std::ifstream trace(replayPath);
            if (!trace) throw std::runtime_error("cannot read " + replayPath);
            auto exchanges = tcsim::recordedExchanges(trace);
            sim.replay(exchanges);
            say("replaying " + std::to_string(exchanges.size()) + " exchanges of " + replayPath);
        }
        bool quit = false;
        if (!scriptPath.empty()) {
            std::ifstream script(scriptPath);
            if (!script) throw std::runtime_error("cannot read " + scriptPath);
            for (std::string line; !quit && std::getline(script, line);) {
                std::string answer = tcsim::runCommand(sim, line, quit);
                if (answer.rfind("error", 0) == 0) say(scriptPath + ": " + answer);
            }
        }
        say("ready " + sim.slavePath() + (linkPath.empty() ? "" : " " + linkPath));
        for (std::string line; !quit && std::getline(std::cin, line);) {
            std::string answer = tcsim::runCommand(sim, line, quit);
            if (!answer.empty()) say(answer);
        }
        // Without a control stream (started in the background) serve until a signal comes.
        while (!quit) pause();
    } catch (const std::exception& error) {
        std::cerr << "rs232c-sim: " << error.what() << std::endl;
        return 1;
    }
    return 0;
}
