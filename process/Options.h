// The daemon's command line. With no option the daemon runs exactly as its fixed defaults say.
#ifndef PROCESS_OPTIONS_H
#define PROCESS_OPTIONS_H

#include <string>
#include <vector>

#include "service/AbyssServer.h"

struct DaemonOptions {
    std::string device = "/dev/ttyUSB0";
    AbyssServer::Options server;
    std::string trace;                        // where the record goes; "" for none, "-" stderr
    std::size_t traceRotateBytes = 10 << 20;  // a trace file is rotated at this size
    // --tls-cert, --tls-key, --tls-client-ca: an empty certificate serves plain HTTP.
    tlsfront::Settings tls;
    std::string operators;  // --operators: the file that names them; "" for none
};

struct CommandLine {
    enum Action { Run, Help, Version, Invalid } action = Run;
    DaemonOptions options;
    std::string problem;  // Invalid: one line that says what is wrong
};

// Reads the arguments after the program name. Accepts "--name VALUE" and "--name=VALUE".
CommandLine parseCommandLine(const std::vector<std::string>& args);

const char* usageText();

#endif
